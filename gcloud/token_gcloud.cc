// The session's Google Cloud access token: read from the host's token document, renewed
// through "renew-creds" when fewer than 300 seconds of its life remain.
#include "vorlan_i_gcloud.h"
#include "vorlan_i_s3.h"

#include <jansson.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace {

// A token is renewed when the current time plus this is at or past its expiry.
constexpr time_t vorlan_l_gcloud_renewal_margin = 299;

vorlan_result_t vorlan_l_gcloud_unpack_error(const char *what) {
  return vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
      nullptr, nullptr, 500, "INTERNAL_ERROR", "%s%s",
      "GridFTP-Error: ", vorlan_i_s3_format("Error unpacking user credential: %s", what).c_str()));
}

vorlan_result_t vorlan_l_gcloud_parse_token_json(const char *text,
                                                 vorlan_i_gcloud_credentials_t *credentials) {
  json_error_t error;
  vorlan_i_s3_json_ptr root(json_loads(text, 0, &error));
  if (!root) {
    return VORLAN_S3_ERROR("Error loading user credential: %s\n", error.text);
  }
  const char *access_token = nullptr;
  const char *expiry_text = nullptr;
  const char *sub = nullptr;
  const char *key_id = nullptr;
  const char *secret = nullptr;
  if (json_unpack_ex(root.get(), &error, 0, "{s?s,s?s,s?s,s?s,s?s}", "access_token", &access_token,
                     "token_expiry", &expiry_text, "sub", &sub, "access_key_id", &key_id,
                     "secret_access_key", &secret) != 0) {
    return vorlan_l_gcloud_unpack_error(error.text);
  }
  // The error texts name members, never values: the secret stays out of replies and logs.
  const bool pair = key_id != nullptr || secret != nullptr;
  if (pair && (key_id == nullptr || *key_id == '\0' || secret == nullptr || *secret == '\0')) {
    return vorlan_l_gcloud_unpack_error(
        R"(a key pair needs both "access_key_id" and "secret_access_key", neither empty)");
  }
  // Without a key pair the token, its expiry and its subject are all required, as before.
  for (const auto &[name, value] :
       {std::pair{"access_token", access_token}, std::pair{"token_expiry", expiry_text},
        std::pair{"sub", sub}}) {
    if (!pair && value == nullptr) {
      return vorlan_l_gcloud_unpack_error(
          vorlan_i_s3_format("Object item not found: %s", name).c_str());
    }
  }
  if (access_token != nullptr && expiry_text == nullptr) {
    return vorlan_l_gcloud_unpack_error("Object item not found: token_expiry");
  }
  time_t expiry_time = std::numeric_limits<int64_t>::max();
  if (expiry_text != nullptr) {
    vorlan_result_t result = vorlan_i_gcloud_parse_date(expiry_text, &expiry_time);
    if (result != VORLAN_SUCCESS) {
      vorlan_error_release(result);
      return vorlan_l_gcloud_unpack_error(
          vorlan_i_s3_format("token_expiry \"%s\" is not an RFC 3339 time such as "
                             "2026-12-08T18:00:00Z or 2026-12-08T19:00:00.5+01:00",
                             expiry_text)
              .c_str());
    }
  }
  vorlan_i_gcloud_credentials_t read;
  for (const auto &[value, target] :
       {std::pair{access_token, &read.token}, std::pair{sub, &read.subject},
        std::pair{key_id, &read.key_id}, std::pair{secret, &read.secret}}) {
    if (value != nullptr && !(*target = vorlan_i_s3_text_ptr(strdup(value)))) {
      return vorlan_i_s3_malloc_error();
    }
  }
  read.expiry = expiry_time;
  *credentials = std::move(read);
  return VORLAN_SUCCESS;
}

// Makes the document's key pair the session's; a pair it replaces stays allocated until the
// session ends, as requests in flight may still borrow it.
void vorlan_l_gcloud_take_key_pair(vorlan_i_s3_handle_t *handle,
                                   vorlan_i_gcloud_credentials_t *read) {
  if (!read->secret) return;
  const bool same = handle->key_id != nullptr && handle->secret_key != nullptr &&
                    std::strcmp(handle->key_id, read->key_id.get()) == 0 &&
                    std::strcmp(handle->secret_key, read->secret.get()) == 0;
  if (same) return;
  for (char *old : {handle->key_id, handle->secret_key}) {
    if (old != nullptr) handle->retired_keys.emplace_back(old);
  }
  handle->key_id = read->key_id.release();
  handle->secret_key = read->secret.release();
  handle->default_key_pair = {handle->key_id, handle->secret_key};
}

