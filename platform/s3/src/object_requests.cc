// Requests on one object: head (also on a bucket), get, put, copy and delete.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "request.h"
#include "sigv4.h"
#include "vorlan/s3.h"

namespace {

using vorlan_s3::document_collector;
using vorlan_s3::http_result;
using vorlan_s3::properties_forwarder;
using vorlan_s3::request_plan;
using vorlan_s3::response_headers;

void refuse(const S3ResponseHandler *handler, void *callback_data, S3Status status) {
  vorlan_s3::complete_request(handler, callback_data, status, nullptr);
}

// Checks every answer against what was asked and the object's size, hands its body over as it
// arrives, and once the exchange ends tells whether the body was whole: an answer that ends
// before the bytes asked for (and the object) end fails after handing over what came, so that
// the caller can resume from there.
class get_object_handler : public properties_forwarder {
 public:
  get_object_handler(const S3GetObjectHandler *handler, void *callback_data, uint64_t start_byte,
                     uint64_t byte_count)
      : properties_forwarder(&handler->responseHandler, callback_data),
        data_callback_(handler->getObjectDataCallback),
        start_byte_(start_byte),
        byte_count_(byte_count) {}

  S3Status on_headers(response_headers &headers) override {
    if (S3Status status = check_answer(headers); status != S3StatusOK) return status;
    return properties_forwarder::on_headers(headers);
  }

  S3Status on_body(const char *data, size_t size) override {
    delivered_ += size;
    if ((byte_count_ > 0 && delivered_ > byte_count_) ||
        (body_length_ && delivered_ > *body_length_)) {
      return S3StatusTransportLongBody;
    }
    if (data_callback_ == nullptr) return S3StatusOK;
    return data_callback_(static_cast<int>(size), data, callback_data_);
  }

  // A body whose length nothing states and whose end is not marked ended with its connection,
  // which a cut connection does too: it is never taken for the whole answer.
  S3Status check_end() const {
    if (body_length_ ? delivered_ < *body_length_ : !chunked_) return S3StatusTransportShortBody;
    return ends_early_ ? S3StatusTransportShortBody : S3StatusOK;
  }

 private:
  // A request with a Range header must be answered by 206 from the byte asked for: a service or
  // front end that ignored the range would hand the caller another part of the object. A 206
  // must name a range within the object, starting where asked, no longer than asked.
  S3Status check_answer(const response_headers &headers) {
    chunked_ = headers.chunked();
    body_length_ = headers.content_length();
    const bool ranged = start_byte_ != 0 || byte_count_ != 0;
    if (headers.http_code() != 206) {
      if (ranged) return S3StatusTransportLongBody;
      if (!body_length_) body_length_ = headers.object_size();
      return S3StatusOK;
    }
    vorlan_s3::content_range_value range;
    auto text = headers.content_range();
    if (!text || !vorlan_s3::parse_content_range(*text, &range) || range.first != start_byte_ ||
        (range.total && range.last >= *range.total)) {
      return S3StatusTransportLongBody;
    }
    const uint64_t length = range.last - range.first + 1;
    if ((byte_count_ > 0 && length > byte_count_) || (body_length_ && *body_length_ != length)) {
      return S3StatusTransportLongBody;
    }
    body_length_ = length;
    // The last byte the answer should reach: the last asked for, or the object's last.
    std::optional<uint64_t> end;
    if (byte_count_ > 0 && byte_count_ - 1 <= UINT64_MAX - start_byte_) {
      end = start_byte_ + byte_count_ - 1;
    }
    if (range.total && (!end || *end >= *range.total)) end = *range.total - 1;
    ends_early_ = !end || range.last < *end;
    return S3StatusOK;
  }

