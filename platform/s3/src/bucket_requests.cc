// Requests on buckets and the service: list a bucket, create and delete a bucket, list the
// account's buckets.
#include <string>
#include <vector>

#include "request.h"
#include "sigv4.h"
#include "vorlan/s3.h"

namespace {

using vorlan_s3::document_collector;
using vorlan_s3::http_result;
using vorlan_s3::properties_forwarder;
using vorlan_s3::request_plan;

bool is_set(const char *text) { return text != nullptr && text[0] != '\0'; }

// Requests given their endpoint and credentials directly rather than in a bucket context.
request_plan direct_plan(const char *method, S3Protocol protocol, S3UriStyle uri_style,
                         const char *host_name, const char *bucket_name, const char *access_key_id,
                         const char *secret_access_key, const char *security_token,
                         const char *auth_region, int timeout_ms) {
  request_plan plan;
  plan.method = method;
  plan.protocol = protocol;
  plan.uri_style = uri_style;
  plan.host = host_name;
  plan.bucket = bucket_name;
  plan.access_key_id = access_key_id;
  plan.secret_access_key = secret_access_key;
  plan.security_token = security_token;
  plan.auth_region = auth_region;
  plan.timeout_ms = timeout_ms;
  return plan;
}

S3Status deliver_bucket_page(const vorlan_s3::bucket_page &page, S3ListBucketCallback *callback,
                             void *callback_data) {
  if (callback == nullptr) return S3StatusOK;
  std::vector<S3ListBucketContent> contents;
  contents.reserve(page.contents.size());
  for (const vorlan_s3::listed_object &object : page.contents) {
    S3ListBucketContent entry{};
    entry.key = object.key.c_str();
    entry.lastModified = object.last_modified;
    entry.eTag = object.etag.c_str();
    entry.size = object.size;
    entry.ownerId = object.owner_id.empty() ? nullptr : object.owner_id.c_str();
    entry.ownerDisplayName =
        object.owner_display_name.empty() ? nullptr : object.owner_display_name.c_str();
    contents.push_back(entry);
  }
  std::vector<const char *> prefixes;
  prefixes.reserve(page.common_prefixes.size());
  for (const std::string &prefix : page.common_prefixes) prefixes.push_back(prefix.c_str());
  return callback(page.truncated ? 1 : 0,
                  page.next_marker.empty() ? nullptr : page.next_marker.c_str(),
                  static_cast<int>(contents.size()), contents.empty() ? nullptr : contents.data(),
                  static_cast<int>(prefixes.size()), prefixes.empty() ? nullptr : prefixes.data(),
                  callback_data);
}

}  // namespace

extern "C" void S3_list_bucket(const S3BucketContext *bucketContext, const char *prefix,
                               const char *marker, const char *delimiter, int maxkeys,
                               S3RequestContext *, int timeoutMs,
                               const S3ListBucketHandler *handler, void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan;
  vorlan_s3::apply_bucket_context(bucketContext, &plan);
  plan.timeout_ms = timeoutMs;
  if (is_set(prefix)) plan.query.emplace_back("prefix", prefix);
  if (is_set(marker)) plan.query.emplace_back("marker", marker);
  if (is_set(delimiter)) plan.query.emplace_back("delimiter", delimiter);
  if (maxkeys > 0) plan.query.emplace_back("max-keys", std::to_string(maxkeys));
  document_collector collector(response, callbackData);
  S3ListBucketCallback *list_callback = handler->listBucketCallback;
  auto deliver = [&](http_result &) {
    vorlan_s3::bucket_page page;
    S3Status status = vorlan_s3::parse_bucket_page(collector.body, &page);
    if (status != S3StatusOK) return status;
    return deliver_bucket_page(page, list_callback, callbackData);
  };
  vorlan_s3::run_request(std::move(plan), response, callbackData, collector, deliver);
}

extern "C" void S3_create_bucket(S3Protocol protocol, const char *accessKeyId,
                                 const char *secretAccessKey, const char *securityToken,
                                 const char *hostName, const char *bucketName,
                                 const char *authRegion, S3CannedAcl cannedAcl,
                                 const char *locationConstraint, S3RequestContext *, int timeoutMs,
                                 const S3ResponseHandler *handler, void *callbackData) {
  request_plan plan =
      direct_plan("PUT", protocol, S3UriStylePath, hostName, bucketName, accessKeyId,
                  secretAccessKey, securityToken, authRegion, timeoutMs);
  S3PutProperties acl_only{};
  acl_only.expires = -1;
  acl_only.cannedAcl = cannedAcl;
  vorlan_s3::add_put_properties(&acl_only, &plan);
  if (is_set(locationConstraint)) {
    plan.fixed_body =
        "<CreateBucketConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
        "<LocationConstraint>" +
        vorlan_s3::xml_escape(locationConstraint) +
        "</LocationConstraint></CreateBucketConfiguration>";
    plan.signed_headers.emplace_back("Content-Type", "application/xml");
  }
  plan.has_body = true;
  plan.body_length = plan.fixed_body.size();
  plan.payload_hash = vorlan_s3::sha256_hex(plan.fixed_body);
  properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}

extern "C" void S3_delete_bucket(S3Protocol protocol, S3UriStyle uriStyle, const char *accessKeyId,
                                 const char *secretAccessKey, const char *securityToken,
                                 const char *hostName, const char *bucketName,
                                 const char *authRegion, S3RequestContext *, int timeoutMs,
                                 const S3ResponseHandler *handler, void *callbackData) {
  request_plan plan = direct_plan("DELETE", protocol, uriStyle, hostName, bucketName, accessKeyId,
                                  secretAccessKey, securityToken, authRegion, timeoutMs);
  properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}

extern "C" void S3_list_service(S3Protocol protocol, const char *accessKeyId,
                                const char *secretAccessKey, const char *securityToken,
                                const char *hostName, const char *authRegion, S3RequestContext *,
                                int timeoutMs, const S3ListServiceHandler *handler,
                                void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan = direct_plan("GET", protocol, S3UriStylePath, hostName, nullptr, accessKeyId,
                                  secretAccessKey, securityToken, authRegion, timeoutMs);
  plan.needs_bucket = false;
  document_collector collector(response, callbackData);
  S3ListServiceCallback *list_callback = handler->listServiceCallback;
  auto deliver = [&](http_result &) {
    vorlan_s3::service_page page;
    S3Status status = vorlan_s3::parse_service_page(collector.body, &page);
    if (status != S3StatusOK || list_callback == nullptr) return status;
    const char *owner_id = page.owner_id.empty() ? nullptr : page.owner_id.c_str();
    const char *owner_name =
        page.owner_display_name.empty() ? nullptr : page.owner_display_name.c_str();
    for (const vorlan_s3::owned_bucket &bucket : page.buckets) {
      status = list_callback(owner_id, owner_name, bucket.name.c_str(), bucket.creation_date,
                             callbackData);
      if (status != S3StatusOK) return status;
    }
    return S3StatusOK;
  };
  vorlan_s3::run_request(std::move(plan), response, callbackData, collector, deliver);
}