void vorlan_l_gcloud_drop_token(vorlan_i_s3_handle_t *handle) {
  std::free(handle->access_token);
  std::free(handle->token_subject);
  handle->access_token = nullptr;
  handle->token_subject = nullptr;
  handle->security_token = nullptr;
}

}  // namespace

vorlan_result_t vorlan_i_gcloud_parse_token(const char *text,
                                            vorlan_i_gcloud_credentials_t *credentials) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = vorlan_l_gcloud_parse_token_json(text, credentials);
  VORLAN_S3_LOG_RESULT(result);
  return result;
}

// RFC 3339 as token documents write it: "2024-03-01T10:20:30.5+02:00", with a fraction of any
// length or none, and "Z" for UTC.
vorlan_result_t vorlan_i_gcloud_parse_date(const char *text, time_t *time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int offset_hours = 0, offset_minutes = 0;
  int seconds_end = 0, offset_start = 0;
  bool read = std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                          &second, &seconds_end) == 6;
  const char *rest = text + (read ? seconds_end : 0);
  if (read && *rest == '.') {
    const size_t digits = std::strspn(rest + 1, "0123456789");
    read = digits > 0;
    rest += 1 + digits;
  }
  while (read && std::isspace(static_cast<unsigned char>(*rest))) ++rest;
  if (read && (*rest == 'Z' || *rest == 'z')) {
    offset_start = -1;
  } else if (read) {
    read = std::sscanf(rest, "%3d:%2d", &offset_hours, &offset_minutes) == 2;
  }
  // Fields out of their ranges would be normalised into another, plausible-looking time.
  const bool in_range = year >= 0 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
                        hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 &&
                        second <= 60 && offset_hours >= -23 && offset_hours <= 23 &&
                        offset_minutes >= 0 && offset_minutes <= 59;
  if (!read || !in_range) {
    return VORLAN_S3_ERROR("Error parsing time string: %s\n", text);
  }
  // The sign belongs to the whole offset: "-00:30" is half an hour behind UTC.
  if (offset_start == 0 && *rest == '-') offset_minutes = -offset_minutes;

  struct tm calendar = {};
  calendar.tm_year = year - 1900;
  calendar.tm_mon = month - 1;
  calendar.tm_mday = day;
  calendar.tm_hour = hour - offset_hours;
  calendar.tm_min = minute - offset_minutes;
  calendar.tm_sec = second;
  *time = timegm(&calendar);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_gcloud_update_token(vorlan_i_s3_handle_t *handle,
                                           vorlan_gfs_operation_t op) {
  VORLAN_S3_TRACE_ENTER();
  const char *key = "creds";
  if (handle->access_token != nullptr || handle->secret_key != nullptr) {
    // A key pair read without an expiry never expires; one the service refused is read again.
    if (handle->token_expiry == std::numeric_limits<int64_t>::max() ||
        vorlan_i_s3_env->gcloud_clock() + vorlan_l_gcloud_renewal_margin < handle->token_expiry) {
      VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
      return VORLAN_SUCCESS;
    }
    vorlan_l_gcloud_drop_token(handle);
    key = "renew-creds";
  }
  char *document = nullptr;
  vorlan_gridftp_server_get_config_data(op, key, &document);
  if (document == nullptr) {
    if (std::strcmp(key, "renew-creds") == 0) {
      VORLAN_S3_LOG(VORLAN_S3_DEBUG_WARN,
                    "the access token expired and the host gave no renewal (\"renew-creds\"): "
                    "requests continue without a token\n");
    }
    VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
    return VORLAN_SUCCESS;
  }
  vorlan_i_s3_text_ptr owned_document(document);
  vorlan_i_gcloud_credentials_t read;
  vorlan_result_t result = vorlan_l_gcloud_parse_token_json(document, &read);
  if (result != VORLAN_SUCCESS) {
    VORLAN_S3_LOG_RESULT(result);
    return result;
  }
  handle->token_subject = read.subject.release();
  handle->access_token = read.token.release();
  handle->token_expiry = read.expiry;
  vorlan_l_gcloud_take_key_pair(handle, &read);
  VORLAN_S3_LOG_RESULT(VORLAN_SUCCESS);
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_i_gcloud_token_refresh(vorlan_i_s3_handle_t *handle,
                                              vorlan_gfs_operation_t op) {
  vorlan_result_t result;
  try {
    result = vorlan_gcloud_update_token(handle, op);
  } catch (const std::bad_alloc &) {
    result = vorlan_i_s3_malloc_error();
  }
  handle->security_token = handle->access_token;
  return result;
}
