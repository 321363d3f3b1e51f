// The command entry point: hands each command code to its handler.
#include "vorlan_i_s3.h"

#include <cassert>

namespace {

// Indexed by command code. Codes without a handler are answered as unsupported.
const vorlan_gfs_command_t vorlan_l_s3_command_handlers[] = {
    nullptr,               // 0
    vorlan_i_s3_mkdir,     // VORLAN_GFS_CMD_MKD: make directory
    vorlan_i_s3_rmdir,     // VORLAN_GFS_CMD_RMD: remove directory
    vorlan_i_s3_delete,    // VORLAN_GFS_CMD_DELE: delete
    nullptr,               // VORLAN_GFS_CMD_SITE_CHMOD
    nullptr,               // VORLAN_GFS_CMD_SITE_UTIME
    vorlan_i_s3_rename,    // VORLAN_GFS_CMD_RNTO: rename
    nullptr,               // VORLAN_GFS_CMD_RNFR
    vorlan_i_s3_checksum,  // VORLAN_GFS_CMD_CKSM: checksum
};
constexpr int vorlan_l_s3_command_count =
    sizeof(vorlan_l_s3_command_handlers) / sizeof(vorlan_l_s3_command_handlers[0]);

}  // namespace

void vorlan_i_s3_command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                         void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(cmd_info != nullptr);
  const int code = cmd_info->command;
  vorlan_gfs_command_t handler =
      code >= 0 && code < vorlan_l_s3_command_count ? vorlan_l_s3_command_handlers[code] : nullptr;
  if (handler != nullptr) {
    handler(op, cmd_info, session);
  } else {
    vorlan_gridftp_server_finished_command(op, VORLAN_FAILURE, nullptr);
  }
  VORLAN_S3_TRACE_EXIT();
}
