// Response headers as services send them, turned into the response properties.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "request.h"
#include "response_headers.h"

namespace {

using std::string_literals::operator""s;

const S3ResponseProperties &feed(vorlan_s3::response_headers &headers,
                                 const std::vector<std::string> &lines) {
  for (const std::string &line : lines) headers.add_line(line + "\r\n");
  return headers.properties();
}

TEST(ResponseHeaders, PropertiesOfAnObject) {
  vorlan_s3::response_headers headers;
  const S3ResponseProperties &p = feed(
      headers, {"HTTP/1.1 100 Continue", "", "HTTP/1.1 200 OK", "x-amz-request-id: REQ1",
                "x-amz-id-2: ID2", "Content-Type: text/plain", "Content-Length: 6442450944",
                "Server: AmazonS3", "ETag: \"d41d8cd98f00b204e9800998ecf8427e\"",
                "Last-Modified: Wed, 12 Oct 2009 17:50:00 GMT", "x-amz-meta-mtime: 1700000000",
                "X-Goog-Meta-MD5:  1B2M2Y8AsgTpgAmY7PhCfg== ", "x-amz-bucket-region: eu-west-1",
                // NUL is read as a space: it cuts no name or value short.
                "x-amz-meta-\0\0: dropped"s, "x-amz-meta-note: a\0b"s});
  EXPECT_EQ(headers.http_code(), 200);
  EXPECT_STREQ(p.requestId, "REQ1");
  EXPECT_STREQ(p.requestId2, "ID2");
  EXPECT_STREQ(p.contentType, "text/plain");
  EXPECT_EQ(p.contentLength, 6442450944ULL);  // above 4 GiB
  EXPECT_EQ(p.contentLengthKnown, 1);
  EXPECT_STREQ(p.server, "AmazonS3");
  EXPECT_STREQ(p.eTag, "\"d41d8cd98f00b204e9800998ecf8427e\"");
  EXPECT_EQ(p.lastModified, 1255369800);
  EXPECT_STREQ(p.bucketRegion, "eu-west-1");
  EXPECT_EQ(p.usesServerSideEncryption, S3_SSE_NONE);
  std::map<std::string, std::string> meta;
  for (int i = 0; i < p.metaDataCount; ++i) meta[p.metaData[i].name] = p.metaData[i].value;
  EXPECT_EQ(meta,
            (std::map<std::string, std::string>{
                {"mtime", "1700000000"}, {"md5", "1B2M2Y8AsgTpgAmY7PhCfg=="}, {"note", "a b"}}));
}

TEST(ResponseHeaders, OnlyTheFinalAnswerCounts) {
  vorlan_s3::response_headers headers;
  const S3ResponseProperties &p =
      feed(headers, {"HTTP/1.1 301 Moved", "x-amz-meta-old: 1", "ETag: \"x\"", "",
                     "HTTP/1.1 404 Not Found", "x-guploader-uploadid: UP1"});
  EXPECT_EQ(headers.http_code(), 404);
  EXPECT_EQ(p.metaDataCount, 0);
  EXPECT_EQ(p.eTag, nullptr);
  EXPECT_STREQ(p.requestId2, "UP1");
  EXPECT_EQ(p.lastModified, -1);
  EXPECT_EQ(p.contentLengthKnown, 0);
}

TEST(ResponseHeaders, StatusCodeIsThreeDigits) {
  for (const char *line : {"HTTP/1.1 -2n", "HTTP/1.1 20", "HTTP/1.1 +20 OK"}) {
    vorlan_s3::response_headers headers;
    headers.add_line(line);
    EXPECT_EQ(headers.http_code(), 0) << line;
  }
}

// Whether the ETag can be taken as the object's MD5.
TEST(ResponseHeaders, ServerSideEncryptionIndicator) {
  const std::string md5 = "ETag: \"9b2cf535f27731c974343645a3985328\"";
  struct row {
    const char *name;
    std::vector<std::string> lines;
    char expected;
  } rows[] = {
      {"plain MD5 ETag", {md5}, S3_SSE_NONE},
      {"SSE-S3 keeps the MD5", {md5, "x-amz-server-side-encryption: AES256"}, S3_SSE_S3},
      {"SSE-KMS", {md5, "x-amz-server-side-encryption: aws:kms"}, S3_SSE_ETAG_NOT_MD5},
      {"customer key",
       {md5, "x-amz-server-side-encryption-customer-algorithm: AES256"},
       S3_SSE_ETAG_NOT_MD5},
      {"multipart", {"ETag: \"9b2cf535f27731c974343645a3985328-2\""}, S3_SSE_ETAG_NOT_MD5},
      {"composite", {"ETag: \"CKih16GjycICEAE=\""}, S3_SSE_ETAG_NOT_MD5},
      {"not hex", {"ETag: \"zb2cf535f27731c974343645a398532z\""}, S3_SSE_ETAG_NOT_MD5},
      {"no ETag", {}, S3_SSE_NONE},
  };
  for (const row &r : rows) {
    vorlan_s3::response_headers headers;
    std::vector<std::string> lines = {"HTTP/1.1 200 OK"};
    lines.insert(lines.end(), r.lines.begin(), r.lines.end());
    EXPECT_EQ(feed(headers, lines).usesServerSideEncryption, r.expected) << r.name;
  }
}

// Base64 of CRC32C("123456789") = e3069283 and of the MD5 of "".
TEST(ResponseHeaders, ServiceChecksums) {
  const char *crc = "4waSgw==", *md5 = "1B2M2Y8AsgTpgAmY7PhCfg==";
  struct row {
    const char *name;
    std::vector<std::string> lines;
    const char *crc32c, *md5;
  } rows[] = {
      {"two x-goog-hash headers",
       {"x-goog-hash: crc32c=4waSgw==", "X-Goog-Hash: md5=1B2M2Y8AsgTpgAmY7PhCfg=="},
       crc,
       md5},
      {"one header, md5 first",
       {"x-goog-hash: md5=1B2M2Y8AsgTpgAmY7PhCfg==,crc32c=4waSgw=="},
       crc,
       md5},
      {"blanks and case",
       {"x-goog-hash:  CRC32C = 4waSgw== , md5=1B2M2Y8AsgTpgAmY7PhCfg== "},
       crc,
       md5},
      {"composite object: crc32c only", {"x-goog-hash: crc32c=4waSgw=="}, crc, nullptr},
      {"S3's stored checksum", {"x-amz-checksum-crc32c: 4waSgw=="}, crc, nullptr},
      {"unknown items and none", {"x-goog-hash: sha1=abc, nothing"}, nullptr, nullptr},
  };
  for (const row &r : rows) {
    vorlan_s3::response_headers headers;
    std::vector<std::string> lines = {"HTTP/1.1 200 OK"};
    lines.insert(lines.end(), r.lines.begin(), r.lines.end());
    const S3ResponseProperties &p = feed(headers, lines);
    EXPECT_STREQ(p.crc32cBase64, r.crc32c) << r.name;
    EXPECT_STREQ(p.md5Base64, r.md5) << r.name;
  }
}

TEST(ResponseHeaders, HttpDates) {
  EXPECT_EQ(vorlan_s3::parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(vorlan_s3::parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(vorlan_s3::parse_http_date("Fri, 01 Jan 2038 00:00:00 GMT"), 2145916800);
  EXPECT_EQ(vorlan_s3::parse_http_date("yesterday-ish"), -1);
  EXPECT_EQ(vorlan_s3::parse_http_date(""), -1);
  EXPECT_EQ(vorlan_s3::http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
}

// Ranges past 4 GiB go over the wire in the transfer fault tests; here, the end that would wrap.
TEST(RequestHeaders, RangeEndBeyondTheLargestOffsetIsOpen) {
  EXPECT_EQ(vorlan_s3::range_header_value(0, 0), "");
  EXPECT_EQ(vorlan_s3::range_header_value(UINT64_MAX - 1, 10), "bytes=18446744073709551614-");
}

// Header values come from callers and metadata; none may end its line and start another.
TEST(RequestHeaders, PutPropertiesRefuseHeaderInjection) {
  S3NameValue good_meta{"mtime", "1700000000"}, bad_value{"mtime", "1\r\nx-amz-acl: public-read"};
  S3NameValue bad_name{"m time", "1"};
  struct row {
    const char *name;
    const char *content_type, *md5, *disposition;
    S3NameValue *meta;
    S3Status expected;
  } rows[] = {
      {"good", "text/plain", "1B2M2Y8AsgTpgAmY7PhCfg==", nullptr, &good_meta, S3StatusOK},
      {"content type", "text/plain\r\nX: y", nullptr, nullptr, nullptr, S3StatusBadContentType},
      {"md5", nullptr, "abc\n", nullptr, nullptr, S3StatusBadMD5},
      {"metadata value", nullptr, nullptr, nullptr, &bad_value, S3StatusBadMetaData},
      {"metadata name", nullptr, nullptr, nullptr, &bad_name, S3StatusBadMetaData},
      {"disposition", nullptr, nullptr, "a\"b", nullptr, S3StatusBadContentDispositionFilename},
  };
  for (const row &r : rows) {
    S3PutProperties properties{};
    properties.contentType = r.content_type;
    properties.md5 = r.md5;
    properties.contentDispositionFilename = r.disposition;
    properties.expires = -1;
    properties.metaDataCount = r.meta ? 1 : 0;
    properties.metaData = r.meta;
    vorlan_s3::request_plan plan;
    EXPECT_EQ(vorlan_s3::add_put_properties(&properties, &plan), r.expected) << r.name;
  }
}

// Google Cloud refuses a request that mixes x-amz-* and x-goog-* headers; S3 reads only its
// own. A request speaks Google Cloud's dialect when it goes with a token or a project and
// without a Signature V4 secret, S3's otherwise, requester pays and storage class included.
TEST(RequestHeaders, EachRequestSpeaksOneDialect) {
  // Who the request goes as: a secret, a token, a project (all billed to "bill"), or anonymous.
  const std::pair<char, std::vector<std::string>> cases[] = {
      {'s',
       {"x-amz-checksum-crc32c: 4waSgw==", "x-amz-storage-class: NEARLINE", "x-amz-meta-md5: m",
        "x-amz-request-payer: requester", "?userProject=bill"}},
      {'t',
       {"x-goog-hash: crc32c=4waSgw==", "x-goog-storage-class: NEARLINE", "x-goog-meta-md5: m",
        "x-goog-user-project: bill"}},
      {'p', {"x-goog-project-id: proj", "x-goog-meta-md5: m", "x-goog-user-project: bill"}},
      {'a', {"x-amz-checksum-crc32c: 4waSgw==", "x-amz-meta-md5: m"}},
  };
  for (const auto &[who, expected] : cases) {
    const S3NameValue meta = {"md5", "m"};
    S3PutProperties properties{};
    properties.expires = -1;
    properties.crc32c = "4waSgw==";
    properties.storageClass = "NEARLINE";
    properties.useServerSideEncryption = 1;
    properties.metaDataCount = 1;
    properties.metaData = &meta;
    const auto as = [&](char kind, const char *text) { return who == kind ? text : nullptr; };
    S3BucketContext context{};
    context.hostName = context.bucketName = "b";
    context.accessKeyId = as('p', "proj");
    context.secretAccessKey = as('s', "secret");
    context.securityToken = as('t', "token");
    context.userProject = who == 'a' ? nullptr : "bill";
    context.requesterPays = 1;
    vorlan_s3::request_plan plan = vorlan_s3::object_plan(&context, "PUT", "k", 0);
    ASSERT_EQ(vorlan_s3::add_put_properties(&properties, &plan), S3StatusOK);
    vorlan_s3::http_request request;
    ASSERT_EQ(vorlan_s3::build_http_request(plan, &request), S3StatusOK);
    const bool google = who == 't' || who == 'p';
    for (const std::string &line : request.headers) {
      EXPECT_FALSE(line.starts_with(google ? "x-amz-" : "x-goog-")) << line;
    }
    for (const std::string &want : expected) {
      const bool found = want.starts_with("?")
                             ? request.url.find(want.substr(1)) != std::string::npos
                             : std::find(request.headers.begin(), request.headers.end(), want) !=
                                   request.headers.end();
      EXPECT_TRUE(found) << want << " in " << request.url;
    }
  }
}

}  // namespace
