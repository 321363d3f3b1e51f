// Stat requests: the record one request gathers (owned by its worker thread once started),
// the batches handed to the host and the workers, one per kind of path.
#ifndef VORLAN_I_S3_STAT_H
#define VORLAN_I_S3_STAT_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorlan_i_s3_request.h"

// The storage interface's stat slot.
void vorlan_i_s3_stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *stat_info, void *session);

// Records a stat request gathers before handing them to the host as one partial report.
constexpr uint64_t vorlan_i_s3_stat_batch = 32;
// drwx------ and -rwx------: every directory and file the module reports.
constexpr uint32_t vorlan_i_s3_stat_dir_mode = 0x41C0;
constexpr uint32_t vorlan_i_s3_stat_file_mode = 0x81C0;

enum : uint32_t {
  VORLAN_S3_STAT_ROOT = 0,
  VORLAN_S3_STAT_BUCKET = 1,
  VORLAN_S3_STAT_OBJECT = 2,
  VORLAN_S3_STAT_LIST_BUCKETS = 3,
  VORLAN_S3_STAT_LIST_BUCKETS_ANON = 4,
  VORLAN_S3_STAT_LIST_OBJECTS = 5,
};

// A record found by an attempt that has not succeeded yet; it owns its name.
struct vorlan_i_s3_held_stat_t {
  vorlan_gfs_stat_t stat;
  std::string name;
};

// One stat request, owned by its worker thread once started. The key never ends in "/": a
// path's trailing slashes are dropped, so /b/ is the bucket b and /b/d/ is /b/d.
struct stat_state {
  vorlan_i_s3_request_t request;
  vorlan_gfs_stat_info_t *stat_info;  // the host's, valid until the final report
  uint32_t stat_kind;
  bool dir_found;  // a "." for the listed directory has reached the batch
  vorlan_gfs_stat_t stats[vorlan_i_s3_stat_batch];
  std::string stat_names[vorlan_i_s3_stat_batch];  // the names stats[] point at
  uint64_t stat_count;
  // The continuation marker the current page gave; empty when the listing is complete.
  std::string next_marker;
  // What the current attempt found, added only once its request has succeeded, so that a
  // retried request never reports a name twice. At most one page of records.
  std::vector<vorlan_i_s3_held_stat_t> held;
  bool dot_held;  // held has the "." of the listed directory
};

// Appends a copy of `stat` (its name copied too); a full batch goes to the host at once.
void vorlan_i_s3_stat_add(stat_state *state, const vorlan_gfs_stat_t *stat);
// Keeps a copy of `stat` for the current attempt; is_dot marks the directory's own ".".
void vorlan_i_s3_stat_hold(stat_state *state, const vorlan_gfs_stat_t *stat, bool is_dot = false);
// Holds the listed directory's own "." (dev from the bucket, ino from `ino_text` followed by
// `ino_suffix`) unless one was found already. A callback returns what it returns.
S3Status vorlan_i_s3_stat_hold_dot(stat_state *state, const char *ino_text,
                                   const char *ino_suffix = "");
// A record with what all entries share: link count 1, no link target, owner 0, size 0, times
// unknown; dev and ino as given.
vorlan_gfs_stat_t vorlan_i_s3_stat_record(uint32_t mode, const char *name, int32_t dev,
                                          int32_t ino);
// The string hash behind dev and ino.
int32_t vorlan_i_s3_stat_hash(const char *text);
// A complete callback's common part: a failure is recorded, as the error for the request's
// path, unless an earlier one was.
void vorlan_i_s3_stat_fail(stat_state *state, S3Status status, const S3ErrorDetails *details);
// A callback's answer to running out of memory: the request fails with the malloc error.
S3Status vorlan_i_s3_stat_out_of_memory(stat_state *state);
// Sets `size` to the object's size as the answer states it; an answer that states none fails
// the request (a callback returns what it returns) rather than show the object as empty.
S3Status vorlan_i_s3_stat_object_size(stat_state *state, const S3ResponseProperties *properties,
                                      int64_t *size);
// Adds what the attempts held when the request succeeded and forgets it; returns how many
// records it added.
size_t vorlan_i_s3_stat_settle(stat_state *state);

// The workers, one per stat kind; each leaves its outcome in state->request.result.
void vorlan_i_s3_stat_root(stat_state *state);
void vorlan_i_s3_stat_bucket(stat_state *state);
void vorlan_i_s3_stat_object(stat_state *state);
void vorlan_i_s3_stat_list_buckets(stat_state *state);
void vorlan_i_s3_stat_list_buckets_anon(stat_state *state);
void vorlan_i_s3_stat_list_objects(stat_state *state);

// The attempt loop of a stat request: each attempt starts with nothing held, and what the
// successful attempt held is added after the loop. Returns the records added.
template <class Attempt>
size_t vorlan_i_s3_stat_retry(const char *func_name, stat_state *state, const char *call_name,
                              Attempt &&attempt) {
  state->request.try_count = 0;
  vorlan_i_s3_request_retry(func_name, &state->request, call_name, [&] {
    state->held.clear();
    state->dot_held = false;
    attempt();
  });
  return vorlan_i_s3_stat_settle(state);
}

#endif  // VORLAN_I_S3_STAT_H
