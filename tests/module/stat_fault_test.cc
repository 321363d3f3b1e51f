// Stat and listings when the service misbehaves, against the fake's scripted answers: pages
// that end oddly, requests repeated after they had delivered what they found, failures after
// partial batches, and the root listing failing or refused.
#include <dlfcn.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "host_log_capture.h"
#include "stat_capture.h"

namespace {

// The n-th list or head call (1-based; 0 = none) hands the module what it found and then
// fails as a cut connection would, so the module repeats it.
struct {
  int list_at, head_at, lists, heads;
  bool failing;
  S3ResponseCompleteCallback *complete;
} flaky;

void flaky_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  if (status == S3StatusOK && flaky.failing) status = S3StatusTransportConnectionReset;
  flaky.complete(status, details, data);
}

// The wrappers below count the calls and put flaky_complete between the library and the module.
void flaky_wrap(S3ResponseCompleteCallback **complete, int calls, int at) {
  flaky.failing = calls == at;
  flaky.complete = *complete;
  *complete = flaky_complete;
}

}  // namespace

extern "C" void S3_list_bucket(const S3BucketContext *context, const char *prefix,
                               const char *marker, const char *delimiter, int maxkeys,
                               S3RequestContext *request, int timeout,
                               const S3ListBucketHandler *handler, void *data) {
  S3ListBucketHandler wrapped = *handler;
  flaky_wrap(&wrapped.responseHandler.completeCallback, ++flaky.lists, flaky.list_at);
  reinterpret_cast<decltype(&S3_list_bucket)>(dlsym(RTLD_NEXT, "S3_list_bucket"))(
      context, prefix, marker, delimiter, maxkeys, request, timeout, &wrapped, data);
}

extern "C" void S3_head_object(const S3BucketContext *context, const char *key,
                               S3RequestContext *request, int timeout,
                               const S3ResponseHandler *handler, void *data) {
  S3ResponseHandler wrapped = *handler;
  flaky_wrap(&wrapped.completeCallback, ++flaky.heads, flaky.head_at);
  reinterpret_cast<decltype(&S3_head_object)>(dlsym(RTLD_NEXT, "S3_head_object"))(
      context, key, request, timeout, &wrapped, data);
}

namespace vorlan::test {
namespace {

void no_sleep(unsigned long) {}

std::string page(const std::vector<std::string> &keys, const std::vector<std::string> &prefixes,
                 bool truncated, const std::string &next_marker = "") {
  std::string xml = "<ListBucketResult><IsTruncated>" + std::string(truncated ? "true" : "false") +
                    "</IsTruncated>";
  if (!next_marker.empty()) xml += "<NextMarker>" + next_marker + "</NextMarker>";
  for (const std::string &key : keys)
    xml += "<Contents><Key>" + key + "</Key><LastModified>2024-01-02T03:04:05.000Z</LastModified>" +
           "<ETag>\"e\"</ETag><Size>7</Size></Contents>";
  for (const std::string &prefix : prefixes)
    xml += "<CommonPrefixes><Prefix>" + prefix + "</Prefix></CommonPrefixes>";
  return xml + "</ListBucketResult>";
}

class StatFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
    env_->sleep_us = no_sleep;
  }
  void TearDown() override { S3_deinitialize(); }
  // A Google Cloud session, by default of the project p-1 with a token. Each case starts afresh.
  HandlePtr session(bool project = true, bool token = true) {
    server_.clear_faults();
    server_.clear_requests();
    flaky = {};
    host_log.clear();
    HandlePtr handle = make_handle(server_.host());
    handle->gcloud = true;
    handle->default_key_pair.key_id = handle->key_id = project ? strdup("p-1") : nullptr;
    handle->access_token = handle->security_token = token ? strdup("token") : nullptr;
    return handle;
  }

  ScopedEnv env_;
  FakeS3Server server_;
};

