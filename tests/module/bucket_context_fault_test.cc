// Building a request's bucket context: the allow list, the token copy, and for AWS endpoints
// the region table and the HeadBucket lookup of the bucket's region, its retries and its
// cache, against the fake.
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "host_log_capture.h"
#include "module_session.h"
#include "module_test_hooks.h"

namespace {

using vorlan::test::FakeS3Fault;
using vorlan::test::FakeS3Server;

using Handle = vorlan::test::HandlePtr;

// A session on `host`, signing for the host's own region, with a token.
Handle make_handle(const std::string &host) {
  Handle handle = vorlan::test::make_handle(host);
  const char *region = vorlan_i_host_to_region(handle->host_name);
  handle->region = region ? strdup(region) : nullptr;
  handle->access_token = strdup("the-token");
  handle->security_token = handle->access_token;
  return handle;
}

struct Context {
  S3BucketContext context{};
  ~Context() { vorlan_i_s3_bucket_context_release(&context); }
};

std::vector<unsigned long> sleeps;
void record_sleep(unsigned long usec) { sleeps.push_back(usec); }

class BucketContext : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
    vorlan_i_s3_region_cache_clear();
    env_->region_lookup_host = lookup_host_.c_str();
    env_->sleep_us = record_sleep;
    sleeps.clear();
  }
  void TearDown() override {
    vorlan_i_s3_max_retries = 1;
    vorlan_i_s3_region_cache_clear();
    S3_deinitialize();
  }
  // "<host> <signing region>" of a request for `bucket`, whose context is built and released.
  std::string endpoint(vorlan_i_s3_handle_t *handle, const std::string &bucket) {
    Context built;
    const std::string path = "/" + bucket + "/key";
    EXPECT_EQ(
        vorlan_i_s3_bucket_context(handle, nullptr, path.c_str(), bucket.c_str(), &built.context),
        VORLAN_SUCCESS);
    EXPECT_STREQ(built.context.bucketName, bucket.c_str());
    const char *region = built.context.authRegion;
    return vorlan_i_s3_str(built.context.hostName) + std::string(" ") + (region ? region : "-");
  }
  size_t heads() const { return server_.count("HEAD"); }

  vorlan::test::ScopedEnv env_;
  FakeS3Server server_;
  std::string lookup_host_ = server_.host();
};

// The bucket's region picks its endpoint of the session's kind, once: the second request comes
// from the cache. A region the table does not know (or an overlong one, which is not copied and
// so named empty) keeps the session's endpoint, with a warning in the host's log. HeadBucket's
// attempts are bounded and back off; a failed lookup is no error, and is not cached.
TEST_F(BucketContext, ChoosesTheBucketRegionsEndpointOfTheSessionsKind) {
  const std::string long_region(64, 'r');
  // A lookup's session, and its endpoint when the lookup fails or succeeds.
  const char *const east = "s3.us-east-1.amazonaws.com",
                    *const failed = "s3.us-east-1.amazonaws.com us-east-1",
                    *const found = "s3.ap-south-1.amazonaws.com ap-south-1";
  struct Case {
    const char *session_host;
    std::string bucket_region;
    const char *endpoint;
    const char *warned = nullptr;  // the region the warning names
    // `failures` HEAD answers of `status` (-1: always) naming the region, which only a redirect's
    // counts, under `max_retries`; the HEADs and back-offs of both requests.
    int failures = 0, status = 503, max_retries = 1;
    size_t heads = 1, sleeps = 0;
  };
  const std::vector<Case> cases = {
      {"s3.amazonaws.com", "eu-west-1", "s3.eu-west-1.amazonaws.com eu-west-1"},
      {"s3-fips.dualstack.us-west-2.amazonaws.com", "us-east-2",
       "s3-fips.dualstack.us-east-2.amazonaws.com us-east-2"},
      {"s3.dualstack.us-east-1.amazonaws.com", "eu-west-1",
       "s3.dualstack.eu-west-1.amazonaws.com eu-west-1"},
      {"s3-fips.us-east-1.amazonaws.com", "eu-west-1", "s3.eu-west-1.amazonaws.com eu-west-1"},
      {"s3-fips.us-east-1.amazonaws.com", "us-gov-west-1",
       "s3-fips.us-gov-west-1.amazonaws.com us-gov-west-1"},
      {"s3.us-west-1.amazonaws.com", "cn-north-1", "s3.cn-north-1.amazonaws.com.cn cn-north-1"},
      {"s3.eu-west-2.amazonaws.com", "mars-north-1", "s3.eu-west-2.amazonaws.com eu-west-2",
       "mars-north-1"},
      {"s3.eu-west-2.amazonaws.com", long_region, "s3.eu-west-2.amazonaws.com eu-west-2", ""},
      {east, "ap-south-1", failed, nullptr, -1, 503, 0, 2},
      {east, "ap-south-1", failed, nullptr, -1, 503, 3, 8, 6},
      {east, "ap-south-1", found, nullptr, 2, 503, 3, 3, 2},
      {east, "ap-south-1", found, nullptr, -1, 301, 0, 1},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.session_host) + " -> " + c.bucket_region + " failures " +
                 std::to_string(c.failures));
    const std::string bucket = "bucket-" + std::to_string(n++);
    server_.create_bucket(bucket, c.bucket_region);
    server_.clear_faults();
    if (c.failures != 0) {
      server_.add_fault(FakeS3Fault::error(c.status, "")
                            .with_header("x-amz-bucket-region", c.bucket_region)
                            .on("HEAD")
                            .times(c.failures));
    }
    vorlan_i_s3_max_retries = c.max_retries;
    sleeps.clear();
    host_log.clear();
    Handle handle = make_handle(c.session_host);
    EXPECT_EQ(endpoint(handle.get(), bucket), c.endpoint);
    EXPECT_EQ(endpoint(handle.get(), bucket), c.endpoint);
    EXPECT_EQ(heads(), c.heads) << "a found region's second request must come from the cache";
    EXPECT_EQ(sleeps.size(), c.sleeps) << "every retry backs off";
    server_.clear_requests();
    const std::string warning =
        "2 HeadBucket returned an unrecognized region.  Continuing with default region.  endpoint: "
        "s3.eu-west-2.amazonaws.com, bucket: " +
        bucket + ", region: " + vorlan_i_s3_str(c.warned);
    EXPECT_EQ(host_log, c.warned ? std::vector{warning + "\n"} : std::vector<std::string>{});
  }
  // Only AWS endpoints look regions up: a session on another endpoint must not be sent (with its
  // token) to the AWS host cached for the bucket.
  Handle google = make_handle("storage.googleapis.com");
  EXPECT_EQ(endpoint(google.get(), "bucket-0"), "storage.googleapis.com -");
  EXPECT_EQ(endpoint(google.get(), "other"), "storage.googleapis.com -");
  EXPECT_EQ(heads(), 0u);
}

