// Uploads (the storage interface's recv): refuses a store that would continue an earlier
// transfer and a file larger than the service takes, and starts the upload (one PUT, or a
// multipart upload past the threshold).
#include "vorlan_i_s3.h"

#include <cassert>

vorlan_result_t vorlan_i_s3_recv(vorlan_gfs_operation_t op,
                                 vorlan_gfs_transfer_info_t *transfer_info, void *session) {
  VORLAN_S3_TRACE_ENTER();
  assert(transfer_info != nullptr);
  assert(session != nullptr);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "recv op=%p pathname=%s\n", static_cast<void *>(op),
                vorlan_i_s3_str(transfer_info->pathname));
  vorlan_result_t result = VORLAN_SUCCESS;
  if (!transfer_info->truncate) {
    result = vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED", nullptr));
  } else if (static_cast<uint64_t>(transfer_info->alloc_size) > vorlan_i_s3_recv_max_size) {
    result = VORLAN_S3_ERROR("%s", "File upload too large");
  } else {
    // Started, the upload reports its outcome itself.
    result = vorlan_i_s3_recv_single(op, transfer_info, session);
    VORLAN_S3_TRACE_EXIT();
    return result;
  }
  vorlan_gridftp_server_finished_transfer(op, result);
  VORLAN_S3_TRACE_EXIT();
  return result;
}
