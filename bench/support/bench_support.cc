// The benchmarks' shared pieces.
#include "bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fake_s3_server.h"
#include "s3rver_fixture.h"

extern char **environ;

namespace vorlan::bench {

std::optional<uint64_t> parse_size(const std::string &text) {
  char *end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return std::nullopt;
  std::string suffix(end);
  if (suffix == "K" || suffix == "k") return value << 10;
  if (suffix == "M" || suffix == "m") return value << 20;
  if (suffix == "G" || suffix == "g") return value << 30;
  if (suffix.empty()) return value;
  return std::nullopt;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double mib_per_second(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0;
}

bool FakeServerProcess::start(const char *self) {
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    close(to_child[1]);
    close(from_child[0]);
    execl(self, self, "--serve-fake", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  stdin_ = to_child[1];
  char line[32] = {};
  ssize_t got = read(from_child[0], line, sizeof line - 1);
  close(from_child[0]);
  port_ = got > 0 ? std::atoi(line) : 0;
  return port_ > 0;
}

FakeServerProcess::~FakeServerProcess() {
  if (pid_ <= 0) return;
  close(stdin_);  // the child serves until its input closes
  waitpid(pid_, nullptr, 0);
}

int serve_fake() {
  test::FakeS3Server::Options options;
  options.keep_alive_seconds = 30;
  test::FakeS3Server server(options);
  server.create_bucket(kBucket, "", true);
  std::printf("%d\n", server.port());
  std::fflush(stdout);
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  return 0;
}

ProcessRun run_process(const std::vector<std::string> &argv, const std::string &stdin_path,
                       const std::string &stdout_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stdin_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdin_path.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  ProcessRun run;
  const auto started = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.max_rss_kib = usage.ru_maxrss;
  for (const timeval &time : {usage.ru_utime, usage.ru_stime}) {
    run.cpu_seconds += static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  }
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

std::vector<std::string> curl_arguments(bool sign) {
  std::vector<std::string> arguments = {"curl", "-sSf", "-H", "Expect:"};
  if (sign) {
    arguments.insert(arguments.end(), {"--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
                                       std::string(test::S3rverFixture::kAccessKeyId) + ":" +
                                           test::S3rverFixture::kSecretAccessKey,
                                       "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"});
  }
  return arguments;
}

BodyFile::BodyFile(uint64_t size) {
  for (const char *dir : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(dir) + "/vorlan-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) continue;
    std::vector<char> block(1 << 20, 'v');
    uint64_t written = 0;
    while (written < size) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(block.size(), size - written));
      ssize_t n = write(fd, block.data(), piece);
      if (n <= 0) break;
      written += static_cast<uint64_t>(n);
    }
    close(fd);
    path_ = name.data();
    if (written == size) return;
    unlink(path_.c_str());
    path_.clear();
  }
}

BodyFile::~BodyFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

std::string beside_self(const std::string &relative) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
  return path.substr(0, path.rfind('/') + 1) + relative;
}

}  // namespace vorlan::bench
