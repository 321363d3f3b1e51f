// RestoreObject: asks the service for a temporary copy of an archived object. The object stays
// in its archive class; GET serves the copy once the restore is done.
#include <openssl/evp.h>

#include <string>
#include <utility>

#include "request.h"
#include "vorlan/s3.h"
#include "xml_documents.h"

namespace {

using vorlan_s3::request_plan;

// Base64 of the body's MD5, as Content-MD5 carries it: S3 asks for one on some POSTs with a body.
std::string md5_base64(const std::string &body) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(body.data(), body.size(), digest, &size, EVP_md5(), nullptr) != 1) return {};
  // Room for the NUL the encoder writes after the text.
  std::string text(size_t{4} * ((size + 2) / 3) + 1, '\0');
  text.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                                                  digest, static_cast<int>(size))));
  return text;
}

// An object of S3 Intelligent-Tiering's archive tiers is restored for good, and a request that
// names days fails: days < 1 names none.
std::string restore_request_xml(int days, const char *tier) {
  std::string xml = "<RestoreRequest xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  if (days > 0) xml += "<Days>" + std::to_string(days) + "</Days>";
  if (tier != nullptr && *tier != '\0') {
    xml += "<GlacierJobParameters><Tier>" + vorlan_s3::xml_escape(tier) +
           "</Tier></GlacierJobParameters>";
  }
  return xml + "</RestoreRequest>";
}

}  // namespace

extern "C" void S3_restore_object(const S3BucketContext *bucketContext, const char *key, int days,
                                  const char *tier, S3RequestContext *, int timeoutMs,
                                  const S3ResponseHandler *handler, void *callbackData) {
  request_plan plan = vorlan_s3::object_plan(bucketContext, "POST", key, timeoutMs);
  plan.query.emplace_back("restore", "");
  std::string xml = restore_request_xml(days, tier);
  const std::string md5 = md5_base64(xml);
  if (md5.empty()) {
    return vorlan_s3::complete_request(handler, callbackData, S3StatusInternalError, nullptr);
  }
  plan.signed_headers.emplace_back("Content-MD5", md5);
  plan.signed_headers.emplace_back("Content-Type", "application/xml");
  vorlan_s3::set_fixed_body(&plan, std::move(xml));
  // 202 (started) and 200 (a restored copy is there already) both succeed.
  vorlan_s3::properties_forwarder forwarder(handler, callbackData);
  vorlan_s3::run_request(std::move(plan), handler, callbackData, forwarder);
}
