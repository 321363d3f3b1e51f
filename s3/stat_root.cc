// The root itself: "/" is a directory that always exists.
#include "vorlan_i_s3.h"

void vorlan_i_s3_stat_root(stat_state *state) {
  VORLAN_S3_TRACE_ENTER();
  const int32_t hash = vorlan_i_s3_stat_hash("/");
  const vorlan_gfs_stat_t root =
      vorlan_i_s3_stat_record(vorlan_i_s3_stat_dir_mode, ".", hash, hash);
  vorlan_i_s3_stat_add(state, &root);
  VORLAN_S3_TRACE_EXIT();
}
