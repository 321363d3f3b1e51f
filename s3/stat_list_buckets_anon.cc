// The listing of "/" from the session's allow list, without asking the service.
#include "vorlan_i_s3.h"

void vorlan_i_s3_stat_list_buckets_anon(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_i_s3_stat_root(state);
  for (char **name = state->request.s3_handle->allowed_buckets; name != nullptr && *name != nullptr;
       ++name) {
    const int32_t hash = vorlan_i_s3_stat_hash(*name);
    const vorlan_gfs_stat_t bucket =
        vorlan_i_s3_stat_record(vorlan_i_s3_stat_dir_mode, *name, hash, hash);
    vorlan_i_s3_stat_add(state, &bucket);
  }
  VORLAN_S3_TRACE_EXIT();
}
