// The fake S3 server as a program for scripts: plain HTTP on 127.0.0.1 and a free port, the
// buckets named on the command line, and with "--bearer TOKEN" only requests that carry that
// bearer token. It prints its "127.0.0.1:<port>" and serves until its standard input closes
// (or, as by default, a SIGTERM ends it).
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fake_s3_server.h"

int main(int argc, char **argv) {
  vorlan::test::FakeS3Server::Options options;
  const bool bearer = argc > 2 && std::strcmp(argv[1], "--bearer") == 0;
  if (bearer) {
    options.auth = vorlan::test::FakeS3Server::Auth::kBearer;
    options.bearer_token = argv[2];
  }
  vorlan::test::FakeS3Server server(options);
  for (int i = bearer ? 3 : 1; i < argc; ++i) server.create_bucket(argv[i]);
  std::printf("%s\n", server.host().c_str());
  std::fflush(stdout);
  char buffer[256];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}
