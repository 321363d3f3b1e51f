// The bucket context of each request: credentials, endpoint and signing region, with the AWS
// region table and the HeadBucket lookup of a bucket's own region.
#include "vorlan_i_s3.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct vorlan_l_aws_region_t {
  const char *title;
  const char *region;
  const char *endpoints[6];  // null-terminated; the first is the standard endpoint
  const char *location;      // the region as a HeadBucket answer names it
};

#define VORLAN_L_AWS_DOMAIN ".amazonaws.com"
#define VORLAN_L_AWS_CN_DOMAIN ".amazonaws.com.cn"
#define VORLAN_L_STD(r, d) "s3." r d
#define VORLAN_L_FIPS(r, d) "s3-fips." r d
#define VORLAN_L_DS(r, d) "s3.dualstack." r d
#define VORLAN_L_FIPS_DS(r, d) "s3-fips.dualstack." r d
#define VORLAN_L_ROW2(title, r, d) \
  { title, r, {VORLAN_L_STD(r, d), VORLAN_L_DS(r, d), nullptr}, r }
#define VORLAN_L_ROW4(title, r)                                                                   \
  {                                                                                               \
    title, r,                                                                                     \
        {VORLAN_L_STD(r, VORLAN_L_AWS_DOMAIN), VORLAN_L_FIPS(r, VORLAN_L_AWS_DOMAIN),             \
         VORLAN_L_DS(r, VORLAN_L_AWS_DOMAIN), VORLAN_L_FIPS_DS(r, VORLAN_L_AWS_DOMAIN), nullptr}, \
        r                                                                                         \
  }

const vorlan_l_aws_region_t vorlan_l_aws_region_table[] = {
    VORLAN_L_ROW4("US East (Ohio)", "us-east-2"),
    {"US East (N. Virginia)",
     "us-east-1",
     {VORLAN_L_STD("us-east-1", VORLAN_L_AWS_DOMAIN),
      VORLAN_L_FIPS("us-east-1", VORLAN_L_AWS_DOMAIN), "s3" VORLAN_L_AWS_DOMAIN,
      VORLAN_L_DS("us-east-1", VORLAN_L_AWS_DOMAIN),
      VORLAN_L_FIPS_DS("us-east-1", VORLAN_L_AWS_DOMAIN), nullptr},
     "us-east-1"},
    VORLAN_L_ROW4("US West (N. California)", "us-west-1"),
    VORLAN_L_ROW4("US West (Oregon)", "us-west-2"),
    VORLAN_L_ROW2("Africa (Cape Town)", "af-south-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Hong Kong)***", "ap-east-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Hyderabad)", "ap-south-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Jakarta)", "ap-southeast-3", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Melbourne)", "ap-southeast-4", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Mumbai)", "ap-south-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Osaka)", "ap-northeast-3", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Seoul)", "ap-northeast-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Singapore)", "ap-southeast-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Sydney)", "ap-southeast-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Asia Pacific (Tokyo)", "ap-northeast-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW4("Canada (Central)", "ca-central-1"),
    VORLAN_L_ROW2("China (Beijing)", "cn-north-1", VORLAN_L_AWS_CN_DOMAIN),
    VORLAN_L_ROW2("China (Ningxia)", "cn-northwest-1", VORLAN_L_AWS_CN_DOMAIN),
    VORLAN_L_ROW2("Europe (Frankfurt)", "eu-central-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Ireland)", "eu-west-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (London)", "eu-west-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Milan)", "eu-south-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Paris)", "eu-west-3", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Stockholm)", "eu-north-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Spain)", "eu-south-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Europe (Zurich)", "eu-central-2", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("South America (S\xC3\xA3o Paulo)", "sa-east-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Middle East (Bahrain)", "me-south-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Middle East (UAE)", "me-central-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW2("Israel (Tel Aviv)", "il-central-1", VORLAN_L_AWS_DOMAIN),
    VORLAN_L_ROW4("AWS GovCloud (US-East)", "us-gov-east-1"),
    VORLAN_L_ROW4("AWS GovCloud (US-West)", "us-gov-west-1"),
};
static_assert(sizeof(vorlan_l_aws_region_table) / sizeof(vorlan_l_aws_region_table[0]) == 32);

constexpr const char *vorlan_l_dualstack_marker = ".dualstack.";
constexpr const char *vorlan_l_fips_prefix = "s3-fips.";

const vorlan_l_aws_region_t *vorlan_l_lookup_aws_host(const char *host_name) {
  if (host_name == nullptr) return nullptr;
  for (const auto &row : vorlan_l_aws_region_table) {
    for (const char *const *endpoint = row.endpoints; *endpoint != nullptr; ++endpoint) {
      if (std::strcmp(*endpoint, host_name) == 0) return &row;
    }
  }
  return nullptr;
}

