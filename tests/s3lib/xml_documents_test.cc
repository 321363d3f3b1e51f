// The service's XML documents as they really arrive: namespaces, entities, unicode keys,
// truncated and empty bodies, large pages and error documents with extra details.
#include <gtest/gtest.h>

#include <string>

#include "xml_documents.h"

namespace {

constexpr const char *kListHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
    "<Name>bkt</Name><Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>";

std::string contents(const std::string &key, uint64_t size) {
  return "<Contents><Key>" + key +
         "</Key><LastModified>2013-09-17T18:07:53.000Z</LastModified>"
         "<ETag>&quot;599bab3ed2c697f1d26842727561fd94&quot;</ETag><Size>" +
         std::to_string(size) +
         "</Size><Owner><ID>owner-1</ID><DisplayName>me</DisplayName></Owner>"
         "<StorageClass>STANDARD</StorageClass></Contents>";
}

TEST(XmlDocuments, BucketPageReadsEntriesPrefixesAndEntities) {
  std::string body = std::string(kListHead) + "<IsTruncated>false</IsTruncated>" +
                     contents("caf\xc3\xa9 &amp; &lt;t&gt; &#x263A;", 5368709120ULL) +
                     "<CommonPrefixes><Prefix>dir/</Prefix></CommonPrefixes>"
                     "<CommonPrefixes><Prefix>z&amp;z/</Prefix></CommonPrefixes>"
                     "</ListBucketResult>";
  vorlan_s3::bucket_page page;
  ASSERT_EQ(vorlan_s3::parse_bucket_page(body, &page), S3StatusOK);
  EXPECT_FALSE(page.truncated);
  EXPECT_EQ(page.next_marker, "");
  ASSERT_EQ(page.contents.size(), 1u);
  EXPECT_EQ(page.contents[0].key, "caf\xc3\xa9 & <t> \xe2\x98\xba");
  EXPECT_EQ(page.contents[0].size, 5368709120ULL);  // above 4 GiB
  EXPECT_EQ(page.contents[0].etag, "\"599bab3ed2c697f1d26842727561fd94\"");
  EXPECT_EQ(page.contents[0].last_modified, 1379441273);
  EXPECT_EQ(page.contents[0].owner_id, "owner-1");
  ASSERT_EQ(page.common_prefixes.size(), 2u);
  EXPECT_EQ(page.common_prefixes[1], "z&z/");
}

TEST(XmlDocuments, NextMarkerOfATruncatedPage) {
  struct row {
    const char *name;
    std::string inner;
    const char *next_marker;
  } rows[] = {
      {"given by the service", "<NextMarker>given</NextMarker>" + contents("a", 1), "given"},
      {"last key when omitted", contents("a", 1) + contents("b", 1), "b"},
      {"last prefix when it sorts after the last key",
       contents("a", 1) + "<CommonPrefixes><Prefix>c/</Prefix></CommonPrefixes>", "c/"},
      {"last key when it sorts after the last prefix",
       "<CommonPrefixes><Prefix>a/</Prefix></CommonPrefixes>" + contents("b", 1), "b"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    vorlan_s3::bucket_page page;
    std::string body = std::string(kListHead) + "<IsTruncated>true</IsTruncated>" + r.inner +
                       "</ListBucketResult>";
    ASSERT_EQ(vorlan_s3::parse_bucket_page(body, &page), S3StatusOK);
    EXPECT_TRUE(page.truncated);
    EXPECT_EQ(page.next_marker, r.next_marker);
  }
}

TEST(XmlDocuments, ThousandKeyPage) {
  std::string body = std::string(kListHead) + "<IsTruncated>true</IsTruncated>";
  for (int i = 0; i < 1000; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "key-%04d", i);
    body += contents(key, static_cast<uint64_t>(i));
  }
  body += "</ListBucketResult>";
  vorlan_s3::bucket_page page;
  ASSERT_EQ(vorlan_s3::parse_bucket_page(body, &page), S3StatusOK);
  ASSERT_EQ(page.contents.size(), 1000u);
  EXPECT_EQ(page.contents[999].key, "key-0999");
  EXPECT_EQ(page.contents[999].size, 999u);
  EXPECT_EQ(page.next_marker, "key-0999");
}

TEST(XmlDocuments, BodiesThatAreNotTheDocumentFail) {
  const std::string truncated = std::string(kListHead) + contents("a", 1).substr(0, 40);
  const std::string documents[] = {
      "",
      truncated,
      "<html><body>502 Bad Gateway</body></html>",
      "<Error><Code>NoSuchBucket</Code></Error>",
      "not xml at all",
      // An external entity is neither fetched nor expanded into a key.
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<ListBucketResult><Contents><Key>&x;</Key></Contents></ListBucketResult>",
      // Nested entities would grow a small document into gigabytes.
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
      "<ListBucketResult><Contents><Key>&d;</Key></Contents></ListBucketResult>",
  };
  for (const std::string &body : documents) {
    vorlan_s3::bucket_page page;
    EXPECT_EQ(vorlan_s3::parse_bucket_page(body, &page), S3StatusXmlParseFailure) << body;
  }
  vorlan_s3::error_document error;
  EXPECT_FALSE(vorlan_s3::parse_error_document("", &error));
  EXPECT_FALSE(vorlan_s3::parse_error_document("<Error><Code>Cut", &error));
  EXPECT_FALSE(
      vorlan_s3::parse_error_document(std::string(kListHead) + "</ListBucketResult>", &error));
}

TEST(XmlDocuments, ErrorDocumentKeepsEveryDetail) {
  const char *body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<Error><Code>InvalidRange</Code><Message>The requested range is not "
      "satisfiable &amp; more</Message><RangeRequested>bytes=10-</RangeRequested>"
      "<ActualObjectSize>5</ActualObjectSize><Resource>/bkt/k</Resource>"
      "<Details>see &lt;docs&gt;</Details><RequestId>R1</RequestId>"
      // What a signature mismatch echoes holds the security token.
      "<CanonicalRequest>x-amz-security-token:SECRET</CanonicalRequest>"
      "<CanonicalRequestBytes>53 45</CanonicalRequestBytes><StringToSign>SECRET</StringToSign>"
      "<StringToSignBytes>53</StringToSignBytes></Error>";
  vorlan_s3::error_document error;
  ASSERT_TRUE(vorlan_s3::parse_error_document(body, &error));
  EXPECT_EQ(error.code, "InvalidRange");
  EXPECT_EQ(error.message, "The requested range is not satisfiable & more");
  EXPECT_EQ(error.resource, "/bkt/k");
  EXPECT_EQ(error.further_details, "see <docs>");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"RangeRequested", "bytes=10-"}, {"ActualObjectSize", "5"}, {"RequestId", "R1"}};
  EXPECT_EQ(error.extra_details, expected);
}

