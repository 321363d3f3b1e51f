// Multipart uploads: create, upload a part, complete, abort, and list the uploads in progress.
// Google Cloud's XML interface takes the same requests; there a completed object has no MD5 and
// its ETag says nothing of its bytes.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "request.h"
#include "vorlan/s3.h"

namespace {

using vorlan_s3::document_collector;
using vorlan_s3::http_result;
using vorlan_s3::properties_forwarder;
using vorlan_s3::request_plan;
using vorlan_s3::set_fixed_body;

void refuse(const S3ResponseHandler *handler, void *callback_data, S3Status status) {
  vorlan_s3::complete_request(handler, callback_data, status, nullptr);
}

bool is_set(const char *text) { return text != nullptr && text[0] != '\0'; }

// A request on one upload. Without its id it would address the object itself: a PUT would
// replace it, a DELETE remove it.
bool upload_plan(const S3BucketContext *context, const char *method, const char *key,
                 const char *upload_id, int timeout_ms, request_plan *plan) {
  if (!is_set(upload_id)) return false;
  *plan = vorlan_s3::object_plan(context, method, key, timeout_ms);
  plan->query.emplace_back("uploadId", upload_id);
  return true;
}

}  // namespace

extern "C" void S3_initiate_multipart(const S3BucketContext *bucketContext, const char *key,
                                      const S3PutProperties *putProperties, S3RequestContext *,
                                      int timeoutMs, const S3MultipartInitialHandler *handler,
                                      void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan = vorlan_s3::object_plan(bucketContext, "POST", key, timeoutMs);
  plan.query.emplace_back("uploads", "");
  // The object's properties go with the creation; a Content-MD5 would describe its empty body.
  if (putProperties != nullptr) {
    S3PutProperties object_properties = *putProperties;
    object_properties.md5 = nullptr;
    object_properties.crc32c = nullptr;
    if (S3Status status = vorlan_s3::add_put_properties(&object_properties, &plan);
        status != S3StatusOK) {
      return refuse(response, callbackData, status);
    }
    // S3 takes part checksums only of an upload created for them; Google Cloud takes them as
    // they come.
    if (putProperties->crc32c != nullptr && vorlan_s3::signs_v4(plan)) {
      plan.signed_headers.emplace_back("x-amz-checksum-algorithm", "CRC32C");
    }
  }
  set_fixed_body(&plan, {});
  document_collector collector(response, callbackData);
  S3MultipartInitialCallback *id_callback = handler->uploadIdCallback;
  auto deliver = [&](http_result &) {
    std::string upload_id;
    S3Status status = vorlan_s3::parse_initiate_result(collector.body, &upload_id);
    if (status != S3StatusOK || id_callback == nullptr) return status;
    return id_callback(upload_id.c_str(), callbackData);
  };
  vorlan_s3::run_request(std::move(plan), response, callbackData, collector, deliver);
}

extern "C" void S3_upload_part(const S3BucketContext *bucketContext, const char *key,
                               const char *uploadId, int partNumber, uint64_t partContentLength,
                               const S3PutProperties *putProperties, S3RequestContext *,
                               int timeoutMs, const S3PutObjectHandler *handler,
                               void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan;
  if (!upload_plan(bucketContext, "PUT", key, uploadId, timeoutMs, &plan)) {
    return refuse(response, callbackData, S3StatusFailedToInitializeRequest);
  }
  plan.query.emplace_back("partNumber", std::to_string(partNumber));
  if (putProperties != nullptr) {
    S3PutProperties digests_only{};
    digests_only.md5 = putProperties->md5;
    digests_only.crc32c = putProperties->crc32c;
    digests_only.expires = -1;
    if (S3Status status = vorlan_s3::add_put_properties(&digests_only, &plan);
        status != S3StatusOK) {
      return refuse(response, callbackData, status);
    }
  }
  vorlan_s3::run_upload(std::move(plan), partContentLength, handler, callbackData);
}