  S3GetObjectDataCallback *data_callback_;
  uint64_t start_byte_;
  uint64_t byte_count_;
  std::optional<uint64_t> body_length_;
  bool chunked_ = false;
  bool ends_early_ = false;
  uint64_t delivered_ = 0;
};

bool add_get_conditions(const S3GetConditions *conditions, request_plan *plan, S3Status *refusal) {
  if (conditions == nullptr) return true;
  if (conditions->ifModifiedSince >= 0) {
    plan->unsigned_headers.emplace_back("If-Modified-Since",
                                        vorlan_s3::http_date(conditions->ifModifiedSince));
  }
  if (conditions->ifNotModifiedSince >= 0) {
    plan->unsigned_headers.emplace_back("If-Unmodified-Since",
                                        vorlan_s3::http_date(conditions->ifNotModifiedSince));
  }
  auto etag = [&](const char *value, const char *name, S3Status bad) {
    if (value == nullptr) return true;
    if (std::strpbrk(value, "\r\n") != nullptr) {
      *refusal = bad;
      return false;
    }
    plan->unsigned_headers.emplace_back(name, value);
    return true;
  };
  return etag(conditions->ifMatchETag, "If-Match", S3StatusBadIfMatchETag) &&
         etag(conditions->ifNotMatchETag, "If-None-Match", S3StatusBadIfNotMatchETag);
}

// Each condition in the one dialect that has it; values are checked when the request is built.
void add_version_condition(const S3VersionCondition *condition, const char *etag_header,
                           const char *generation_header, request_plan *plan) {
  if (condition == nullptr) return;
  const bool google = vorlan_s3::google_dialect(*plan);
  if (google && condition->generation != nullptr) {
    plan->unsigned_headers.emplace_back(generation_header, condition->generation);
  } else if (!google && condition->eTag != nullptr) {
    plan->signed_headers.emplace_back(etag_header, condition->eTag);
  }
}

}  // namespace

namespace vorlan_s3 {

// "bytes=first-last", or "bytes=first-" to the end; empty for the whole object.
std::string range_header_value(uint64_t start_byte, uint64_t byte_count) {
  if (start_byte == 0 && byte_count == 0) return {};
  char text[64];
  if (byte_count == 0 || byte_count - 1 > UINT64_MAX - start_byte) {
    std::snprintf(text, sizeof text, "bytes=%" PRIu64 "-", start_byte);
  } else {
    std::snprintf(text, sizeof text, "bytes=%" PRIu64 "-%" PRIu64, start_byte,
                  start_byte + byte_count - 1);
  }
  return text;
}

}  // namespace vorlan_s3

extern "C" void S3_head_object(const S3BucketContext *bucketContext, const char *key,
                               S3RequestContext *, int timeoutMs, const S3ResponseHandler *handler,
                               void *callbackData) {
  request_plan plan = vorlan_s3::object_plan(bucketContext, "HEAD", key, timeoutMs, false);
  // As a GET asks: Google Cloud states no Content-Length for a gzip-encoded object otherwise.
  plan.unsigned_headers.emplace_back("Accept-Encoding", "gzip");
  // S3 states an object's stored checksums only when asked; Google Cloud always does.
  if (vorlan_s3::signs_v4(plan)) plan.signed_headers.emplace_back("x-amz-checksum-mode", "ENABLED");
  properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}

extern "C" void S3_get_object(const S3BucketContext *bucketContext, const char *key,
                              const S3GetConditions *getConditions, uint64_t startByte,
                              uint64_t byteCount, S3RequestContext *, int timeoutMs,
                              const S3GetObjectHandler *handler, void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan = vorlan_s3::object_plan(bucketContext, "GET", key, timeoutMs);
  std::string range = vorlan_s3::range_header_value(startByte, byteCount);
  if (!range.empty()) plan.signed_headers.emplace_back("Range", range);
  // Google Cloud decompresses a gzip-encoded object on the way out, and then ignores Range,
  // unless the request accepts gzip; the stored bytes are what its size, MD5 and ranges
  // describe. Not signed: a front end may rewrite it.
  plan.unsigned_headers.emplace_back("Accept-Encoding", "gzip");
  S3Status refusal = S3StatusOK;
  if (!add_get_conditions(getConditions, &plan, &refusal)) {
    return refuse(response, callbackData, refusal);
  }
  get_object_handler body(handler, callbackData, startByte, byteCount);
  vorlan_s3::run_request(std::move(plan), response, callbackData, body,
                         [&body](http_result &) { return body.check_end(); });
}

extern "C" void S3_put_object(const S3BucketContext *bucketContext, const char *key,
                              uint64_t contentLength, const S3PutProperties *putProperties,
                              S3RequestContext *, int timeoutMs, const S3PutObjectHandler *handler,
                              void *callbackData) {
  const S3ResponseHandler *response = &handler->responseHandler;
  request_plan plan = vorlan_s3::object_plan(bucketContext, "PUT", key, timeoutMs);
  if (S3Status status = vorlan_s3::add_put_properties(putProperties, &plan); status != S3StatusOK) {
    return refuse(response, callbackData, status);
  }
  vorlan_s3::run_upload(std::move(plan), contentLength, handler, callbackData);
}

