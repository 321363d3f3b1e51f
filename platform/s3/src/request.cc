#include "request.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <new>

#include "library_state.h"
#include "sigv4.h"

namespace {

bool is_set(const char *text) { return text != nullptr && text[0] != '\0'; }

// A value that could end its header line and start another is refused.
bool safe_header_value(std::string_view value) {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool is_token(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    auto c = static_cast<unsigned char>(ch);
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(ch) != std::string_view::npos;
  });
}

const char *canned_acl_name(S3CannedAcl acl) {
  switch (acl) {
    case S3CannedAclPublicRead:
      return "public-read";
    case S3CannedAclPublicReadWrite:
      return "public-read-write";
    case S3CannedAclAuthenticatedRead:
      return "authenticated-read";
    case S3CannedAclPrivate:
    default:
      return nullptr;
  }
}

S3Status add_checked(vorlan_s3::header_list *list, std::string name, const char *value,
                     S3Status refusal) {
  if (value == nullptr) return S3StatusOK;
  if (!safe_header_value(value)) return refusal;
  list->emplace_back(std::move(name), value);
  return S3StatusOK;
}

// Google Cloud's names for the S3 headers of a request in its dialect. S3's server-side
// encryption and checksum requests have no such header (Google Cloud encrypts and states
// checksums unasked) and are dropped.
void take_google_names(vorlan_s3::header_list *headers) {
  std::erase_if(*headers, [](const auto &header) {
    return header.first == "x-amz-server-side-encryption" ||
           header.first.starts_with("x-amz-checksum-");
  });
  for (auto &header : *headers) {
    if (header.first.starts_with("x-amz-")) header.first.replace(0, 6, "x-goog-");
  }
}

}  // namespace

namespace vorlan_s3 {

void apply_bucket_context(const S3BucketContext *context, request_plan *plan) {
  plan->host = context->hostName;
  plan->bucket = context->bucketName;
  plan->protocol = context->protocol;
  plan->uri_style = context->uriStyle;
  plan->access_key_id = context->accessKeyId;
  plan->secret_access_key = context->secretAccessKey;
  plan->security_token = context->securityToken;
  plan->auth_region = context->authRegion;
  plan->user_project = context->userProject;
  plan->requester_pays = context->requesterPays != 0;
}

request_plan object_plan(const S3BucketContext *context, const char *method, const char *key,
                         int timeout_ms, bool needs_key) {
  request_plan plan;
  apply_bucket_context(context, &plan);
  plan.method = method;
  plan.key = key;
  plan.needs_key = needs_key;
  plan.timeout_ms = timeout_ms;
  return plan;
}

void set_fixed_body(request_plan *plan, std::string body) {
  plan->fixed_body = std::move(body);
  plan->has_body = true;
  plan->body_length = plan->fixed_body.size();
  plan->payload_hash = sha256_hex(plan->fixed_body);
}

S3Status add_put_properties(const S3PutProperties *properties, request_plan *plan) {
  if (properties == nullptr) return S3StatusOK;
  header_list &signed_headers = plan->signed_headers;
  header_list &plain = plan->unsigned_headers;
  S3Status status = S3StatusOK;
  auto add = [&](header_list *list, const char *name, const char *value, S3Status refusal) {
    if (status == S3StatusOK) status = add_checked(list, name, value, refusal);
  };
  add(&signed_headers, "Content-Type", properties->contentType, S3StatusBadContentType);
  add(&signed_headers, "Content-MD5", properties->md5, S3StatusBadMD5);
  add(&plain, "Cache-Control", properties->cacheControl, S3StatusBadCacheControl);
  add(&plain, "Content-Encoding", properties->contentEncoding, S3StatusBadContentEncoding);
  if (properties->crc32c != nullptr) {
    if (google_dialect(*plan)) {
      add(&plain, "x-goog-hash", (std::string("crc32c=") + properties->crc32c).c_str(),
          S3StatusBadMD5);
    } else {
      add(&signed_headers, "x-amz-checksum-crc32c", properties->crc32c, S3StatusBadMD5);
    }
  }
  add(&signed_headers, "x-amz-storage-class", properties->storageClass, S3StatusBadMetaData);
  if (status != S3StatusOK) return status;
  if (const char *filename = properties->contentDispositionFilename) {
    std::string_view name(filename);
    if (!safe_header_value(name) || name.find('"') != std::string_view::npos) {
      return S3StatusBadContentDispositionFilename;
    }
    plain.emplace_back("Content-Disposition", "attachment; filename=\"" + std::string(name) + "\"");
  }
  if (properties->expires >= 0) plain.emplace_back("Expires", http_date(properties->expires));
  if (const char *acl = canned_acl_name(properties->cannedAcl)) {
    signed_headers.emplace_back("x-amz-acl", acl);
  }
  if (properties->useServerSideEncryption) {
    signed_headers.emplace_back("x-amz-server-side-encryption", "AES256");
  }
  for (int i = 0; i < properties->metaDataCount; ++i) {
    const S3NameValue &meta = properties->metaData[i];
    if (meta.name == nullptr || meta.value == nullptr || !is_token(meta.name) ||
        !safe_header_value(meta.value)) {
      return S3StatusBadMetaData;
    }
    std::string name = "x-amz-meta-";
    for (const char *c = meta.name; *c != '\0'; ++c) {
      name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*c))));
    }
    signed_headers.emplace_back(std::move(name), meta.value);
  }
  return S3StatusOK;
}

