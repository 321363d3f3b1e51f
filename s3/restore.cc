// Archived objects: a download whose GET finds its object in an archive class (403
// InvalidObjectState: S3 Glacier Flexible Retrieval, Glacier Deep Archive, Intelligent-Tiering's
// archive tiers) asks for one restore with restore_days and restore_tier, unless one is running
// already, and fails with a reply that tells the client to retry later. Google Cloud's archive
// classes are read directly and never answer so.
#include "vorlan_i_s3.h"

#include <cstring>
#include <new>
#include <string>

namespace {

constexpr const char *vorlan_l_s3_restore_func = "vorlan_i_s3_send_restore";

// What HEAD tells of the archived object; `request` is the download's.
struct vorlan_l_s3_archived {
  vorlan_i_s3_request_t *request;
  std::string storage_class;
  bool restoring = false;  // x-amz-restore says a restore runs
};

S3Status vorlan_l_s3_restore_head_properties(const S3ResponseProperties *properties, void *data) {
  auto *archived = static_cast<vorlan_l_s3_archived *>(data);
  try {
    if (properties->storageClass != nullptr) archived->storage_class = properties->storageClass;
  } catch (const std::bad_alloc &) {
    return S3StatusOutOfMemory;
  }
  if (properties->restore != nullptr) {
    archived->restoring = std::strstr(properties->restore, "ongoing-request=\"true\"") != nullptr;
  }
  return S3StatusOK;
}

void vorlan_l_s3_restore_complete(S3Status status, const S3ErrorDetails *error_details,
                                  void *data) {
  vorlan_i_s3_request_t *request = static_cast<vorlan_l_s3_archived *>(data)->request;
  vorlan_i_s3_request_complete(request, status, error_details, request->pathname);
}

// One call with the retries of every attempt of the request.
template <class Call>
void vorlan_l_s3_restore_attempts(vorlan_i_s3_request_t *request, const char *call_name,
                                  Call &&call) {
  request->try_count = 0;
  do {
    if (!vorlan_i_s3_transfer_attempt_begin(vorlan_l_s3_restore_func, request, call_name)) return;
    call();
  } while (vorlan_i_s3_request_again(vorlan_l_s3_restore_func, request, call_name));
}

// How long a retrieval of `tier` (null: Standard, the service's default) typically takes.
const char *vorlan_l_s3_restore_wait(const char *tier, const std::string &storage_class) {
  const bool deep = storage_class == "DEEP_ARCHIVE";
  if (tier != nullptr && std::strcmp(tier, "Expedited") == 0) return "minutes";
  if (tier != nullptr && std::strcmp(tier, "Bulk") == 0) {
    return deep ? "up to 48 hours" : "up to 12 hours";
  }
  return deep ? "up to 12 hours" : "3 to 5 hours";
}

// The 451 reply for a restore that runs, around `cause` (the GET's failure, taken over).
vorlan_result_t vorlan_l_s3_restore_reply(const vorlan_i_s3_request_t *request,
                                          const std::string &storage_class,
                                          vorlan_object_t *cause) {
  const char *tier = vorlan_i_s3_restore_tier;
  vorlan_object_t *text = vorlan_error_construct_error(
      nullptr, cause, VORLAN_ERROR_TYPE_MODULE, VORLAN_S3_SOURCE_FILE, __func__, __LINE__,
      "Object \"%s\" is being restored from its archive class%s%s: retry later (a %s retrieval "
      "typically takes %s).",
      request->pathname, storage_class.empty() ? "" : " ", storage_class.c_str(),
      tier != nullptr ? tier : "Standard", vorlan_l_s3_restore_wait(tier, storage_class));
  return vorlan_error_put(
      vorlan_gfs_ftp_response_error_construct(nullptr, text, 451, "RESTORE_IN_PROGRESS", nullptr));
}

}  // namespace

void vorlan_i_s3_send_restore(vorlan_i_s3_request_t *request) {
  static const S3ResponseHandler handler = {vorlan_l_s3_restore_head_properties,
                                            vorlan_l_s3_restore_complete};
  vorlan_i_s3_error get_failure(request->result.release());
  vorlan_l_s3_archived archived{request, {}};
  try {
    // A restore that runs already is not asked for again: a HEAD says so without starting one.
    vorlan_l_s3_restore_attempts(request, "S3_head_object", [&] {
      S3_head_object(&request->bucket_context, request->key, nullptr, 0, &handler, &archived);
    });
    if (!archived.restoring) {
      // Objects of Intelligent-Tiering's archive tiers come back for good: no days.
      const int days =
          archived.storage_class == "INTELLIGENT_TIERING" ? 0 : vorlan_i_s3_restore_days;
      vorlan_l_s3_restore_attempts(request, "S3_restore_object", [&] {
        S3_restore_object(&request->bucket_context, request->key, days, vorlan_i_s3_restore_tier,
                          nullptr, 0, &handler, &archived);
      });
      archived.restoring = request->status == S3StatusErrorRestoreAlreadyInProgress ||
                           (request->status == S3StatusOK && !request->result.failed());
    }
  } catch (const std::bad_alloc &) {
    request->result.reset(vorlan_i_s3_malloc_error());
    return;
  }
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, vorlan_l_s3_restore_func,
                   "send: op=%p archived object %s (class %s): %s\n",
                   static_cast<void *>(request->op), request->pathname,
                   archived.storage_class.c_str(),
                   archived.restoring ? "being restored" : "restore failed");
  if (archived.restoring) {
    request->result.reset(vorlan_l_s3_restore_reply(request, archived.storage_class,
                                                    vorlan_error_get(get_failure.release())));
    return;
  }
  // The restore's own failure says what to fix (a permission, a tier the class does not take).
  request->result.reset(vorlan_error_put(vorlan_error_construct_error(
      nullptr, vorlan_error_get(request->result.release()), VORLAN_ERROR_TYPE_MODULE,
      VORLAN_S3_SOURCE_FILE, __func__, __LINE__,
      "Object \"%s\" is in an archive class and its restore could not be requested.",
      request->pathname)));
}
