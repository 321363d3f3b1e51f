// Stat and listings when the service misbehaves, against the fake's scripted answers: pages
// that end oddly, requests retried after they had delivered what they found, failures after
// partial batches, and the service's bucket listing failing or refused.
#include <dlfcn.h>

#include <cstdarg>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "stat_capture.h"

namespace {

std::vector<std::string> host_warnings;

// Calls that hand the module what they found and then fail as a cut connection would, so the
// module repeats them: the n-th list or head call (1-based; 0 = none).
struct {
  int list_at = 0, head_at = 0, lists = 0, heads = 0;
} flaky;

struct FlakyCall {
  const S3ResponseHandler *handler;
  S3ListBucketCallback *list;
  void *data;
  bool fail;
};

S3Status flaky_properties(const S3ResponseProperties *properties, void *data) {
  auto *call = static_cast<FlakyCall *>(data);
  return call->handler->propertiesCallback(properties, call->data);
}

void flaky_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  auto *call = static_cast<FlakyCall *>(data);
  if (status == S3StatusOK && call->fail) status = S3StatusTransportConnectionReset;
  call->handler->completeCallback(status, details, call->data);
}

S3Status flaky_list(int truncated, const char *marker, int count,
                    const S3ListBucketContent *contents, int prefix_count, const char **prefixes,
                    void *data) {
  auto *call = static_cast<FlakyCall *>(data);
  return call->list(truncated, marker, count, contents, prefix_count, prefixes, call->data);
}

template <class Function>
Function *real(const char *name) {
  return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" void S3_list_bucket(const S3BucketContext *context, const char *prefix,
                               const char *marker, const char *delimiter, int maxkeys,
                               S3RequestContext *request, int timeout,
                               const S3ListBucketHandler *handler, void *data) {
  FlakyCall call{&handler->responseHandler, handler->listBucketCallback, data,
                 ++flaky.lists == flaky.list_at};
  const S3ListBucketHandler wrapped = {{flaky_properties, flaky_complete}, flaky_list};
  real<decltype(S3_list_bucket)>("S3_list_bucket")(context, prefix, marker, delimiter, maxkeys,
                                                   request, timeout, &wrapped, &call);
}

extern "C" void S3_head_object(const S3BucketContext *context, const char *key,
                               S3RequestContext *request, int timeout,
                               const S3ResponseHandler *handler, void *data) {
  FlakyCall call{handler, nullptr, data, ++flaky.heads == flaky.head_at};
  const S3ResponseHandler wrapped = {flaky_properties, flaky_complete};
  real<decltype(S3_head_object)>("S3_head_object")(context, key, request, timeout, &wrapped, &call);
}

extern "C" void vorlan_gfs_log_message(int level, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  host_warnings.push_back(std::to_string(level) + " " + text);
}

namespace vorlan::test {
namespace {

void no_sleep(unsigned long) {}

std::string page(const std::vector<std::string> &keys, const std::vector<std::string> &prefixes,
                 bool truncated, const std::string &next_marker = "") {
  std::string xml = "<ListBucketResult><Name>b</Name><IsTruncated>" +
                    std::string(truncated ? "true" : "false") + "</IsTruncated>";
  if (!next_marker.empty()) xml += "<NextMarker>" + next_marker + "</NextMarker>";
  for (const std::string &key : keys) {
    xml += "<Contents><Key>" + key +
           "</Key><LastModified>2024-01-02T03:04:05.000Z</LastModified><ETag>\"e\"</ETag>"
           "<Size>7</Size></Contents>";
  }
  for (const std::string &prefix : prefixes) {
    xml += "<CommonPrefixes><Prefix>" + prefix + "</Prefix></CommonPrefixes>";
  }
  return xml + "</ListBucketResult>";
}

class StatFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
    vorlan_i_s3_sleep_us = no_sleep;
    flaky = {};
    host_warnings.clear();
  }
  void TearDown() override {
    vorlan_i_s3_sleep_us = vorlan_libc_usleep;
    S3_deinitialize();
  }
  // A Google Cloud session of the project p-1 with a token.
  HandlePtr session() {
    HandlePtr handle = make_handle(server_.host());
    handle->gcloud = true;
    handle->key_id = strdup("p-1");
    handle->default_key_pair.key_id = handle->key_id;
    handle->access_token = strdup("token");
    handle->security_token = handle->access_token;
    return handle;
  }
  // Pages answer the listing's GETs in turn; the placeholder d/ is missing.
  void script(const std::vector<std::string> &pages) {
    server_.add_fault(FakeS3Fault::error(404, "").on("HEAD").times(-1));
    for (const std::string &body : pages) server_.add_fault(FakeS3Fault::raw(200, body).on("GET"));
  }
  std::vector<std::string> page_queries() const {
    std::vector<std::string> queries;
    for (const RecordedRequest &request : server_.requests()) {
      if (request.method == "GET") queries.push_back(request.query);
    }
    return queries;
  }