extern "C" void S3_copy_object(const S3BucketContext *bucketContext, const char *key,
                               const char *destinationBucket, const char *destinationKey,
                               const S3PutProperties *putProperties, int64_t *lastModifiedReturn,
                               int eTagReturnSize, char *eTagReturn, S3RequestContext *context,
                               int timeoutMs, const S3ResponseHandler *handler,
                               void *callbackData) {
  S3_copy_object_if(bucketContext, key, destinationBucket, destinationKey, nullptr, putProperties,
                    lastModifiedReturn, eTagReturnSize, eTagReturn, context, timeoutMs, handler,
                    callbackData);
}

extern "C" void S3_copy_object_if(const S3BucketContext *bucketContext, const char *key,
                                  const char *destinationBucket, const char *destinationKey,
                                  const S3VersionCondition *condition,
                                  const S3PutProperties *putProperties, int64_t *lastModifiedReturn,
                                  int eTagReturnSize, char *eTagReturn, S3RequestContext *,
                                  int timeoutMs, const S3ResponseHandler *handler,
                                  void *callbackData) {
  if (key == nullptr) return refuse(handler, callbackData, S3StatusKeyMissing);
  const char *source_bucket = bucketContext->bucketName;
  if (S3Status status = vorlan_s3::check_bucket_name(source_bucket, S3UriStylePath);
      status != S3StatusOK) {
    return refuse(handler, callbackData, status);
  }
  if (key[0] == '\0') return refuse(handler, callbackData, S3StatusKeyMissing);
  if (std::strlen(key) > S3_MAX_KEY_SIZE) return refuse(handler, callbackData, S3StatusKeyTooLong);

  request_plan plan = vorlan_s3::object_plan(bucketContext, "PUT",
                                             destinationKey ? destinationKey : key, timeoutMs);
  plan.bucket = destinationBucket ? destinationBucket : source_bucket;
  // Appended piece by piece: GCC 12 at -O3 warns falsely about "/" + std::string&&.
  std::string copy_source = "/";
  copy_source += vorlan_s3::uri_encode(source_bucket, false);
  copy_source += '/';
  copy_source += vorlan_s3::uri_encode(key, true);
  plan.signed_headers.emplace_back("x-amz-copy-source", std::move(copy_source));
  plan.signed_headers.emplace_back("x-amz-metadata-directive", putProperties ? "REPLACE" : "COPY");
  if (S3Status status = vorlan_s3::add_put_properties(putProperties, &plan); status != S3StatusOK) {
    return refuse(handler, callbackData, status);
  }
  add_version_condition(condition, "x-amz-copy-source-if-match",
                        "x-goog-copy-source-if-generation-match", &plan);
  plan.has_body = true;
  plan.body_length = 0;

  if (lastModifiedReturn) *lastModifiedReturn = -1;
  if (eTagReturn && eTagReturnSize > 0) eTagReturn[0] = '\0';
  document_collector collector(handler, callbackData);
  // The service may answer 200 and still fail the copy; only a CopyObjectResult confirms it.
  auto confirm = [&](http_result &result) {
    vorlan_s3::copy_result copied;
    S3Status status = vorlan_s3::parse_copy_result(collector.body, &copied, &result.error);
    if (status != S3StatusOK) {
      result.has_error_document = status != S3StatusXmlParseFailure;
      return status;
    }
    if (lastModifiedReturn) *lastModifiedReturn = copied.last_modified;
    if (eTagReturn && eTagReturnSize > 0) {
      std::snprintf(eTagReturn, static_cast<size_t>(eTagReturnSize), "%s", copied.etag.c_str());
    }
    return S3StatusOK;
  };
  vorlan_s3::run_request(std::move(plan), handler, callbackData, collector, confirm);
}

extern "C" void S3_delete_object(const S3BucketContext *bucketContext, const char *key,
                                 S3RequestContext *context, int timeoutMs,
                                 const S3ResponseHandler *handler, void *callbackData) {
  S3_delete_object_if(bucketContext, key, nullptr, context, timeoutMs, handler, callbackData);
}

extern "C" void S3_delete_object_if(const S3BucketContext *bucketContext, const char *key,
                                    const S3VersionCondition *condition, S3RequestContext *,
                                    int timeoutMs, const S3ResponseHandler *handler,
                                    void *callbackData) {
  request_plan plan = vorlan_s3::object_plan(bucketContext, "DELETE", key, timeoutMs);
  add_version_condition(condition, "If-Match", "x-goog-if-generation-match", &plan);
  properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}

extern "C" int S3_google_dialect(const S3BucketContext *bucketContext) {
  request_plan plan;
  vorlan_s3::apply_bucket_context(bucketContext, &plan);
  return vorlan_s3::google_dialect(plan) ? 1 : 0;
}
