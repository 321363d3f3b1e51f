// Gathering a stat request's records: batches of 32 go to the host as partial reports, and
// records found by an attempt wait until that attempt's request has succeeded.
#include "vorlan_i_s3.h"

namespace {

// The ls-style text of a mode, for the log: the type, then rwx for owner, group and others
// with set-user-id, set-group-id and sticky in the execute positions.
void vorlan_l_s3_mode_string(uint32_t mode, char (&text)[11]) {
  switch (mode & 0xF000) {
    case 0x1000:
      text[0] = 'p';
      break;
    case 0x2000:
      text[0] = 'c';
      break;
    case 0x4000:
      text[0] = 'd';
      break;
    case 0x6000:
      text[0] = 'b';
      break;
    case 0x8000:
      text[0] = '-';
      break;
    case 0xA000:
      text[0] = 'l';
      break;
    case 0xC000:
      text[0] = 's';
      break;
    default:
      text[0] = '*';
      break;
  }
  static const char kRwx[] = "rwx";
  for (int i = 0; i < 9; ++i) text[1 + i] = (mode & (0400u >> i)) ? kRwx[i % 3] : '-';
  // Each special bit shows in its triple's execute position, lower case when x is set too.
  const struct {
    uint32_t bit;
    int position;
    char letter;
  } specials[] = {{04000, 3, 's'}, {02000, 6, 's'}, {01000, 9, 't'}};
  for (const auto &special : specials) {
    if ((mode & special.bit) == 0) continue;
    const bool executable = text[special.position] == 'x';
    text[special.position] = executable ? special.letter : static_cast<char>(special.letter - 32);
  }
  text[10] = '\0';
}

}  // namespace

vorlan_gfs_stat_t vorlan_i_s3_stat_record(uint32_t mode, const char *name, int32_t dev,
                                          int32_t ino) {
  vorlan_gfs_stat_t record{};
  record.mode = mode;
  record.nlink = 1;
  record.name = const_cast<char *>(name);
  record.atime = record.ctime = record.mtime = -1;
  record.dev = dev;
  record.ino = ino;
  return record;
}

int32_t vorlan_i_s3_stat_hash(const char *text) {
  return vorlan_hashtable_string_hash(const_cast<char *>(text), 0x7FFFFFFF);
}

void vorlan_i_s3_stat_add(stat_state *state, const vorlan_gfs_stat_t *stat) {
  VORLAN_S3_TRACE_ENTER();
  const uint64_t at = state->stat_count;
  state->stat_names[at] = vorlan_i_s3_str(stat->name);
  state->stats[at] = *stat;
  state->stats[at].name = state->stat_names[at].data();
  state->stat_count = at + 1;
  char mode[11];
  vorlan_l_s3_mode_string(stat->mode, mode);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Adding stat result for %s [mode=%s size=%ld]\n",
                state->stats[at].name, mode, static_cast<long>(stat->size));
  if (state->stat_count == vorlan_i_s3_stat_batch) {
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "calling finished_stat_partial stat_count=%d\n",
                  static_cast<int>(state->stat_count));
    vorlan_gridftp_server_finished_stat_partial(state->request.op, VORLAN_SUCCESS, state->stats,
                                                static_cast<int>(state->stat_count));
    for (std::string &name : state->stat_names) std::string().swap(name);
    std::memset(static_cast<void *>(state->stats), 0, sizeof(state->stats));
    state->stat_count = 0;
  }
  VORLAN_S3_TRACE_EXIT();
}

void vorlan_i_s3_stat_hold(stat_state *state, const vorlan_gfs_stat_t *stat, bool is_dot) {
  state->held.push_back({*stat, vorlan_i_s3_str(stat->name)});
  state->dot_held = state->dot_held || is_dot;
}

S3Status vorlan_i_s3_stat_hold_dot(stat_state *state, const char *ino_text,
                                   const char *ino_suffix) {
  if (state->dir_found || state->dot_held) return S3StatusOK;
  try {
    const std::string text = std::string(ino_text) + ino_suffix;
    const vorlan_gfs_stat_t dot = vorlan_i_s3_stat_record(
        vorlan_i_s3_stat_dir_mode, ".", vorlan_i_s3_stat_hash(state->request.bucket),
        vorlan_i_s3_stat_hash(text.c_str()));
    vorlan_i_s3_stat_hold(state, &dot, true);
  } catch (const std::bad_alloc &) {
    return vorlan_i_s3_stat_out_of_memory(state);
  }
  return S3StatusOK;
}

size_t vorlan_i_s3_stat_settle(stat_state *state) {
  size_t added = 0;
  if (state->request.result == VORLAN_SUCCESS) {
    for (vorlan_i_s3_held_stat_t &held : state->held) {
      held.stat.name = held.name.data();
      vorlan_i_s3_stat_add(state, &held.stat);
      ++added;
    }
    state->dir_found = state->dir_found || state->dot_held;
  }
  state->held.clear();
  state->dot_held = false;
  return added;
}

void vorlan_i_s3_stat_fail(stat_state *state, S3Status status, const S3ErrorDetails *details) {
  if (status == S3StatusOK || state->request.result != VORLAN_SUCCESS) return;
  vorlan_i_s3_request_complete(&state->request, status, details, state->request.pathname);
}

S3Status vorlan_i_s3_stat_out_of_memory(stat_state *state) {
  state->request.result.reset(vorlan_i_s3_malloc_error());
  return S3StatusOutOfMemory;
}

S3Status vorlan_i_s3_stat_object_size(stat_state *state, const S3ResponseProperties *properties,
                                      int64_t *size) {
  if (properties->objectSizeKnown != 0) {
    *size = static_cast<int64_t>(properties->objectSize);
    return S3StatusOK;
  }
  state->request.result.reset(
      VORLAN_S3_ERROR("The service did not state the size of \"%s\"", state->request.pathname));
  return S3StatusAbortedByCallback;
}