  FakeS3Server server_;
};

TEST_F(StatFaults, PagesContinueFromWhatTheyShowAndNeverLoop) {
  std::vector<std::string> forty;
  for (int i = 10; i < 50; ++i) forty.push_back("d/k" + std::to_string(i));
  struct Case {
    const char *label;
    std::vector<std::string> pages;
    bool then_unavailable;  // the pages are followed by 503 answers
    const char *names;
    std::vector<int> reports;
    size_t page_requests;
    const char *error;         // part of the error's text, null for success
    const char *second_query;  // part of the second page request's query
  };
  const std::vector<Case> cases = {
      {"truncated without a marker",
       {page({"d/a", "d/b"}, {"d/p/"}, true), page({"d/q"}, {}, false)},
       false,
       ". a b p/ q",
       {5},
       2,
       nullptr,
       "marker=d%2Fp%2F"},
      {"marker that does not advance",
       {page({"d/a"}, {}, true, "d/a"), page({"d/b"}, {}, true, "d/a")},
       false,
       ". a b",
       {3},
       2,
       "does not advance past \"d/a\"",
       "marker=d%2Fa"},
      {"truncated page with nothing to continue from",
       {page({}, {}, true)},
       false,
       "",
       {0},
       1,
       "Error",
       nullptr},
      {"failure after partial batches",
       {page(forty, {}, true, "d/k49")},
       true,
       nullptr,
       {32, 9},
       3,
       "ServiceUnavailable",
       "marker=d%2Fk49"},
  };
  HandlePtr handle = session();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server_.clear_faults();
    server_.clear_requests();
    script(c.pages);
    if (c.then_unavailable) {
      server_.add_fault(FakeS3Fault::error(503, "ServiceUnavailable").on("GET").times(-1));
    }
    StatRun run;
    run_stat(handle.get(), "/b/d", false, &run);
    if (c.names != nullptr) {
      EXPECT_EQ(run.names(), c.names);
    }
    EXPECT_EQ(run.reports, c.reports);
    EXPECT_EQ(run.result == VORLAN_SUCCESS, c.error == nullptr) << run.text;
    if (c.error != nullptr) {
      EXPECT_NE(run.text.find(c.error), std::string::npos) << run.text;
    }
    const std::vector<std::string> queries = page_queries();
    ASSERT_EQ(queries.size(), c.page_requests);
    if (c.second_query != nullptr) {
      EXPECT_NE(queries[1].find(c.second_query), std::string::npos) << queries[1];
    }
  }
}

