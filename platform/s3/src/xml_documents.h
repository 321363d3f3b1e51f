// The XML documents the service answers with: error documents, bucket listings, the list of
// buckets and copy results. Parsed with libxml2 without network access or external entities.
#ifndef VORLAN_S3_XML_DOCUMENTS_H
#define VORLAN_S3_XML_DOCUMENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorlan/s3.h"

namespace vorlan_s3 {

// Listing and error bodies are held whole; anything larger is refused.
inline constexpr size_t kMaxXmlDocumentSize = size_t{16} * 1024 * 1024;

struct error_document {
  std::string code;
  std::string message;
  std::string resource;
  std::string further_details;
  std::vector<std::pair<std::string, std::string>>
      extra_details;  // every other child but the signed texts
};

// True when the body is an <Error> document; its children fill the record.
bool parse_error_document(std::string_view body, error_document *error);

struct listed_object {
  std::string key;
  int64_t last_modified = -1;
  std::string etag;
  uint64_t size = 0;
  std::string owner_id;
  std::string owner_display_name;
};

struct bucket_page {
  bool truncated = false;
  // The marker for the next page: NextMarker, or when the service leaves it out of a
  // truncated page, the greater of the last key and the last common prefix.
  std::string next_marker;
  std::vector<listed_object> contents;
  std::vector<std::string> common_prefixes;
};

// S3StatusOK for a ListBucketResult, S3StatusTruncatedEmptyPage for one that is truncated but
// names no entry, S3StatusXmlParseFailure for anything else.
S3Status parse_bucket_page(std::string_view body, bucket_page *page);

struct owned_bucket {
  std::string name;
  int64_t creation_date = -1;
};

struct service_page {
  std::string owner_id;
  std::string owner_display_name;
  std::vector<owned_bucket> buckets;
};

// S3StatusOK for a ListAllMyBucketsResult, S3StatusXmlParseFailure for anything else.
S3Status parse_service_page(std::string_view body, service_page *page);

struct copy_result {
  std::string etag;
  int64_t last_modified = -1;
};

// A copy succeeded only if the body is a CopyObjectResult. An <Error> body (which the service
// may send with status 200) gives that error's status and fills `error`; any other body gives
// S3StatusXmlParseFailure.
S3Status parse_copy_result(std::string_view body, copy_result *result, error_document *error);

// Multipart uploads. The UploadId of an InitiateMultipartUploadResult, else
// S3StatusXmlParseFailure.
S3Status parse_initiate_result(std::string_view body, std::string *upload_id);

// As parse_copy_result, for a CompleteMultipartUploadResult (which must name its ETag).
S3Status parse_complete_result(std::string_view body, std::string *etag, error_document *error);

// Key and UploadId of every Upload of a ListMultipartUploadsResult.
S3Status parse_uploads_page(std::string_view body,
                            std::vector<std::pair<std::string, std::string>> *uploads);

// Seconds since the epoch for an ISO 8601 UTC time ("2013-09-17T18:07:53.000Z"), -1 if
// unreadable.
int64_t parse_iso8601_time(std::string_view text);

// Escapes & < > " ' for use inside an element.
std::string xml_escape(std::string_view text);

}  // namespace vorlan_s3

#endif
