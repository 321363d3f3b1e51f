// Status names and the mappings from service error codes, HTTP answers and transport results
// to library statuses. Every outcome of a request goes through one of these functions.
#ifndef VORLAN_S3_STATUS_TABLE_H
#define VORLAN_S3_STATUS_TABLE_H

#include <string_view>

#include "vorlan/s3.h"

namespace vorlan_s3 {

// The status whose name is "Error" + code ("NoSuchKey" -> S3StatusErrorNoSuchKey), or
// S3StatusErrorUnknown for a code the library does not name.
S3Status status_from_error_code(std::string_view code);

// The status for an HTTP answer >= 300 that carried no usable error document.
S3Status status_from_http_code(long http_code);

// The status for a failed libcurl transfer (a CURLcode other than CURLE_OK); os_errno is
// CURLINFO_OS_ERRNO's value.
S3Status status_from_transport_result(int curl_code, long os_errno = 0);

}  // namespace vorlan_s3

#endif