S3Status build_http_request(request_plan plan, http_request *request) {
  std::string host = is_set(plan.host) ? plan.host : current_settings().default_host;
  if (plan.needs_bucket && plan.bucket == nullptr) return S3StatusInvalidBucketNameTooShort;
  if (plan.needs_key && plan.key == nullptr) return S3StatusKeyMissing;
  const bool google = google_dialect(plan);
  if (is_set(plan.user_project)) {
    if (!safe_header_value(plan.user_project)) return S3StatusFailedToInitializeRequest;
    if (google) {
      plan.unsigned_headers.emplace_back("x-goog-user-project", plan.user_project);
    } else {
      plan.query.emplace_back("userProject", plan.user_project);
    }
  }
  if (plan.requester_pays && !google) {
    plan.signed_headers.emplace_back("x-amz-request-payer", "requester");
  }
  if (google) {
    take_google_names(&plan.signed_headers);
    take_google_names(&plan.unsigned_headers);
  }
  request_target target;
  S3Status status =
      build_request_target(plan.uri_style, host, plan.bucket, plan.key, plan.query, &target);
  if (status != S3StatusOK) return status;
  for (const header_list *list : {&plan.signed_headers, &plan.unsigned_headers}) {
    for (const auto &header : *list) {
      if (!safe_header_value(header.second)) return S3StatusHeadersTooLong;
    }
  }

  *request = http_request{};
  request->method = plan.method;
  request->url = target.url(plan.protocol);
  request->timeout_ms = plan.timeout_ms;
  request->has_body = plan.has_body;
  request->body_length = plan.body_length;
  request->pull_body = std::move(plan.pull_body);
  request->fixed_body = std::move(plan.fixed_body);

  header_list signed_headers = std::move(plan.signed_headers);
  signed_headers.emplace_back("Host", target.host);

  if (is_set(plan.secret_access_key)) {
    if (!safe_header_value(plan.secret_access_key) ||
        (plan.access_key_id && !safe_header_value(plan.access_key_id)) ||
        (plan.auth_region && !safe_header_value(plan.auth_region))) {
      return S3StatusFailedToInitializeRequest;
    }
    std::string payload_hash =
        plan.payload_hash.empty() ? std::string(kEmptyPayloadSha256) : plan.payload_hash;
    std::string date =
        amz_date(plan.now != 0 ? plan.now : static_cast<int64_t>(std::time(nullptr)));
    signed_headers.emplace_back("x-amz-date", date);
    signed_headers.emplace_back("x-amz-content-sha256", payload_hash);
    if (is_set(plan.security_token)) {
      if (!safe_header_value(plan.security_token)) return S3StatusFailedToInitializeRequest;
      signed_headers.emplace_back("x-amz-security-token", plan.security_token);
    }
    signing_input input;
    input.method = plan.method;
    input.canonical_uri = target.path;
    input.canonical_query = target.query;
    input.headers = signed_headers;
    input.payload_hash = payload_hash;
    input.access_key_id = plan.access_key_id ? plan.access_key_id : "";
    input.secret_access_key = plan.secret_access_key;
    input.region = is_set(plan.auth_region) ? plan.auth_region : "us-east-1";
    input.amz_date = date;
    plan.unsigned_headers.emplace_back("Authorization", sigv4_authorization(input));
  } else {
    if (is_set(plan.security_token)) {
      if (!safe_header_value(plan.security_token)) return S3StatusFailedToInitializeRequest;
      plan.unsigned_headers.emplace_back("Authorization",
                                         std::string("Bearer ") + plan.security_token);
    }
    if (is_set(plan.access_key_id)) {
      if (!safe_header_value(plan.access_key_id)) return S3StatusFailedToInitializeRequest;
      plan.unsigned_headers.emplace_back("x-goog-project-id", plan.access_key_id);
    }
  }

  for (const header_list *list : {&signed_headers, &plan.unsigned_headers}) {
    for (const auto &[name, value] : *list) {
      std::string &line = request->headers.emplace_back(name);
      line += ": ";
      line += value;
    }
  }
  return S3StatusOK;
}