bool vorlan_l_is_aws_endpoint(const char *host_name) {
  const bool answer = vorlan_l_lookup_aws_host(host_name) != nullptr;
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "exit: %d\n", answer);
  return answer;
}

const vorlan_l_aws_region_t *vorlan_l_lookup_aws_region(const char *region) {
  VORLAN_S3_TRACE_ENTER();
  const vorlan_l_aws_region_t *found = nullptr;
  for (const auto &row : vorlan_l_aws_region_table) {
    if (std::strcmp(row.location, region) == 0) {
      found = &row;
      break;
    }
  }
  VORLAN_S3_TRACE_EXIT();
  return found;
}

bool vorlan_l_starts_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The row's endpoint of the same kind (FIPS, dual-stack) as the session's own host, else the
// standard one. Used for first lookups and cache hits alike, so both choose the same host.
const char *vorlan_l_choose_endpoint(const vorlan_l_aws_region_t *row, const char *session_host) {
  const bool dualstack = std::strstr(session_host, vorlan_l_dualstack_marker) != nullptr;
  const bool fips = vorlan_l_starts_with(session_host, vorlan_l_fips_prefix);
  for (const char *const *endpoint = row->endpoints; *endpoint != nullptr; ++endpoint) {
    if (dualstack && std::strstr(*endpoint, vorlan_l_dualstack_marker) == nullptr) continue;
    if (fips && !vorlan_l_starts_with(*endpoint, vorlan_l_fips_prefix)) continue;
    return *endpoint;
  }
  return row->endpoints[0];
}

// The one-entry bucket-region cache, process-wide. `region` null with `valid` set means the
// service named a region the table does not know.
struct vorlan_l_region_cache_t {
  std::mutex lock;
  bool valid = false;
  std::string bucket;
  const vorlan_l_aws_region_t *region = nullptr;
};
vorlan_l_region_cache_t vorlan_l_region_cache;

bool vorlan_l_region_cache_find(const char *bucket, const vorlan_l_aws_region_t **region) {
  std::lock_guard<std::mutex> guard(vorlan_l_region_cache.lock);
  if (!vorlan_l_region_cache.valid || vorlan_l_region_cache.bucket != bucket) return false;
  *region = vorlan_l_region_cache.region;
  return true;
}

void vorlan_l_region_cache_store(const char *bucket, const vorlan_l_aws_region_t *region) {
  try {
    std::lock_guard<std::mutex> guard(vorlan_l_region_cache.lock);
    vorlan_l_region_cache.bucket = bucket;
    vorlan_l_region_cache.region = region;
    vorlan_l_region_cache.valid = true;
  } catch (const std::bad_alloc &) {
    // The cache is a hint: without memory for the name the next request looks again.
  }
}

struct vorlan_l_head_bucket_data_t {
  S3Status status;
  vorlan_i_s3_error result;  // dropped: a failed lookup is not the request's error
  const char *bucket;
  char region[64];
};

void vorlan_l_head_bucket_keep_region(vorlan_l_head_bucket_data_t *data, const char *region) {
  if (region != nullptr && std::strlen(region) < sizeof(data->region)) {
    std::strcpy(data->region, region);
  }
}

S3Status responsePropertiesCallback(const S3ResponseProperties *properties, void *callback_data) {
  auto *data = static_cast<vorlan_l_head_bucket_data_t *>(callback_data);
  vorlan_l_head_bucket_keep_region(data, properties->bucketRegion);
  return S3StatusOK;
}

void responseCompleteCallback(S3Status status, const S3ErrorDetails *error_details,
                              void *callback_data) {
  VORLAN_S3_TRACE_ENTER();
  auto *data = static_cast<vorlan_l_head_bucket_data_t *>(callback_data);
  // A bucket in another region answers with a redirect that still names its region; the
  // library hands an error answer's headers over only as its details.
  if (status == S3StatusErrorPermanentRedirect && error_details != nullptr) {
    for (int i = 0; i < error_details->extraDetailsCount; ++i) {
      const S3NameValue &detail = error_details->extraDetails[i];
      if (detail.name != nullptr && std::strcmp(detail.name, "Region") == 0) {
        vorlan_l_head_bucket_keep_region(data, detail.value);
      }
    }
  }
  const bool redirect_with_region = status == S3StatusErrorPermanentRedirect && data->region[0];
  if (status != S3StatusOK && !redirect_with_region && data->status == S3StatusOK) {
    data->status = status;
    data->result.reset(
        vorlan_error_put(vorlan_i_S3Error_to_error(status, data->bucket, error_details)));
  }
  VORLAN_S3_TRACE_EXIT();
}