TEST_F(StatFaults, ListingsSurviveOddPagesAndRepeatedRequests) {
  std::vector<std::string> forty;
  for (int i = 10; i < 50; ++i) forty.push_back("d/k" + std::to_string(i));
  // Answers to a listing's GETs in turn; 503s follow them.
  const std::vector<std::string> later = {page({"d/a", "d/b"}, {"d/p/"}, true),
                                          page({"d/q"}, {}, false)},
                                 key_later = {page({"d/q"}, {"d/p/"}, true),
                                              page({"d/r"}, {}, false)},
                                 stuck = {page({"d/a"}, {}, true, "d/a"),
                                          page({"d/b"}, {}, true, "d/a")},
                                 nothing = {page({}, {}, true)},
                                 partial = {page(forty, {}, true, "d/k49")},
                                 dir = {2, page({"d/", "d/a"}, {"d/p/"}, false)},
                                 empty = {page({}, {}, false)},
                                 slashes = {page({"d/a"}, {"d//"}, false)}, lost_first = {"404"},
                                 lost_later = {page({"d/a"}, {}, true), "404"}, none;
  struct Case {
    const char *label, *path;
    bool file_only;
    const std::vector<std::string> &pages;
    int list_at, head_at;  // which call delivers what it found and then fails
    // The names (null: not checked), each report's record count, part of the error's text (null
    // for success) and part of the second GET's query.
    const char *names, *reports, *error, *second_query;
  };
  const std::vector<Case> cases = {
      {"truncated without a marker: from the later of key and prefix", "/b/d", false, later, 0, 0,
       ". a b p/ q", "5", nullptr, "marker=d%2Fp%2F"},
      {"truncated without a marker: the key sorts last", "/b/d", false, key_later, 0, 0, ". q p/ r",
       "4", nullptr, "marker=d%2Fq"},
      {"marker that does not advance", "/b/d", false, stuck, 0, 0, ". a b", "3",
       "does not advance past \"d/a\"", "marker=d%2Fa"},
      {"truncated, nothing to continue from", "/b/d", false, nothing, 0, 0, ".", "1",
       "TruncatedEmptyPage", nullptr},
      {"failure after partial batches is the final result", "/b/d", false, partial, 0, 0, nullptr,
       "32 9", "ServiceUnavailable", "marker=d%2Fk49"},
      {"a subdirectory without a name is dropped", "/b/d", false, slashes, 0, 0, ". a", "2",
       nullptr, nullptr},
      {"placeholder and page repeated", "/b/d", false, dir, 1, 1, ". a p/", "3", nullptr, nullptr},
      {"file after an empty listing repeated", "/b/f", false, empty, 0, 2, "f", "1", nullptr,
       nullptr},
      {"file repeated", "/b/f", true, none, 0, 1, "f", "1", nullptr, nullptr},
      {"placeholder repeated", "/b/d", true, none, 0, 2, ".", "1", nullptr, nullptr},
      {"first page answered by a bare 404", "/b/d", false, lost_first, 0, 0, ".", "1",
       "PATH_NOT_FOUND", nullptr},
      {"later page answered by a bare 404", "/b/d", false, lost_later, 0, 0, ". a", "2",
       "PATH_NOT_FOUND", "marker=d%2Fa"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    HandlePtr handle = session();
    for (const char *missing : {"f/", "d"})
      server_.add_fault(FakeS3Fault::error(404, "").on("HEAD", "b", missing).times(-1));
    server_.add_fault(FakeS3Fault::raw(200, "").on("HEAD").times(-1));
    for (const std::string &body : c.pages)
      server_.add_fault(body == "404" ? FakeS3Fault::error(404, "").on("GET")
                                      : FakeS3Fault::raw(200, body).on("GET"));
    server_.add_fault(FakeS3Fault::error(503, "ServiceUnavailable").on("GET").times(-1));
    flaky.list_at = c.list_at;
    flaky.head_at = c.head_at;
    StatRun run;
    run_stat(handle.get(), c.path, c.file_only, &run);
    EXPECT_EQ(c.names ? run.names() : "", vorlan_i_s3_str(c.names));
    EXPECT_EQ(run.reports, c.reports);
    EXPECT_EQ(run.result == VORLAN_SUCCESS, c.error == nullptr) << run.text;
    EXPECT_NE(run.text.find(c.error != nullptr ? c.error : ""), std::string::npos) << run.text;
    std::vector<std::string> queries;
    for (const RecordedRequest &request : server_.requests())
      if (request.method == "GET") queries.push_back(request.query);
    if (c.second_query != nullptr) {
      ASSERT_GE(queries.size(), 2u);
      EXPECT_NE(queries[1].find(c.second_query), std::string::npos) << queries[1];
    }
  }
}

TEST_F(StatFaults, RootListingFailsOnlyForWhatIsNotADenial) {
  const std::string buckets =
      "<ListAllMyBucketsResult><Owner><ID>o</ID></Owner><Buckets>"
      "<Bucket><Name>b1</Name><CreationDate>2020-01-02T03:04:05.000Z</CreationDate></Bucket>"
      "<Bucket><Name>b2</Name><CreationDate>2021-01-02T03:04:05.000Z</CreationDate></Bucket>"
      "</Buckets></ListAllMyBucketsResult>";
  enum Session { kProject, kNoProject, kAllowList, kAnonymous };
  struct Case {
    const char *label;
    Session session;
    const char *path;
    std::optional<FakeS3Fault> answer;
    const char *names;
    int code;  // 0: success
    const char *text;
    size_t requests;
  };
  const std::vector<Case> cases = {
      {"account listed", kProject, "/", FakeS3Fault::raw(200, buckets), ". b1/ b2/", 0, "", 1},
      {"denied", kProject, "/", FakeS3Fault::error(403, "AccessDenied"), ".", 0, "", 1},
      {"unavailable", kProject, "/", FakeS3Fault::error(503, "ServiceUnavailable"), ".", 451,
       "ServiceUnavailable", 2},
      {"no project", kNoProject, "/", std::nullopt, "", 550,
       "Bucket listing is not allowed on this collection: Known buckets may be accessed directly "
       "via /bucketname/",
       0},
      {"allow list", kAllowList, "/", std::nullopt, ". a/ b/", 0, "", 0},
      {"bucket not allowed", kAllowList, "/c", std::nullopt, "", 550, "Bucket not allowed", 0},
      {"no credentials", kAnonymous, "/", std::nullopt, ".", 0, "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    HandlePtr handle =
        session(c.session != kNoProject && c.session != kAnonymous, c.session != kAnonymous);
    if (c.answer) server_.add_fault(FakeS3Fault(*c.answer).on("GET").times(-1));
    if (c.session == kAllowList) {
      ASSERT_EQ(vorlan_i_s3_config_parse_buckets(nullptr, R"({"buckets": ["a", "b"]})", "buckets",
                                                 &handle->allowed_buckets),
                VORLAN_SUCCESS);
    }
    CapturedLog log(VORLAN_S3_DEBUG_ERROR);
    StatRun run;
    run_stat(handle.get(), c.path, false, &run);
    EXPECT_EQ(run.names(), c.names);
    EXPECT_EQ(run.code, c.code) << run.text;
    EXPECT_NE(run.text.find(c.text), std::string::npos) << run.text;
    EXPECT_EQ(server_.request_count(), c.requests);
    const bool denied = std::string(c.label) == "denied";
    const std::string warning =
        "2 Directory listing had an error. The user credetials likely could not list S3 buckets "
        "68\n";
    EXPECT_EQ(host_log, denied ? std::vector{warning} : std::vector<std::string>{});
    EXPECT_EQ(log.take().find("Directory listing had an error") != std::string::npos, denied);
    EXPECT_EQ(c.code == 0 && c.answer && !denied ? run.entries[1].ctime : 1577934245, 1577934245);
  }
}

// A size the answer does not state is unknown, not 0: Google Cloud leaves Content-Length out of
// a gzip-stored object's HEAD answer unless asked as a GET asks, and states its stored length.
TEST_F(StatFaults, ObjectSizeIsTheStatedOneOrAFailure) {
  server_.create_bucket("b");
  server_.put_object("b", "f", std::string(1000, 'x'));
  for (const bool file_only : {true, false}) {
    for (const std::string stored : {"1000", ""}) {
      SCOPED_TRACE(stored + (file_only ? ", file only" : ""));
      HandlePtr handle = session();
      FakeS3Fault head = FakeS3Fault::real_answer().unmeasured().on("HEAD", "b", "f");
      server_.add_fault(stored.empty() ? head
                                       : head.with_header("x-goog-stored-content-length", stored));
      StatRun run;
      run_stat(handle.get(), "/b/f", file_only, &run);
      const std::string seen = run.entries.empty() ? run.text : std::to_string(run.entries[0].size);
      EXPECT_NE(seen.find(stored.empty() ? "did not state the size" : "1000"), std::string::npos);
      EXPECT_EQ(server_.requests().back().header("accept-encoding"), "gzip");
    }
  }
}

}  // namespace
}  // namespace vorlan::test
