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

}  // namespace