TEST(XmlDocuments, CopyResultConfirmsOnlyARealCopy) {
  vorlan_s3::copy_result copied;
  vorlan_s3::error_document error;
  EXPECT_EQ(vorlan_s3::parse_copy_result(
                "<CopyObjectResult><LastModified>2009-10-12T17:50:30.000Z</LastModified>"
                "<ETag>\"9b2cf535f27731c974343645a3985328\"</ETag></CopyObjectResult>",
                &copied, &error),
            S3StatusOK);
  EXPECT_EQ(copied.etag, "\"9b2cf535f27731c974343645a3985328\"");
  EXPECT_EQ(copied.last_modified, 1255369830);

  EXPECT_EQ(vorlan_s3::parse_copy_result(
                "<Error><Code>InternalError</Code><Message>We encountered an internal "
                "error.</Message></Error>",
                &copied, &error),
            S3StatusErrorInternalError);
  EXPECT_EQ(error.message, "We encountered an internal error.");
  EXPECT_EQ(vorlan_s3::parse_copy_result("", &copied, &error), S3StatusXmlParseFailure);
  EXPECT_EQ(vorlan_s3::parse_copy_result("<CopyObjectResult><ETag>", &copied, &error),
            S3StatusXmlParseFailure);
  EXPECT_EQ(vorlan_s3::parse_copy_result("<Other/>", &copied, &error), S3StatusXmlParseFailure);
}

TEST(XmlDocuments, ServicePageListsBuckets) {
  const char *body =
      "<ListAllMyBucketsResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
      "<Owner><ID>id-1</ID><DisplayName>owner</DisplayName></Owner><Buckets>"
      "<Bucket><Name>one</Name><CreationDate>2006-02-03T16:45:09.000Z</CreationDate></Bucket>"
      "<Bucket><Name>two</Name><CreationDate>garbage</CreationDate></Bucket>"
      "</Buckets></ListAllMyBucketsResult>";
  vorlan_s3::service_page page;
  ASSERT_EQ(vorlan_s3::parse_service_page(body, &page), S3StatusOK);
  EXPECT_EQ(page.owner_id, "id-1");
  EXPECT_EQ(page.owner_display_name, "owner");
  ASSERT_EQ(page.buckets.size(), 2u);
  EXPECT_EQ(page.buckets[0].name, "one");
  EXPECT_EQ(page.buckets[0].creation_date, 1138985109);
  EXPECT_EQ(page.buckets[1].creation_date, -1);
  EXPECT_EQ(vorlan_s3::parse_service_page("<ListAllMyBucketsResult>", &page),
            S3StatusXmlParseFailure);
}

}  // namespace