// The token each request sends, its own copy, is checked on the wire below and under the
// address and thread checkers by the concurrency tests.
TEST_F(BucketContext, RefusesBeforeAnyRequest) {
  Handle handle = make_handle("storage.googleapis.com");
  char allowed[] = "allowed";
  char *list[] = {allowed, nullptr};
  char *empty[] = {nullptr};
  struct Case {
    char **allow_list;
    const char *path, *bucket, *text;
  };
  for (const Case &c : std::vector<Case>{
           {list, "/other/k", "other", "Vorlan-S3-Error: Bucket not allowed."},
           {empty, "/allowed/k", "allowed", "Vorlan-S3-Error: Bucket not allowed."},
           {list, "/allowed/../other/k", "allowed", "Vorlan-S3-Error: Path not allowed."}}) {
    SCOPED_TRACE(c.path);
    handle->allowed_buckets = c.allow_list;
    S3BucketContext refused{};
    vorlan_result_t result =
        vorlan_i_s3_bucket_context(handle.get(), nullptr, c.path, c.bucket, &refused);
    ASSERT_NE(result, VORLAN_SUCCESS);
    const vorlan_object_t *error = vorlan_error_peek(result);
    EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), 550);
    EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), "PERMISSION_DENIED");
    EXPECT_NE(vorlan::test::error_text(result).find(c.text), std::string::npos);
    EXPECT_EQ(refused.securityToken, nullptr);
    vorlan_error_release(result);
  }
  handle->allowed_buckets = nullptr;
  EXPECT_EQ(server_.request_count(), 0u);
}

