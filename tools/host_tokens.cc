// Tokens the tool fetches itself, the way Google Cloud hands them out: a service account's key
// traded for an access token at the key's token endpoint (a JWT bearer assertion signed with the
// key, RS256), or the token the metadata server gives the machine's own service account. Each
// becomes the token document the module reads, fetched again once fewer than 300 seconds of its
// life remain. Neither the private key nor a token ever appears in an error.
#include "host_tool.h"

#include <curl/curl.h>
#include <jansson.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace vorlan::tool {

namespace {

// Least privilege that still covers everything the module does: objects and buckets, no IAM.
constexpr const char *kScope = "https://www.googleapis.com/auth/devstorage.read_write";
// A token request that takes longer than this is as good as failed.
constexpr long kConnectSeconds = 10;
constexpr long kRequestSeconds = 30;

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;
using Text = std::unique_ptr<char, decltype(&std::free)>;

std::string json_text(const Json &value) {
  const Text text(json_dumps(value.get(), JSON_COMPACT), &std::free);
  if (!text) throw std::runtime_error("out of memory");
  return text.get();
}

std::string base64url(const unsigned char *data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<size_t>(length));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char &c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

std::string base64url(const std::string &text) {
  return base64url(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

struct HttpAnswer {
  long status = 0;
  std::string body;
};

size_t append_body(char *data, size_t size, size_t count, void *body) {
  static_cast<std::string *>(body)->append(data, size * count);
  return size * count;
}

// One request; a transport failure throws, naming `url` and what went wrong.
HttpAnswer http_request(const std::string &url, const std::vector<std::string> &headers,
                        const std::string *post_body, bool direct) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, &curl_slist_free_all);
  for (const std::string &header : headers) {
    // Appending returns the list's head: the first append makes it, later ones keep it.
    curl_slist *head = curl_slist_append(list.get(), header.c_str());
    if (head == nullptr) throw std::runtime_error("out of memory");
    if (list == nullptr) list.reset(head);
  }
  if (!curl) throw std::runtime_error("out of memory");
  HttpAnswer answer;
  char error[CURL_ERROR_SIZE] = "";
  CURL *c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, kRequestSeconds);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer.body);
  // The metadata server is on the machine's own link; a proxy would not reach it.
  if (direct) curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  if (post_body != nullptr) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, post_body->c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(post_body->size()));
  }
  const CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK) {
    throw std::runtime_error("cannot reach " + url + ": " +
                             (*error != '\0' ? error : curl_easy_strerror(code)));
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

// What a failed answer says: OAuth's "error" and "error_description", else the start of its text
// on one line.
std::string refusal(const std::string &url, const HttpAnswer &answer) {
  std::string said;
  const Json root(json_loads(answer.body.c_str(), 0, nullptr), &json_decref);
  const char *error = json_string_value(json_object_get(root.get(), "error"));
  const char *description = json_string_value(json_object_get(root.get(), "error_description"));
  if (error != nullptr) {
    said = std::string(error) + (description != nullptr ? std::string(": ") + description : "");
  } else {
    said = trimmed(answer.body.substr(0, 200));
    for (char &c : said) c = (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  }
  return url + " answered " + std::to_string(answer.status) + (said.empty() ? "" : ": " + said);
}

struct Token {
  std::string access_token;
  time_t expiry = 0;
};

// The access token and its lifetime from a 200 answer; any other answer throws what it said.
Token read_token_answer(const std::string &url, const HttpAnswer &answer) {
  if (answer.status != 200) throw std::runtime_error(refusal(url, answer));
  const Json root(json_loads(answer.body.c_str(), 0, nullptr), &json_decref);
  const char *token = json_string_value(json_object_get(root.get(), "access_token"));
  json_t *expires_in = json_object_get(root.get(), "expires_in");
  // Names members, never values: the answer holds the token.
  if (token == nullptr || *token == '\0' || !json_is_number(expires_in) ||
      json_number_value(expires_in) <= 0) {
    throw std::runtime_error(url + " answered 200 without a usable \"access_token\" and " +
                             "\"expires_in\"");
  }
  // A lifetime past any a token has would overflow the expiry.
  const double seconds = std::min(json_number_value(expires_in), 86400.0 * 366);
  return {token, std::time(nullptr) + static_cast<time_t>(seconds)};
}

// The token document of one token: what the host hands the module as "creds".
std::string token_document(const Token &token, const std::string &subject) {
  struct tm calendar = {};
  gmtime_r(&token.expiry, &calendar);
  char expiry[32];
  std::strftime(expiry, sizeof(expiry), "%Y-%m-%dT%H:%M:%SZ", &calendar);
  return json_text(Json(json_pack("{s:s, s:s, s:s}", "access_token", token.access_token.c_str(),
                                  "token_expiry", expiry, "sub", subject.c_str()),
                        &json_decref));
}

// Keeps the last token for the session's "creds"; a renewal always fetches another, as the
// module asks for one only when its token is due or the service refused it.
class FetchingTokenSource : public TokenSource {
 public:
  std::optional<std::string> document(bool renewal, std::string *failure) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (renewal || document_.empty() || std::time(nullptr) + kRenewalMargin >= expiry_) {
      try {
        const Token token = fetch();
        document_ = token_document(token, subject());
        expiry_ = token.expiry;
      } catch (const std::exception &error) {
        *failure = error.what();
        return std::nullopt;
      }
    }
    return document_;
  }

 protected:
  virtual Token fetch() = 0;
  virtual std::string subject() = 0;

 private:
  std::mutex lock_;
  std::string document_;
  time_t expiry_ = 0;
};

class ServiceAccountSource : public FetchingTokenSource {
 public:
  explicit ServiceAccountSource(const std::string &path) : key_(nullptr, &EVP_PKEY_free) {
    const char *option = "--service-account-file";
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError(std::string(option) + ": cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    json_error_t error;
    const Json root(json_loads(text.str().c_str(), 0, &error), &json_decref);
    const std::string bad = std::string(option) + ": " + path + " is not a service account key: ";
    if (!root) {
      throw UsageError(bad + "not JSON (line " + std::to_string(error.line) + ": " + error.text +
                       ")");
    }
    auto member = [&](const char *name, bool required) -> std::string {
      const char *value = json_string_value(json_object_get(root.get(), name));
      if (required && (value == nullptr || *value == '\0')) {
        throw UsageError(bad + R"(no ")" + name + "\"");
      }
      return value != nullptr ? value : "";
    };
    if (member("type", true) != "service_account") {
      throw UsageError(bad + R"(its "type" is ")" + member("type", true) +
                       R"(", not "service_account")");
    }
    email_ = member("client_email", true);
    key_id_ = member("private_key_id", false);
    token_uri_ = member("token_uri", true);
    // The assertion is as good as a token for its hour: it goes out encrypted, or stays on
    // the machine.
    bool loopback = false;
    for (const std::string host : {"http://127.0.0.1", "http://localhost", "http://[::1]"}) {
      loopback = loopback || (token_uri_.rfind(host, 0) == 0 &&
                              std::string(":/").find(token_uri_[host.size()]) != std::string::npos);
    }
    if (token_uri_.rfind("https://", 0) != 0 && !loopback) {
      throw UsageError(bad + "\"token_uri\" is not an https:// address");
    }
    const std::string pem = member("private_key", true);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    key_.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key_ || EVP_PKEY_base_id(key_.get()) != EVP_PKEY_RSA) {
      throw UsageError(bad + "\"private_key\" is not an RSA private key in PEM form");
    }
  }

 protected:
  Token fetch() override {
    const std::string body =
        "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer"
        "&assertion=" +
        assertion();
    return read_token_answer(
        token_uri_, http_request(token_uri_, {"Content-Type: application/x-www-form-urlencoded"},
                                 &body, false));
  }
  std::string subject() override { return email_; }

 private:
  // A JWT asking for the scope for an hour, the longest the endpoint grants, signed RS256.
  std::string assertion() const {
    const json_int_t now = std::time(nullptr);
    Json header(json_pack("{s:s, s:s}", "alg", "RS256", "typ", "JWT"), &json_decref);
    if (!key_id_.empty()) json_object_set_new(header.get(), "kid", json_string(key_id_.c_str()));
    const Json claims(json_pack("{s:s, s:s, s:s, s:I, s:I}", "iss", email_.c_str(), "scope", kScope,
                                "aud", token_uri_.c_str(), "iat", now, "exp", now + 3600),
                      &json_decref);
    const std::string signed_part =
        base64url(json_text(header)) + "." + base64url(json_text(claims));
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    size_t length = 0;
    std::vector<unsigned char> signature;
    const auto *data = reinterpret_cast<const unsigned char *>(signed_part.data());
    bool ok = context &&
              EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
              EVP_DigestSign(context.get(), nullptr, &length, data, signed_part.size()) == 1;
    if (ok) {
      signature.resize(length);
      ok = EVP_DigestSign(context.get(), signature.data(), &length, data, signed_part.size()) == 1;
    }
    ERR_clear_error();
    if (!ok) throw std::runtime_error("the service account's key cannot sign");
    return signed_part + "." + base64url(signature.data(), length);
  }

  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_;
  std::string email_, key_id_, token_uri_;
};

