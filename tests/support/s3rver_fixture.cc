#include "s3rver_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "fake_s3_server.h"

namespace vorlan::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReadyTimeout{20};

// $VORLAN_S3RVER when set, else the copy scripts/setup installs in the source tree.
std::string program() {
  if (const char *path = std::getenv("VORLAN_S3RVER"); path != nullptr && *path != '\0')
    return path;
  return std::string(VORLAN_SOURCE_DIR) + "/.s3rver/node_modules/.bin/s3rver";
}

}  // namespace

// s3rver binds the port a moment later; a clash is retried.
int pick_free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

S3rverFixture::S3rverFixture()
    : directory_(root_.path() + "/data"), log_(root_.path() + "/s3rver.log") {
  std::filesystem::create_directories(directory_);
  if (access(program().c_str(), X_OK) != 0) {
    error_ = "s3rver is not installed at " + program() + " (run scripts/setup)";
    return;
  }
  // Another process may take the chosen port between our probe and s3rver's bind.
  for (int attempt = 0; attempt < 3 && !ok(); ++attempt) start_once();
}

S3rverFixture::~S3rverFixture() { stop(); }

std::string S3rverFixture::host() const { return "127.0.0.1:" + std::to_string(port_); }

bool S3rverFixture::start_once() {
  int port = pick_free_port();
  if (port == 0) return fail("no free port on 127.0.0.1");
  const std::string binary = program(), port_text = std::to_string(port);
  const char *argv[] = {binary.c_str(),     "--address",       "127.0.0.1",
                        "--port",           port_text.c_str(), "--directory",
                        directory_.c_str(), "--silent",        nullptr};
  int log_fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) return fail("cannot open " + log_);
  pid_t parent = getpid();

  // Only async-signal-safe calls between fork and exec: the test may run threads.
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    execv(argv[0], const_cast<char *const *>(argv));
    _exit(127);
  }
  close(log_fd);
  if (pid < 0) return fail(std::string("fork failed: ") + std::strerror(errno));
  setpgid(pid, pid);  // also from here, so that stop() never races the child's own call

  auto deadline = Clock::now() + kReadyTimeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return fail("s3rver exited during start-up (status " + std::to_string(status) +
                  "); its output:\n" + TempDir::read(log_));
    if (send_raw_http(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 2000)
            .rfind("HTTP/1.", 0) == 0) {
      pid_ = pid;
      port_ = port;
      error_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return fail("s3rver did not answer on port " + port_text + " within " +
              std::to_string(kReadyTimeout.count()) + " s; its output:\n" + TempDir::read(log_));
}

// The data directory goes with the fixture, so nothing needs a graceful end.
void S3rverFixture::stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace vorlan::test