extern "C" void S3_complete_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                                             const char *uploadId, int partCount,
                                             const S3CompletedPart *parts, int eTagReturnSize,
                                             char *eTagReturn, S3RequestContext *, int timeoutMs,
                                             const S3ResponseHandler *handler, void *callbackData) {
  if (eTagReturn && eTagReturnSize > 0) eTagReturn[0] = '\0';
  request_plan plan;
  if (partCount < 1 || parts == nullptr ||
      !upload_plan(bucketContext, "POST", key, uploadId, timeoutMs, &plan)) {
    return refuse(handler, callbackData, S3StatusFailedToInitializeRequest);
  }
  std::string xml = "<CompleteMultipartUpload>";
  for (int i = 0; i < partCount; ++i) {
    if (parts[i].eTag == nullptr) {
      return refuse(handler, callbackData, S3StatusFailedToInitializeRequest);
    }
    xml += "<Part><PartNumber>" + std::to_string(parts[i].partNumber) + "</PartNumber><ETag>" +
           vorlan_s3::xml_escape(parts[i].eTag) + "</ETag>";
    if (parts[i].crc32c != nullptr && vorlan_s3::signs_v4(plan)) {
      xml += "<ChecksumCRC32C>" + vorlan_s3::xml_escape(parts[i].crc32c) + "</ChecksumCRC32C>";
    }
    xml += "</Part>";
  }
  set_fixed_body(&plan, xml + "</CompleteMultipartUpload>");
  plan.signed_headers.emplace_back("Content-Type", "application/xml");

  document_collector collector(handler, callbackData);
  // The service answers 200 as soon as it starts to assemble the object, and may still fail;
  // only a CompleteMultipartUploadResult confirms it.
  auto confirm = [&](http_result &result) {
    std::string etag;
    S3Status status = vorlan_s3::parse_complete_result(collector.body, &etag, &result.error);
    if (status != S3StatusOK) {
      result.has_error_document = status != S3StatusXmlParseFailure;
      return status;
    }
    if (eTagReturn && eTagReturnSize > 0) {
      std::snprintf(eTagReturn, static_cast<size_t>(eTagReturnSize), "%s", etag.c_str());
    }
    return S3StatusOK;
  };
  vorlan_s3::run_request(std::move(plan), handler, callbackData, collector, confirm);
}

extern "C" void S3_abort_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                                          const char *uploadId, S3RequestContext *, int timeoutMs,
                                          const S3ResponseHandler *handler, void *callbackData) {
  request_plan plan;
  if (!upload_plan(bucketContext, "DELETE", key, uploadId, timeoutMs, &plan)) {
    return refuse(handler, callbackData, S3StatusFailedToInitializeRequest);
  }
  properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}

extern "C" void S3_list_multipart_uploads(const S3BucketContext *bucketContext, const char *prefix,
                                          S3RequestContext *, int timeoutMs,
                                          const S3ListMultipartUploadsHandler *handler,
                                          void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan;
  vorlan_s3::apply_bucket_context(bucketContext, &plan);
  plan.timeout_ms = timeoutMs;
  plan.query.emplace_back("uploads", "");
  if (is_set(prefix)) plan.query.emplace_back("prefix", prefix);
  document_collector collector(response, callbackData);
  S3ListMultipartUploadsCallback *upload_callback = handler->uploadCallback;
  auto deliver = [&](http_result &) {
    std::vector<std::pair<std::string, std::string>> uploads;
    S3Status status = vorlan_s3::parse_uploads_page(collector.body, &uploads);
    for (size_t i = 0; status == S3StatusOK && upload_callback && i < uploads.size(); ++i) {
      status = upload_callback(uploads[i].first.c_str(), uploads[i].second.c_str(), callbackData);
    }
    return status;
  };
  vorlan_s3::run_request(std::move(plan), response, callbackData, collector, deliver);
}
