// What the benchmarks share: sizes on the command line, the fake S3 server in a child process
// (so that its memory and CPU are not the measured program's), timed child processes with
// their peak memory, and bodies in memory files for curl to upload.
#ifndef VORLAN_BENCH_SUPPORT_H
#define VORLAN_BENCH_SUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorlan::bench {

constexpr const char *kBucket = "bench";

// "16M", "1G", "4096": K, M and G are powers of two.
std::optional<uint64_t> parse_size(const std::string &text);
// This process's peak resident memory.
long peak_rss_kib();
double mib_per_second(uint64_t bytes, double seconds);
// A path relative to this program's directory ("../tools/vorlan-gridftp-host").
std::string beside_self(const std::string &relative);

// The fake server, alone in a child process running `self --serve-fake`, which must call
// serve_fake(). It serves a streaming bucket kBucket: PUT bodies are counted and dropped, GET
// bodies generated.
class FakeServerProcess {
 public:
  bool start(const char *self);
  ~FakeServerProcess();
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};
int serve_fake();

// A finished child process: wall-clock seconds from start to exit, its CPU time (user and
// system) and its peak memory.
struct ProcessRun {
  bool ok = false;  // exited with 0
  double seconds = 0;
  double cpu_seconds = 0;
  long max_rss_kib = 0;
};
// Runs argv[0] (searched in PATH) with standard output to /dev/null unless `stdout_path` is
// given, standard input from `stdin_path` when given.
ProcessRun run_process(const std::vector<std::string> &argv, const std::string &stdin_path = "",
                       const std::string &stdout_path = "/dev/null");

// curl's arguments for the bucket at `host`, signed for s3rver when `sign`.
std::vector<std::string> curl_arguments(bool sign);

// A file of `size` bytes 'v' in /dev/shm (else /tmp), removed with the object.
class BodyFile {
 public:
  explicit BodyFile(uint64_t size);
  ~BodyFile();
  BodyFile(const BodyFile &) = delete;
  BodyFile &operator=(const BodyFile &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vorlan::bench

#endif  // VORLAN_BENCH_SUPPORT_H
