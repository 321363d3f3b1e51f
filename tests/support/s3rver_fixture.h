// Runs the real S3-compatible server s3rver (installed by scripts/setup into .s3rver) for the
// lifetime of one object: on a free 127.0.0.1 port, over a fresh temporary directory that is
// removed afterwards.
//
// The constructor returns once the server answers HTTP, or fails (ok() false, error() says
// why; the server's output is kept in error()). The destructor stops the whole process group
// and waits for it. The server also dies with the thread that started it (PR_SET_PDEATHSIG),
// so a crashed test leaves nothing behind: start it from a thread that lives as long as the
// server is needed (the test's main thread, or a GoogleTest environment).
//
// s3rver accepts the access key id S3RVER (secret S3RVER) and anonymous requests; it checks
// the key id of signed requests but not their signatures.
#ifndef VORLAN_TESTS_S3RVER_FIXTURE_H
#define VORLAN_TESTS_S3RVER_FIXTURE_H

#include <sys/types.h>

#include <string>

#include "temp_dir.h"

namespace vorlan::test {

// A loopback port the kernel just handed out, free until someone binds it; 0 when none was.
int pick_free_port();

class S3rverFixture {
 public:
  static constexpr const char *kAccessKeyId = "S3RVER";
  static constexpr const char *kSecretAccessKey = "S3RVER";

  S3rverFixture();
  ~S3rverFixture();
  S3rverFixture(const S3rverFixture &) = delete;
  S3rverFixture &operator=(const S3rverFixture &) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string &error() const { return error_; }
  std::string host() const;  // "127.0.0.1:<port>"

 private:
  bool start_once();
  void stop();
  bool fail(std::string why) { return error_ = std::move(why), false; }

  pid_t pid_ = -1;
  int port_ = 0;
  TempDir root_;           // holds the data and the log
  std::string directory_;  // s3rver's data directory inside root_
  std::string log_, error_;
};

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_S3RVER_FIXTURE_H
