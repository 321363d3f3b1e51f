// The fuzz targets, one per input format; CMake compiles this file once per target with
// VORLAN_FUZZ_<TARGET> defined. Each target checks what must hold for any input, not only
// that nothing crashes: refused input stores nothing, accepted input keeps its invariants.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#if defined(VORLAN_FUZZ_S3_XML) || defined(VORLAN_FUZZ_RESPONSE_HEADERS)
#include "response_headers.h"
#include "xml_documents.h"
#else
#include "vorlan_i_gcloud.h"
#include "vorlan_i_s3.h"
#endif

// A broken invariant aborts; libFuzzer's report shows the line and keeps the input.
#define FUZZ_CHECK(condition) ((condition) ? void() : std::abort())

namespace {

[[maybe_unused]] bool is_word(const char *text) {
  return *text != '\0' && std::strpbrk(text, " \t\n\v\f\r#") == nullptr;
}

#if !defined(VORLAN_FUZZ_S3_XML) && !defined(VORLAN_FUZZ_RESPONSE_HEADERS)
// The file readers get the input through an anonymous memory file.
struct InputFile {
  explicit InputFile(const std::string &text) : fd(memfd_create("fuzz", 0)) {
    FUZZ_CHECK(fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()));
  }
  ~InputFile() { close(fd); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
  int fd;
};

bool failed(vorlan_result_t result) {
  if (result != VORLAN_SUCCESS) vorlan_error_release(result);
  return result != VORLAN_SUCCESS;
}
#endif

void fuzz_one(const std::string &text) {
#if defined(VORLAN_FUZZ_CONFIG_FILE)
  char *project = nullptr;
  int32_t count = 0;
  const vorlan_i_s3_config_key_t extra[] = {
      vorlan_i_s3_config_key("project", &project), vorlan_i_s3_config_key("count", &count, 0), {}};
  // Activation stores the default endpoint just before it reads the file.
  vorlan_i_s3_default_hostname = strdup(VORLAN_S3_DEFAULT_HOSTNAME);
  const bool ok = !failed(vorlan_i_s3_config_parse(InputFile(text).path().c_str(), extra));
  for (char *setting : {vorlan_i_s3_default_hostname, vorlan_i_s3_default_region,
                        vorlan_i_s3_mime_type_file, vorlan_i_s3_restore_tier, project}) {
    FUZZ_CHECK(setting == nullptr || (ok && is_word(setting)));
  }
  FUZZ_CHECK(std::min({vorlan_i_s3_max_retries, vorlan_i_s3_retry_delay_ms,
                       vorlan_i_s3_restore_days, count}) >= 0 &&
             vorlan_i_s3_part_size >= 0);
  vorlan_i_s3_config_reset();
  free(project);
#elif defined(VORLAN_FUZZ_MIME_TYPES)
  if (failed(vorlan_i_s3_mime_types_parse(InputFile(text).path().c_str()))) {
    FUZZ_CHECK(vorlan_i_s3_mime_extensions == nullptr);
    return;
  }
  // Whatever word of the file is taken as an extension maps to one type word.
  for (size_t start = 0; (start = text.find_first_not_of(" \t\n\r", start)) != text.npos;) {
    const size_t end = std::min(text.find_first_of(" \t\n\r", start), text.size());
    const char *type = vorlan_i_s3_mime_type_get(("o." + text.substr(start, end - start)).c_str());
    FUZZ_CHECK(type == nullptr || is_word(type));
    start = end;
  }
  vorlan_hashtable_destroy_all(&vorlan_i_s3_mime_extensions, free);
  vorlan_i_s3_mime_extensions = nullptr;
#elif defined(VORLAN_FUZZ_JSON_DOCUMENTS)
  char *project = nullptr;
  vorlan_i_gcloud_credentials_t credentials;
  const bool ok = !failed(vorlan_i_gcloud_parse_token(text.c_str(), &credentials));
  // A document gives a whole key pair, a token with its subject, or both.
  FUZZ_CHECK(!ok || (credentials.key_id != nullptr) == (credentials.secret != nullptr));
  FUZZ_CHECK(!ok || credentials.secret != nullptr ||
             (credentials.token != nullptr && credentials.subject != nullptr));
  time_t when = 0;  // years 0000 to 9999, offsets below a day
  if (!failed(vorlan_i_gcloud_parse_date(text.c_str(), &when)))
    FUZZ_CHECK(when >= -62167219200 - 86400 && when < 253402300800 + 86400);
  char *unset[] = {nullptr};
  char **buckets = unset;
  if (failed(vorlan_i_s3_config_parse_buckets(nullptr, text.c_str(), "buckets", &buckets))) {
    FUZZ_CHECK(buckets == unset);
  } else {  // an empty list would refuse every bucket, no list restricts nothing
    FUZZ_CHECK(buckets == nullptr || buckets[0] != nullptr);
    vorlan_i_s3_free_bucket_list(buckets);
  }
  FUZZ_CHECK(!failed(vorlan_i_s3_config_parse_json_project(text.c_str(), &project)) ||
             project == nullptr);
  free(project);
#elif defined(VORLAN_FUZZ_PATH)
  const std::string path = text.substr(0, text.find('\0'));
  std::string split = path;
  char *bucket = nullptr, *key = nullptr;
  vorlan_i_s3_path_parse(split.data(), &bucket, &key);
  FUZZ_CHECK(std::strchr(bucket, '/') == nullptr &&
             std::string(bucket) + (key ? "/" + std::string(key) : "") ==
                 path.substr(path.starts_with("/") ? 1 : 0));
  if (failed(vorlan_i_s3_path_check(path.c_str(), bucket))) return;
  // Nothing admitted can leave its bucket or change a URL's host.
  FUZZ_CHECK(*bucket != '\0' && std::strpbrk(bucket, "?#@:%\\ ") == nullptr);
  FUZZ_CHECK(("/" + path + "/").find("/./") == std::string::npos &&
             ("/" + path + "/").find("/../") == std::string::npos);
  vorlan_i_s3_key_trim_slashes(&key);
  FUZZ_CHECK(key == nullptr || (*key != '\0' && !std::string(key).ends_with("/")));
#elif defined(VORLAN_FUZZ_S3_XML)
  vorlan_s3::error_document error, copy_error;
  const bool is_error = vorlan_s3::parse_error_document(text, &error);
  for (const auto &[name, value] : error.extra_details) {  // they hold the security token
    FUZZ_CHECK(!name.starts_with("CanonicalRequest") && !name.starts_with("StringToSign"));
  }
  vorlan_s3::bucket_page page;
  const S3Status listed = vorlan_s3::parse_bucket_page(text, &page);
  FUZZ_CHECK(listed == S3StatusOK ? !is_error
                                  : page.contents.empty() && page.common_prefixes.empty() &&
                                        page.truncated == (listed == S3StatusTruncatedEmptyPage));
  vorlan_s3::service_page service;
  if (vorlan_s3::parse_service_page(text, &service) != S3StatusOK)
    FUZZ_CHECK(service.buckets.empty() && service.owner_id.empty());
  vorlan_s3::copy_result copy;
  const S3Status copied = vorlan_s3::parse_copy_result(text, &copy, &copy_error);
  FUZZ_CHECK(is_error ? copied != S3StatusOK && copy_error.code == error.code
                      : copied != S3StatusOK || listed == S3StatusXmlParseFailure);
  vorlan_s3::parse_iso8601_time(text);
#elif defined(VORLAN_FUZZ_RESPONSE_HEADERS)
  vorlan_s3::response_headers headers;  // fed line by line, as libcurl hands them over
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size() - 1);
    headers.add_line(std::string_view(text).substr(start, end - start + 1));
  }
  const S3ResponseProperties &p = headers.properties();
  FUZZ_CHECK(headers.http_code() >= 0 && headers.http_code() <= 999);
  FUZZ_CHECK(p.contentLengthKnown == headers.content_length().has_value());
  FUZZ_CHECK(p.metaDataCount >= 0 && (p.metaDataCount == 0) == (p.metaData == nullptr));
  for (const S3NameValue &meta : std::span(p.metaData, p.metaDataCount)) {
    FUZZ_CHECK(*meta.name != '\0' && meta.value != nullptr &&
               std::none_of(meta.name, meta.name + std::strlen(meta.name),
                            [](unsigned char c) { return std::isupper(c); }));
  }
  FUZZ_CHECK(!p.eTag || vorlan_s3::etag_is_md5(p.eTag) ||
             p.usesServerSideEncryption == S3_SSE_ETAG_NOT_MD5);
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_one(std::string(reinterpret_cast<const char *>(data), size));
  return 0;
}