TEST_F(StatFaults, RepeatedRequestsReportEachNameOnce) {
  struct Case {
    const char *path;
    bool file_only;
    int list_at, head_at;
    const char *names;
  };
  const std::vector<Case> cases = {
      {"/b/d", false, 1, 1, ". a p/"},  // the placeholder and the page
      {"/b/f", false, 0, 2, "f"},       // the key itself after an empty listing
      {"/b/f", true, 0, 1, "f"},
      {"/b/d", true, 0, 2, "."},  // the placeholder of a stat
  };
  HandlePtr handle = session();
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.file_only ? " (stat)" : " (ls)"));
    server_.clear_faults();
    server_.add_fault(FakeS3Fault::error(404, "").on("HEAD", "b", "f/").times(-1));
    server_.add_fault(FakeS3Fault::error(404, "").on("HEAD", "b", "d").times(-1));
    server_.add_fault(FakeS3Fault::raw(200, "").on("HEAD").times(-1));
    const bool directory = std::string(c.path) == "/b/d";
    server_.add_fault(
        FakeS3Fault::raw(
            200,
            page(directory ? std::vector<std::string>{"d/", "d/a"} : std::vector<std::string>{},
                 directory ? std::vector<std::string>{"d/p/"} : std::vector<std::string>{}, false))
            .on("GET")
            .times(-1));
    flaky = {c.list_at, c.head_at, 0, 0};
    StatRun run;
    run_stat(handle.get(), c.path, c.file_only, &run);
    EXPECT_EQ(run.result, VORLAN_SUCCESS) << run.text;
    EXPECT_EQ(run.names(), c.names);
  }
}

TEST_F(StatFaults, RootListingFailsOnlyForWhatIsNotADenial) {
  const std::string buckets =
      "<ListAllMyBucketsResult><Owner><ID>o</ID></Owner><Buckets>"
      "<Bucket><Name>b1</Name><CreationDate>2020-01-02T03:04:05.000Z</CreationDate></Bucket>"
      "<Bucket><Name>b2</Name><CreationDate>2021-01-02T03:04:05.000Z</CreationDate></Bucket>"
      "</Buckets></ListAllMyBucketsResult>";
  enum Session { kProject, kNoProject, kAllowList };
  struct Case {
    const char *label;
    Session session;
    std::optional<FakeS3Fault> answer;
    const char *names;
    int code;  // 0: success
    const char *text;
    size_t requests;
    bool warned;
  };
  const std::vector<Case> cases = {
      {"account listed", kProject, FakeS3Fault::raw(200, buckets), ". b1/ b2/", 0, "", 1, false},
      {"denied", kProject, FakeS3Fault::error(403, "AccessDenied"), ".", 0, "", 1, true},
      {"unavailable", kProject, FakeS3Fault::error(503, "ServiceUnavailable"), ".", 451,
       "ServiceUnavailable", 2, false},
      {"no project", kNoProject, std::nullopt, "", 550,
       "Bucket listing is not allowed on this collection: Known buckets may be accessed directly "
       "via /bucketname/",
       0, false},
      {"allow list", kAllowList, std::nullopt, ". a/ b/", 0, "", 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server_.clear_faults();
    server_.clear_requests();
    host_warnings.clear();
    if (c.answer) server_.add_fault(FakeS3Fault(*c.answer).on("GET").times(-1));
    HandlePtr handle = session();
    if (c.session == kNoProject) {
      std::free(handle->key_id);
      handle->key_id = nullptr;
      handle->default_key_pair.key_id = nullptr;
    }
    if (c.session == kAllowList) allow_buckets(handle.get(), R"({"buckets": ["a", "b"]})");
    CapturedLog log(VORLAN_S3_DEBUG_ERROR);
    StatRun run;
    run_stat(handle.get(), "/", false, &run);
    EXPECT_EQ(run.names(), c.names);
    EXPECT_EQ(run.code, c.code) << run.text;
    EXPECT_NE(run.text.find(c.text), std::string::npos) << run.text;
    EXPECT_EQ(server_.request_count(), c.requests);
    if (c.answer && c.code == 0 && !c.warned) {
      EXPECT_EQ(run.entries[1].ctime, 1577934245);
    }
    EXPECT_EQ(host_warnings,
              c.warned
                  ? std::vector<std::string>{"2 Directory listing had an error. The user "
                                             "credetials likely could not list S3 buckets 68\n"}
                  : std::vector<std::string>{});
    EXPECT_EQ(log.take().find("Directory listing had an error") != std::string::npos, c.warned);
  }
}

}  // namespace
}  // namespace vorlan::test
