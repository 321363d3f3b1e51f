// The module over HTTPS to the fake server, with certificates made here: a private authority's
// server certificate is refused, once and with the endpoint named, until ca_file names the
// authority; a certificate nobody vouches for stays refused with ca_file set.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "module_session.h"

namespace vorlan::test {
namespace {

// Writes <name>.pem and <name>.key: a certificate with `extensions`, signed by the authority
// <issuer>.pem (self-signed without one).
FakeS3Server::Options certificate(const TempDir &dir, const std::string &name,
                                  const std::string &extensions, const std::string &issuer = "") {
  std::string command = "cd " + dir.path() +
                        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                        " -days 1 -config /dev/null -subj /CN=" +
                        name + " -keyout " + name + ".key -out " + name + ".pem " + extensions;
  if (!issuer.empty()) command += " -CA " + issuer + ".pem -CAkey " + issuer + ".key";
  EXPECT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
  FakeS3Server::Options options;
  options.tls_certificate_path = dir.path() + "/" + name + ".pem";
  options.tls_key_path = dir.path() + "/" + name + ".key";
  return options;
}

TEST(TlsFaults, ServerCertificatesAreVerifiedAgainstTheSystemStoreAndCaFile) {
  TempDir dir;
  const std::string ca_file =
      certificate(dir, "ca",
                  "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign")
          .tls_certificate_path;
  const std::string for_loopback = "-addext subjectAltName=IP:127.0.0.1";
  const FakeS3Server::Options by_authority = certificate(dir, "server", for_loopback, "ca");
  const FakeS3Server::Options self_signed = certificate(dir, "self", for_loopback);
  struct Case {
    const char *label;
    const FakeS3Server::Options &server;
    std::string config;
    bool ok;
  } cases[] = {
      {"private authority, system store only", by_authority, "", false},
      {"private authority, verification off", by_authority, "verify_peer = false\n", true},
      {"private authority named by ca_file", by_authority, "ca_file = " + ca_file + "\n", true},
      {"self-signed, ca_file set", self_signed, "ca_file = " + ca_file + "\n", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    FakeS3Server server(c.server);
    server.put_object("b", "k", "hello");
    ModuleSession module(
        server.host(), "use_https = true\nmax_retries = 2\nretry_delay = 1\n" + c.config, "DEBUG");
    vorlan::host::StatResult result = module.host().stat(module.session(), "/b/k", true);
    const std::string log = TempDir::read(module.log_path());
    EXPECT_EQ(result.reply.ok(), c.ok) << result.reply.text << log;
    if (c.ok) continue;
    EXPECT_NE(result.reply.message.find("TLS certificate of " + server.host() +
                                        " not trusted: SSL certificate problem"),
              std::string::npos)
        << result.reply.message;
    // Another attempt would meet the same certificate.
    const size_t first = log.find("status=ServerFailedVerification");
    EXPECT_TRUE(first != std::string::npos &&
                log.find("status=ServerFailedVerification", first + 1) == std::string::npos)
        << log;
  }
}

}  // namespace
}  // namespace vorlan::test
