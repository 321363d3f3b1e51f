// The fake S3 server as a program for scripts: plain HTTP on 127.0.0.1 and a free port, the
// buckets named on the command line, and with "--bearer TOKEN" only requests that carry that
// bearer token, with "--sigv4 KEY_ID:SECRET" only requests signed by that key pair. It prints its
// "127.0.0.1:<port>" and serves until its standard input closes (or, as by default, a SIGTERM ends
// it).
//
//   fake_s3_serve [--bearer TOKEN | --sigv4 KEY_ID:SECRET] [--rate-mib N] [--link-mib N]
//   [--delay-ms N] [--streaming]
//                 [--goog-hash] BUCKET...
//
// --rate-mib caps each connection's body bytes and --link-mib all connections' together
// (MiB/s); --delay-ms delays each request and each answer; --streaming buckets keep no data;
// --goog-hash answers objects' CRC32C and MD5 in x-goog-hash, as Google Cloud does.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_s3_server.h"

int main(int argc, char **argv) {
  vorlan::test::FakeS3Server::Options options;
  bool streaming = false;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    const std::string flag = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--bearer") {
      options.auth = vorlan::test::FakeS3Server::Auth::kBearer;
      options.bearer_token = value;
    } else if (flag == "--sigv4" && std::strchr(value, ':') != nullptr) {
      options.auth = vorlan::test::FakeS3Server::Auth::kSigV4;
      options.access_key_id.assign(value, std::strchr(value, ':'));
      options.secret_access_key = std::strchr(value, ':') + 1;
    } else if (flag == "--rate-mib" || flag == "--link-mib") {
      (flag == "--rate-mib" ? options.connection_rate : options.link_rate) =
          std::atof(value) * 1024 * 1024;
    } else if (flag == "--delay-ms") {
      options.delay = std::chrono::milliseconds(std::atoi(value));
    } else if (flag == "--streaming") {
      streaming = true;
      --i;
    } else if (flag == "--goog-hash") {
      options.goog_hash = vorlan::test::FakeS3Server::GoogHash::kSeparate;
      --i;
    } else {
      std::fprintf(stderr, "fake_s3_serve: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  vorlan::test::FakeS3Server server(options);
  for (; i < argc; ++i) server.create_bucket(argv[i], "", streaming);
  std::printf("%s\n", server.host().c_str());
  std::fflush(stdout);
  char buffer[256];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}