std::string http_date(int64_t epoch_seconds) {
  auto t = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

S3Status document_collector::on_body(const char *data, size_t size) {
  if (body.size() + size > kMaxXmlDocumentSize) return S3StatusXmlDocumentTooLarge;
  body.append(data, size);
  return S3StatusOK;
}

S3Status properties_forwarder::on_headers(response_headers &headers) {
  if (handler_ == nullptr || handler_->propertiesCallback == nullptr) return S3StatusOK;
  return handler_->propertiesCallback(&headers.properties(), callback_data_);
}

void complete_request(const S3ResponseHandler *handler, void *callback_data, S3Status status,
                      const http_result *result) {
  if (handler == nullptr || handler->completeCallback == nullptr) return;
  if (status == S3StatusOK || result == nullptr ||
      (!result->has_error_document && result->transport_message.empty() &&
       result->bucket_region.empty() && result->content_range.empty())) {
    handler->completeCallback(status, nullptr, callback_data);
    return;
  }
  auto or_null = [](const std::string &text) { return text.empty() ? nullptr : text.c_str(); };
  std::vector<S3NameValue> extras;
  S3ErrorDetails details{};
  bool region_named = false;
  if (result->has_error_document) {
    const error_document &error = result->error;
    details.message = or_null(error.message);
    details.resource = or_null(error.resource);
    details.furtherDetails = or_null(error.further_details);
    for (const auto &[name, value] : error.extra_details) {
      extras.push_back({name.c_str(), value.c_str()});
      region_named = region_named || name == "Region";
    }
  } else {
    details.message = or_null(result->transport_message);
  }
  // An error answer has no properties; its region header (a HeadBucket redirect names the
  // bucket's region only there) travels with the details.
  if (!result->bucket_region.empty() && !region_named) {
    extras.push_back({"Region", result->bucket_region.c_str()});
  }
  // A 416 answer names the object's size only in its Content-Range.
  if (!result->content_range.empty()) {
    extras.push_back({"Content-Range", result->content_range.c_str()});
  }
  details.extraDetailsCount = static_cast<int>(extras.size());
  details.extraDetails = extras.empty() ? nullptr : extras.data();
  handler->completeCallback(status, &details, callback_data);
}

void run_request(request_plan plan, const S3ResponseHandler *handler, void *callback_data,
                 http_response_handler &body_handler,
                 const std::function<S3Status(http_result &)> &after) {
  S3Status status = S3StatusOK;
  http_result result;
  try {
    http_request request;
    status = build_http_request(std::move(plan), &request);
    if (status == S3StatusOK) {
      result = http_perform(request, body_handler);
      status = result.status;
    }
    if (status == S3StatusOK && after) status = after(result);
  } catch (const std::bad_alloc &) {
    status = S3StatusOutOfMemory;
  } catch (...) {
    status = S3StatusInternalError;
  }
  complete_request(handler, callback_data, status, &result);
}

void run_upload(request_plan plan, uint64_t length, const S3PutObjectHandler *handler,
                void *callback_data) {
  plan.payload_hash = kUnsignedPayload;
  plan.has_body = true;
  plan.body_length = length;
  S3PutObjectDataCallback *data_callback = handler->putObjectDataCallback;
  plan.pull_body = [data_callback, callback_data](char *buffer, int size) {
    return data_callback ? data_callback(size, buffer, callback_data) : 0;
  };
  properties_forwarder forwarder(&handler->responseHandler, callback_data);
  run_request(std::move(plan), &handler->responseHandler, callback_data, forwarder);
}

}  // namespace vorlan_s3
