// Addressing: what goes on the wire for keys, query values and bucket names in both styles,
// and that no bucket text can redirect a request.
#include <gtest/gtest.h>

#include <string>

#include "library_state.h"
#include "s3_sync_calls.h"
#include "uri.h"
#include "vorlan/s3.h"

namespace {

// Keys on the wire are checked against the fake server; query values and key lengths here.
TEST(Uri, TargetsInBothStyles) {
  const vorlan_s3::query_params listing = {
      {"prefix", "a/b c+~$"}, {"max-keys", "5"}, {"delimiter", "/"}, {"marker", "m#1=&\t"}};
  const std::string longest(S3_MAX_KEY_SIZE, 'k'), too_long(S3_MAX_KEY_SIZE + 1, 'k');
  struct row {
    S3UriStyle style;
    const char *bucket, *key;
    vorlan_s3::query_params query;
    std::string url;  // its authority is the Host header
    S3Status status = S3StatusOK;
  } rows[] = {
      {S3UriStylePath, "bkt", nullptr, {}, "http://127.0.0.1:9000/bkt"},
      {S3UriStylePath, nullptr, nullptr, {}, "http://127.0.0.1:9000/"},
      {S3UriStyleVirtualHost, "my.bkt", nullptr, {}, "http://my.bkt.127.0.0.1:9000/"},
      {S3UriStylePath, "bkt", nullptr, listing,
       "http://127.0.0.1:9000/bkt?delimiter=%2F&marker=m%231%3D%26%09&max-keys=5&"
       "prefix=a%2Fb%20c%2B~%24"},
      {S3UriStylePath, "b", longest.c_str(), {}, "http://127.0.0.1:9000/b/" + longest},
      {S3UriStylePath, "b", too_long.c_str(), {}, "", S3StatusKeyTooLong},
  };
  for (const row &r : rows) {
    vorlan_s3::request_target target;
    ASSERT_EQ(vorlan_s3::build_request_target(r.style, "127.0.0.1:9000", r.bucket, r.key, r.query,
                                              &target),
              r.status);
    if (r.status != S3StatusOK) continue;
    EXPECT_EQ(target.url(S3ProtocolHTTP), r.url);
    EXPECT_EQ(target.host, r.url.substr(7, r.url.find('/', 7) - 7)) << r.url;
  }
}

TEST(Uri, HostileBucketNamesAreRefused) {
  const char *hostile[] = {"",     ".",         "..",           "evil.com/x", "a?b",
                           "a#b",  "user@evil", "evil.com:80",  "a%2Fb",      "a b",
                           "a\tb", "a\nb",      "a\r\nHost: x", "a\\b",       "\x7f"};
  for (S3UriStyle style : {S3UriStylePath, S3UriStyleVirtualHost}) {
    for (const char *bucket : hostile) {
      EXPECT_NE(vorlan_s3::check_bucket_name(bucket, style), S3StatusOK)
          << "bucket [" << bucket << "] style " << style;
    }
  }
  // Host labels cannot hold what a path segment can.
  EXPECT_EQ(vorlan_s3::check_bucket_name("Under_score.and-Upper", S3UriStylePath), S3StatusOK);
  EXPECT_EQ(vorlan_s3::check_bucket_name("my_bucket.v2", S3UriStyleVirtualHost), S3StatusOK);
  EXPECT_NE(vorlan_s3::check_bucket_name("a..b", S3UriStyleVirtualHost), S3StatusOK);
  EXPECT_NE(vorlan_s3::check_bucket_name("b\xc3\xbc", S3UriStyleVirtualHost), S3StatusOK);
  EXPECT_NE(vorlan_s3::check_bucket_name(std::string(256, 'a').c_str(), S3UriStylePath),
            S3StatusOK);
  EXPECT_NE(vorlan_s3::check_host_name("evil.com/x?"), S3StatusOK);
  EXPECT_NE(vorlan_s3::check_host_name("user@evil.com"), S3StatusOK);
  EXPECT_EQ(vorlan_s3::check_host_name("[::1]:9000"), S3StatusOK);
}

// A refused bucket or key completes the request at once with its status; nothing is sent (the
// host below refuses connections, which would give a connection failure instead). Object
// requests share their checks, so one kind shows each; copies and bucket requests have their own.
TEST(Uri, RefusedBucketOrKeyCompletesWithoutConnecting) {
  using namespace vorlan::test;
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, "127.0.0.1:1"), S3StatusOK);
  auto target = [](const char *bucket) {
    return S3Target{.host = "127.0.0.1:1",
                    .bucket = bucket,
                    .access_key_id = "AK",
                    .secret_access_key = "SK",
                    .security_token = "TOKEN"};
  };
  // "/bucket/" or "/key" would reach another resource than the one asked for.
  const S3Target none = target(""), bucket = target("b");
  struct row {
    const char *name;
    S3CallResult done;
    S3Status expected;
  } rows[] = {
      {"head, hostile bucket", s3_head(target("evil.com/"), "k"),
       S3StatusInvalidBucketNameCharacter},
      {"head, no bucket", s3_head(none, "k"), S3StatusInvalidBucketNameTooShort},
      {"head, empty key", s3_head(bucket, ""), S3StatusKeyMissing},
      {"get, null key", s3_get(bucket, nullptr), S3StatusKeyMissing},
      {"put, empty key", s3_put(bucket, "", "x"), S3StatusKeyMissing},
      {"copy, no source bucket", s3_copy(none, "k", "d", "k"), S3StatusInvalidBucketNameTooShort},
      {"copy, empty source key", s3_copy(bucket, "", "d", "k"), S3StatusKeyMissing},
      {"copy, empty destination key", s3_copy(bucket, "k", "d", ""), S3StatusKeyMissing},
      {"list, no bucket", s3_list(none, nullptr, nullptr, nullptr, 0),
       S3StatusInvalidBucketNameTooShort},
      {"create, no bucket", s3_create_bucket(none), S3StatusInvalidBucketNameTooShort},
      {"delete bucket, no bucket", s3_delete_bucket(none), S3StatusInvalidBucketNameTooShort},
  };
  for (const row &r : rows) {
    EXPECT_EQ(r.done.complete_calls, 1) << r.name;
    EXPECT_EQ(r.done.status, r.expected) << r.name << ": " << S3_get_status_name(r.done.status);
  }
  // A head without a key addresses the bucket and the service listing addresses none: both
  // go out (and meet the refusing port).
  EXPECT_EQ(s3_head(bucket, nullptr).status, S3StatusFailedToConnect);
  EXPECT_EQ(s3_list_service(none).status, S3StatusFailedToConnect);
  S3_deinitialize();
}

// Sessions initialise and end independently: none may switch verification off for the others
// or move their requests to another default host. Without a session, requests verify.
TEST(Uri, FirstDefaultHostStaysAndPeerVerificationIsSticky) {
  EXPECT_TRUE(vorlan_s3::current_settings().verify_peer);
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, "first:1"), S3StatusOK);
  EXPECT_FALSE(vorlan_s3::current_settings().verify_peer);
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL | S3_INIT_VERIFY_PEER, "second:2"), S3StatusOK);
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, "third:3"), S3StatusOK);
  vorlan_s3::transfer_settings settings = vorlan_s3::current_settings();
  EXPECT_EQ(settings.default_host, "first:1");
  EXPECT_TRUE(settings.verify_peer);
  S3_deinitialize();
  S3_deinitialize();
  EXPECT_TRUE(vorlan_s3::current_settings().verify_peer);
  S3_deinitialize();
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, "fourth:4"), S3StatusOK);
  settings = vorlan_s3::current_settings();
  EXPECT_EQ(settings.default_host, "fourth:4");
  EXPECT_FALSE(settings.verify_peer);
  S3_deinitialize();
  EXPECT_TRUE(vorlan_s3::current_settings().verify_peer);
}

}  // namespace