// HeadBucket with the requests' attempt limit and back-off. Returns whether the bucket's region
// is in `region` (at most 63 characters); a failed lookup is not an error of the request.
bool vorlan_l_head_bucket_region(const S3BucketContext *context, vorlan_gfs_operation_t op,
                                 char (&region)[64]) {
  S3BucketContext lookup = *context;
  if (vorlan_i_s3_env->region_lookup_host != nullptr) {
    lookup.hostName = vorlan_i_s3_env->region_lookup_host;
  }
  const S3ResponseHandler handler = {responsePropertiesCallback, responseCompleteCallback};
  vorlan_l_head_bucket_data_t data{};
  int32_t try_count = 0;
  do {
    data = vorlan_l_head_bucket_data_t{S3StatusOK, {}, context->bucketName, {}};
    vorlan_i_s3_retry_delay(try_count);
    VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "REST: op=%p S3_head_object(bucket=%s) try=%d\n",
                  static_cast<void *>(op), context->bucketName, try_count);
    S3_head_object(&lookup, nullptr, nullptr, 0, &handler, &data);
  } while (vorlan_i_s3_attempt_again(__func__, op, "S3_head_object", data.status, &try_count));
  if (data.status != S3StatusOK) return false;
  std::memcpy(region, data.region, sizeof(region));
  return true;
}

bool vorlan_l_same_token(const char *a, const char *b) {
  return a == nullptr ? b == nullptr : b != nullptr && std::strcmp(a, b) == 0;
}

// What a request's token step does beyond copying the session's token.
enum class vorlan_l_token_renewal { none, when_due, refused };

// Under the session's lock: record the request, renew the token if due, copy it. A token the
// service refused (`refused`) counts as expired while the session still holds it; one that
// another request renewed meanwhile is taken as it is.
vorlan_result_t vorlan_l_s3_take_token(vorlan_i_s3_handle_t *handle, vorlan_gfs_operation_t op,
                                       vorlan_l_token_renewal renewal, char **token,
                                       const char *refused = nullptr) {
  std::lock_guard<std::mutex> guard(handle->lock);
  if (renewal != vorlan_l_token_renewal::none) {
    handle->current_op = op;
    if (renewal == vorlan_l_token_renewal::refused &&
        vorlan_l_same_token(handle->security_token, refused)) {
      handle->token_expiry = 0;
    }
    if (handle->refresh_credentials != nullptr) {
      vorlan_result_t result = handle->refresh_credentials(handle, op);
      if (result != VORLAN_SUCCESS) return result;
    }
  }
  *token = nullptr;
  // A key pair signs on its own: an OAuth access token is no S3 session token.
  if (handle->security_token != nullptr && handle->secret_key == nullptr) {
    *token = strdup(handle->security_token);
    if (*token == nullptr) return vorlan_i_s3_malloc_error();
  }
  return VORLAN_SUCCESS;
}

}  // namespace

void vorlan_i_s3_region_cache_clear() {
  std::lock_guard<std::mutex> guard(vorlan_l_region_cache.lock);
  vorlan_l_region_cache.valid = false;
  vorlan_l_region_cache.bucket.clear();
  vorlan_l_region_cache.region = nullptr;
}

const char *vorlan_i_host_to_region(const char *host_name) {
  const vorlan_l_aws_region_t *row = vorlan_l_lookup_aws_host(host_name);
  return row != nullptr ? row->region : nullptr;
}

vorlan_result_t vorlan_i_s3_get_key_pair(vorlan_i_s3_handle_t *handle, const char *bucket,
                                         const char *path, vorlan_i_s3_key_pair_t *key_pair) {
  (void)bucket;
  (void)path;
  VORLAN_S3_TRACE_ENTER();
  {
    std::lock_guard<std::mutex> guard(handle->lock);
    *key_pair = handle->default_key_pair;
  }
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Using the default IAM key pair %s\n",
                vorlan_i_s3_str(key_pair->key_id));
  VORLAN_S3_TRACE_EXIT();
  return VORLAN_SUCCESS;
}

vorlan_result_t vorlan_i_s3_copy_security_token(vorlan_i_s3_handle_t *handle, char **token) {
  return vorlan_l_s3_take_token(handle, nullptr, vorlan_l_token_renewal::none, token);
}

bool vorlan_i_s3_attempt_token(vorlan_i_s3_request_t *request) {
  char *token = nullptr;
  const vorlan_result_t result = vorlan_l_s3_take_token(
      request->s3_handle, request->op,
      request->renews_token ? vorlan_l_token_renewal::when_due : vorlan_l_token_renewal::none,
      &token);
  if (result != VORLAN_SUCCESS) {
    request->result.reset(result);
    return false;
  }
  std::free(const_cast<char *>(request->bucket_context.securityToken));
  request->bucket_context.securityToken = token;
  return true;
}

