// Authentication on the wire: Signature V4 checked by an independent verifier (the fake server's;
// s3rver does not check signatures), bearer tokens and project ids as Google Cloud expects them,
// and no credential in any failure's details or output. A wrong Content-MD5 is an upload fault of
// the module's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "s3_sync_calls.h"
#include "vorlan/s3.h"

namespace vorlan::test {
namespace {

constexpr const char *kKeyId = "AKIDEXAMPLE";
constexpr const char *kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";

class Authentication : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr),
              S3StatusOK);
  }
  void TearDown() override { S3_deinitialize(); }

  static FakeS3Server::Options signed_options() {
    return {
        .auth = FakeS3Server::Auth::kSigV4, .access_key_id = kKeyId, .secret_access_key = kSecret};
  }

  static S3Target signer(const FakeS3Server &server, const std::string &bucket) {
    return {.host = server.host(),
            .bucket = bucket,
            .access_key_id = kKeyId,
            .secret_access_key = kSecret};
  }
};

TEST_F(Authentication, VerifierAcceptsEverySignedRequestKind) {
  FakeS3Server server(signed_options());
  S3Target bucket = signer(server, "signed");
  ASSERT_EQ(s3_create_bucket(bucket).status, S3StatusOK);
  S3NameValue meta[] = {{"Mixed-Case", "  spaced   value  "}};
  S3PutProperties properties{};
  properties.contentType = "text/plain; charset=utf-8";
  properties.expires = -1;
  properties.metaDataCount = 1;
  properties.metaData = meta;
  const std::string key = "dir/a+b c~d%e?f#g=h&i";
  ASSERT_EQ(s3_put(bucket, key.c_str(), "signed body", {.properties = &properties}).status,
            S3StatusOK);
  EXPECT_EQ(s3_head(bucket, key.c_str()).status, S3StatusOK);
  EXPECT_EQ(s3_get(bucket, key.c_str(), {.start = 2, .count = 4}).data, "gned");
  S3CallResult list = s3_list(bucket, "dir/", "dir/a", "/", 10);
  EXPECT_EQ(list.status, S3StatusOK);
  EXPECT_EQ(list.keys, std::vector<std::string>{key});
  EXPECT_EQ(s3_copy(bucket, key.c_str(), nullptr, "copy=1").status, S3StatusOK);
  EXPECT_EQ(s3_list_service(bucket).status, S3StatusOK);
  EXPECT_EQ(s3_delete(bucket, key.c_str()).status, S3StatusOK);
  EXPECT_EQ(s3_delete(bucket, "copy=1").status, S3StatusOK);
  EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusOK);
  for (const auto &request : server.requests()) {
    SCOPED_TRACE(request.method + " " + request.target);
    EXPECT_LT(request.status, 300);
    EXPECT_EQ(request.header("authorization").rfind("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/", 0),
              0U);
    EXPECT_EQ(request.header("authorization").find("accept-encoding"), std::string::npos);
  }
}

// A refusal's details on the wire echo the request, and so its credentials: none may reach the
// caller or the output.
TEST_F(Authentication, CredentialFailuresCarryTheServicesCodeAndNoCredential) {
  FakeS3Server::Options options = signed_options();
  options.security_token = "session-token-value";
  FakeS3Server server(options);
  FakeS3Server bearer_server({.auth = FakeS3Server::Auth::kBearer, .bearer_token = "ya29.token"});
  server.create_bucket("creds");
  server.create_bucket("europe", "eu-west-1");
  server.put_object("creds", "k", std::string("v"));
  server.put_object("europe", "k", std::string("eu"));

  S3Target good = signer(server, "creds");
  good.security_token = "session-token-value";
  EXPECT_EQ(s3_get(good, "k").data, "v");
  std::string signed_headers = server.requests().back().header("authorization");
  EXPECT_NE(signed_headers.find("x-amz-security-token"), std::string::npos);

  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  // The one check of the verifier itself: a wrong key's signature is refused.
  S3Target wrong_secret = good;
  wrong_secret.secret_access_key = "wrong";
  S3CallResult mismatch = s3_get(wrong_secret, "k");
  EXPECT_EQ(mismatch.status, S3StatusErrorSignatureDoesNotMatch);
  S3Target wrong_region = good;
  wrong_region.bucket = "europe";
  S3CallResult region = s3_get(wrong_region, "k");
  EXPECT_EQ(region.status, S3StatusErrorAuthorizationHeaderMalformed);
  EXPECT_FALSE(S3_status_is_retryable(region.status));
  EXPECT_EQ(region.extra["Region"], "eu-west-1");
  // An answer without a document still tells its bucket's region.
  EXPECT_EQ(s3_head(wrong_region, nullptr).extra["Region"], "eu-west-1");
  wrong_region.region = "eu-west-1";
  EXPECT_EQ(s3_get(wrong_region, "k").data, "eu");
  // Google Cloud's 401 names a code of its own: it is still the refused token.
  S3CallResult expired =
      s3_get({.host = bearer_server.host(), .bucket = "b", .security_token = "ya29.expired"}, "k");
  EXPECT_EQ(expired.status, S3StatusHttpErrorUnauthorized);
  good.host = "127.0.0.1:1";
  S3CallResult unreachable = s3_get(good, "k");
  EXPECT_NE(unreachable.status, S3StatusOK);
  const std::string output =
      ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
  for (const std::string &details :
       {mismatch.message, region.message, expired.message, unreachable.message, output}) {
    for (const char *credential : {"session-token", "ya29", kSecret})
      EXPECT_EQ(details.find(credential), std::string::npos) << details;
  }
}

TEST_F(Authentication, BearerTokensAndProjectIdsGoOnTheWire) {
  FakeS3Server server({.auth = FakeS3Server::Auth::kBearer, .bearer_token = "ya29.token-value"});
  server.create_bucket("gcs");
  server.put_object("gcs", "k", std::string("google"));

  S3Target bearer{.host = server.host(), .bucket = "gcs", .security_token = "ya29.token-value"};
  EXPECT_EQ(s3_get(bearer, "k").data, "google");
  RecordedRequest sent = server.requests().back();
  EXPECT_EQ(sent.header("authorization"), "Bearer ya29.token-value");
  EXPECT_FALSE(sent.has_header("x-amz-date"));

  S3Target with_project = bearer;
  with_project.access_key_id = "project-77";
  with_project.bucket = "created";
  EXPECT_EQ(s3_create_bucket(with_project).status, S3StatusOK);
  EXPECT_EQ(server.requests().back().header("x-goog-project-id"), "project-77");
  S3CallResult service = s3_list_service(with_project);
  EXPECT_EQ(service.buckets, (std::vector<std::string>{"created", "gcs"}));
  EXPECT_EQ(server.requests().back().header("x-goog-project-id"), "project-77");

  S3Target project_only{.host = server.host(), .bucket = "gcs", .access_key_id = "project-77"};
  EXPECT_NE(s3_get(project_only, "k").status, S3StatusOK);
  sent = server.requests().back();
  EXPECT_EQ(sent.header("x-goog-project-id"), "project-77");
  EXPECT_FALSE(sent.has_header("authorization"));
}

}  // namespace
}  // namespace vorlan::test