class MetadataSource : public FetchingTokenSource {
 public:
  MetadataSource() {
    // Google's client libraries take another metadata server from the same variable.
    const char *host = std::getenv("GCE_METADATA_HOST");
    base_ = std::string("http://") + (host != nullptr && *host != '\0' ? host : kHost) +
            "/computeMetadata/v1/instance/service-accounts/default/";
  }

 protected:
  Token fetch() override {
    const std::string url = base_ + "token";
    return read_token_answer(url, get(url));
  }
  // The account's name is worth one more request, once; "default" when it cannot be had.
  std::string subject() override {
    if (email_.empty()) {
      email_ = "default";
      try {
        const HttpAnswer answer = get(base_ + "email");
        const std::string name = trimmed(answer.body.substr(0, answer.body.find_first_of("\r\n")));
        if (answer.status == 200 && !name.empty()) email_ = name;
      } catch (const std::exception &) {
      }
    }
    return email_;
  }

 private:
  static constexpr const char *kHost = "metadata.google.internal";
  HttpAnswer get(const std::string &url) const {
    return http_request(url, {"Metadata-Flavor: Google"}, nullptr, true);
  }

  std::string base_, email_;
};

}  // namespace

std::shared_ptr<TokenSource> make_token_source(const GlobalOptions &options) {
  if (options.service_account_file.empty() && !options.metadata_token) return nullptr;
  // Before the module starts threads of its own.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (options.metadata_token) return std::make_shared<MetadataSource>();
  return std::make_shared<ServiceAccountSource>(options.service_account_file);
}

}  // namespace vorlan::tool