bool vorlan_i_s3_renew_refused_token(vorlan_i_s3_request_t *request) {
  S3BucketContext &context = request->bucket_context;
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_INFO, "op=%p the service refused the %s; asking for a renewal\n",
                static_cast<void *>(request->op),
                context.securityToken != nullptr ? "token" : "request without a token");
  char *token = nullptr;
  const vorlan_result_t result =
      vorlan_l_s3_take_token(request->s3_handle, request->op, vorlan_l_token_renewal::refused,
                             &token, context.securityToken);
  if (result != VORLAN_SUCCESS) {
    request->result.reset(result);
    return false;
  }
  const bool renewed = token != nullptr && !vorlan_l_same_token(token, context.securityToken);
  std::free(const_cast<char *>(context.securityToken));
  context.securityToken = token;
  return renewed;
}

void vorlan_i_s3_bucket_context_release(S3BucketContext *context) {
  std::free(const_cast<char *>(context->securityToken));
  *context = S3BucketContext{};
}

void vorlan_i_s3_session_context(const vorlan_i_s3_handle_t *handle, const char *bucket,
                                 const vorlan_i_s3_key_pair_t *key_pair, char *token,
                                 S3BucketContext *context) {
  *context = S3BucketContext{};
  context->hostName = handle->host_name;
  context->bucketName = bucket;
  context->protocol = static_cast<S3Protocol>(handle->protocol);
  context->uriStyle = static_cast<S3UriStyle>(handle->uri_style);
  context->accessKeyId = key_pair->key_id;
  context->secretAccessKey = key_pair->secret_key;
  context->securityToken = token;
  context->authRegion = handle->region;
  // Requester pays: Google Cloud bills a named project; S3 takes the requester's consent.
  // Google Cloud is reached with its tokens, or with HMAC keys at its own host.
  if (handle->user_project != nullptr) {
    const std::string_view host(handle->host_name != nullptr ? handle->host_name : "");
    if (key_pair->secret_key == nullptr || host.empty() || host.ends_with(".googleapis.com")) {
      context->userProject = handle->user_project;
    } else {
      context->requesterPays = 1;
    }
  }
}

vorlan_result_t vorlan_i_s3_bucket_context(vorlan_i_s3_handle_t *handle, vorlan_gfs_operation_t op,
                                           const char *pathname, const char *bucket,
                                           S3BucketContext *context) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = vorlan_i_s3_path_check(pathname, bucket);
  if (result == VORLAN_SUCCESS)
    vorlan_i_s3_bucket_allowed(bucket, handle->allowed_buckets, &result);
  char *token = nullptr;
  if (result == VORLAN_SUCCESS) {
    result = vorlan_l_s3_take_token(handle, op, vorlan_l_token_renewal::when_due, &token);
  }
  vorlan_i_s3_key_pair_t key_pair{};
  if (result == VORLAN_SUCCESS)
    result = vorlan_i_s3_get_key_pair(handle, bucket, pathname, &key_pair);
  if (result != VORLAN_SUCCESS) {
    std::free(token);
    VORLAN_S3_TRACE_EXIT();
    return result;
  }

  vorlan_i_s3_session_context(handle, bucket, &key_pair, token, context);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_DEBUG, "Using the key id %s\n", vorlan_i_s3_str(key_pair.key_id));

  // Only AWS endpoints have per-region hosts; the cache is consulted for them alone, so a
  // bucket of the same name looked up by an AWS session never redirects another endpoint's
  // requests (and their token) to AWS.
  if (!vorlan_l_is_aws_endpoint(handle->host_name)) {
    VORLAN_S3_TRACE_EXIT();
    return VORLAN_SUCCESS;
  }
  const vorlan_l_aws_region_t *row = nullptr;
  if (!vorlan_l_region_cache_find(bucket, &row)) {
    char region[64];
    if (!vorlan_l_head_bucket_region(context, op, region)) {
      VORLAN_S3_TRACE_EXIT();
      return VORLAN_SUCCESS;
    }
    row = vorlan_l_lookup_aws_region(region);
    if (row == nullptr) {
      vorlan_gfs_log_message(VORLAN_GFS_LOG_WARN,
                             "HeadBucket returned an unrecognized region.  Continuing with default "
                             "region.  endpoint: %s, bucket: %s, region: %s\n",
                             context->hostName, bucket, region);
    }
    vorlan_l_region_cache_store(bucket, row);
  }
  if (row != nullptr) {
    context->hostName = vorlan_l_choose_endpoint(row, handle->host_name);
    context->authRegion = row->region;
  }
  VORLAN_S3_TRACE_EXIT();
  return VORLAN_SUCCESS;
}