// Requests of the loaded module whose token changes: a download that outlives its token resumes
// with the session's current one; a token refused with 401 (Google Cloud's answer to one that is
// invalid or has expired) is renewed once, and refused again or not renewed it is the client's
// 530 LOGIN_DENIED.
TEST(TokenPerAttempt, EachAttemptCarriesTheSessionsCurrentToken) {
  FakeS3Server server;
  const std::string data(1 << 20, 'd');
  server.create_bucket("b");
  server.put_object("b", "k", data);
  auto document = [](const std::string &token, bool expired) {
    return vorlan::test::token_document(token, expired ? 946684800 : 4070908800);
  };
  struct Case {
    const char *label;
    bool expired;  // the first token's life has ended: every attempt asks for a renewal
    std::optional<std::string> renewal;
    int refusals;                   // 401 answers before the real ones
    bool stat;                      // a stat (HEAD) instead of a download
    std::vector<std::string> sent;  // the token of each request
    int code = 0;
  };
  const std::vector<Case> cases = {
      {"token changed between a reset and the resume", true, "t1", 0, false, {"t1", "t2"}},
      {"refused, renewed once", false, "t2", 1, false, {"t1", "t2"}},
      {"refused again after the renewal", false, "t3", 2, false, {"t1", "t3"}, 530},
      {"refused without a renewal", false, std::nullopt, 1, true, {"t1"}, 530},
  };
  std::mutex lock;
  std::optional<std::string> renewed;  // what the host renews with
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server.clear_requests();
    server.add_fault(FakeS3Fault::error(401, "AuthenticationRequired").times(c.refusals));
    // The reset comes as the token expires: from then on the host renews with t2.
    server.add_fault(FakeS3Fault::reset_after(300000).on("GET").times(c.expired ? 1 : 0).then([&] {
      std::lock_guard<std::mutex> guard(lock);
      renewed = document("t2", true);
    }));
    renewed = c.renewal ? std::optional(document(*c.renewal, c.expired)) : std::nullopt;
    vorlan::host::SessionDocuments documents;
    documents.creds = document("t1", c.expired);
    documents.provider = [&](const std::string &key) -> std::optional<std::string> {
      std::lock_guard<std::mutex> guard(lock);
      return key == "renew-creds" ? renewed : std::nullopt;
    };
    vorlan::test::ModuleSession module(server.host(), "", "", std::chrono::minutes(2), documents);
    vorlan::host::MemorySink sink;
    vorlan::host::TransferInfo info;
    info.pathname = "/b/k";
    const vorlan::host::Reply reply =
        c.stat ? module.host().stat(module.session(), "/b/k", true).reply
               : module.host().send(module.session(), info, {}, sink).reply;
    EXPECT_EQ(reply.code, c.code) << reply.text;
    EXPECT_EQ(reply.error_type, c.code == 0 ? "" : "LOGIN_DENIED");
    EXPECT_EQ(sink.contents() == data, c.code == 0 && !c.stat);
    std::vector<std::string> sent;
    for (const auto &request : server.requests()) sent.push_back(request.header("authorization"));
    for (std::string &token : sent) token.erase(0, std::string("Bearer ").size());
    EXPECT_EQ(sent, c.sent);
  }
}

// The AWS region table as session start and the bucket context see it: every published S3
// endpoint name maps back to its own region, and nothing else maps anywhere. The regions are
// written out apart from the module's table, from AWS's published endpoint names; only the first
// seven, in the US and Canada, have FIPS endpoints.
TEST(RegionTable, EveryEndpointMapsBackToItsOwnRegionAndNothingElseMaps) {
  const char *const regions[] = {
      "us-east-2",      "us-east-1",      "us-west-1",      "us-west-2",      "ca-central-1",
      "us-gov-east-1",  "us-gov-west-1",  "af-south-1",     "ap-east-1",      "ap-south-2",
      "ap-southeast-3", "ap-southeast-4", "ap-south-1",     "ap-northeast-3", "ap-northeast-2",
      "ap-southeast-1", "ap-southeast-2", "ap-northeast-1", "eu-central-1",   "eu-west-1",
      "eu-west-2",      "eu-south-1",     "eu-west-3",      "eu-north-1",     "eu-south-2",
      "eu-central-2",   "sa-east-1",      "me-south-1",     "me-central-1",   "il-central-1",
      "cn-north-1",     "cn-northwest-1"};
  for (size_t i = 0; i < std::size(regions); ++i) {
    const std::string region = regions[i];
    const std::string domain = region.starts_with("cn-") ? ".amazonaws.com.cn" : ".amazonaws.com";
    for (const std::string kind : {"s3.", "s3.dualstack.", "s3-fips.", "s3-fips.dualstack."}) {
      if (kind.starts_with("s3-fips") && i >= 7) continue;
      const std::string endpoint = kind + region + domain;
      EXPECT_STREQ(vorlan_i_host_to_region(endpoint.c_str()), region.c_str()) << endpoint;
    }
  }
  EXPECT_STREQ(vorlan_i_host_to_region("s3.amazonaws.com"), "us-east-1");
  // The comparison is exact, and eu-west-1 has no FIPS endpoint.
  for (const char *host : {"storage.googleapis.com", "S3.EU-WEST-1.AMAZONAWS.COM",
                           "s3-fips.eu-west-1.amazonaws.com", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(vorlan_i_host_to_region(host), nullptr) << vorlan_i_s3_str(host);
  }
}

}  // namespace
