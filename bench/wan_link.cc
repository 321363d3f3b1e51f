// A WAN-like link on loopback: a TCP relay in front of a local server that caps each
// connection's rate, caps the whole link's rate and delays every byte, so that benchmark clients
// are all measured over the same throttled path.
//
//   wan_link --listen PORT --target PORT [--rate MIB_PER_S] [--link MIB_PER_S] [--delay-ms MS]
//
// --listen 0 picks a free port. The program prints "listening on 127.0.0.1:PORT" once it
// accepts connections and runs until killed. Each direction of a connection runs in its own
// thread: bytes read from one side wait in a timestamped queue until their delay has passed,
// then go out as the token buckets allow, so a delay adds latency without lowering throughput.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "token_bucket.h"

namespace {

using vorlan::bench::Clock;
using vorlan::bench::SharedBucket;
using vorlan::bench::TokenBucket;

constexpr double mib = 1024.0 * 1024.0;
// Bytes read at once and the most a direction holds before it stops reading from its source,
// enough for a 100 MiB/s link at a 100 ms delay.
constexpr size_t read_chunk = size_t{64} * 1024;
constexpr size_t queue_limit = size_t{16} * 1024 * 1024;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd &operator=(Fd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Options {
  int listen_port = 0;
  int target_port = 0;
  double rate_mib = 0;
  double link_mib = 0;
  int delay_ms = 0;
};

struct Chunk {
  Clock::time_point due;
  std::vector<char> data;
  size_t sent = 0;
};

// Relays src to dst until src ends and everything queued went out, then half-closes dst.
// Returns false on a connection error.
bool relay(int src, int dst, const Options &options, SharedBucket &link) {
  TokenBucket own(options.rate_mib * mib);
  const auto delay = std::chrono::milliseconds(options.delay_ms);
  std::deque<Chunk> queue;
  size_t queued = 0;
  bool src_open = true;
  while (src_open || !queue.empty()) {
    const auto now = Clock::now();
    bool can_send = false;
    int timeout_ms = -1;
    if (!queue.empty()) {
      const Chunk &head = queue.front();
      const size_t left = head.data.size() - head.sent;
      Clock::duration wait = head.due > now ? head.due - now : Clock::duration::zero();
      if (wait == Clock::duration::zero()) {
        wait = std::max(own.wait_for(now, left), link.wait_for(now, left));
      }
      can_send = wait == Clock::duration::zero();
      if (!can_send) {
        // Round up, so that the loop does not spin on a wait shorter than a millisecond.
        timeout_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
      }
    }
    const bool can_read = src_open && queued < queue_limit;
    // A negative fd is left out, so a hung-up socket nobody waits on does not wake the loop.
    pollfd fds[2] = {{can_read ? src : -1, POLLIN, 0}, {can_send ? dst : -1, POLLOUT, 0}};
    if (::poll(fds, 2, timeout_ms) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (can_read && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      std::vector<char> data(read_chunk);
      const ssize_t n = ::recv(src, data.data(), data.size(), MSG_DONTWAIT);
      if (n > 0) {
        data.resize(static_cast<size_t>(n));
        queued += data.size();
        queue.push_back({Clock::now() + delay, std::move(data)});
      } else if (n == 0) {
        src_open = false;
      } else if (errno != EAGAIN && errno != EINTR) {
        return false;
      }
    }
    if ((fds[1].revents & (POLLERR | POLLHUP)) != 0 && (fds[1].revents & POLLOUT) == 0) {
      return false;
    }
    if (can_send && (fds[1].revents & POLLOUT) != 0) {
      Chunk &head = queue.front();
      const auto at = Clock::now();
      size_t grant = own.available(at, head.data.size() - head.sent);
      grant = link.available(at, grant);
      if (grant == 0) {
        continue;
      }
      const ssize_t n =
          ::send(dst, head.data.data() + head.sent, grant, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
          continue;
        }
        return false;
      }
      const auto sent = static_cast<size_t>(n);
      own.take(sent);
      link.take(sent);
      head.sent += sent;
      if (head.sent == head.data.size()) {
        queued -= head.data.size();
        queue.pop_front();
      }
    }
  }
  ::shutdown(dst, SHUT_WR);
  return true;
}

// Runs one direction; on an error it shuts both sockets down so the other direction ends too.
void run_direction(int src, int dst, const Options &options, SharedBucket &link) noexcept {
  bool ok = false;
  try {
    ok = relay(src, dst, options, link);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "wan_link: %s\n", error.what());
  }
  if (!ok) {
    ::shutdown(src, SHUT_RDWR);
    ::shutdown(dst, SHUT_RDWR);
  }
}

Fd connect_target(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    return fd;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
    return Fd{};
  }
  return fd;
}

struct Links {
  SharedBucket up;
  SharedBucket down;
};

// Owns both sockets of one connection; they close once both directions ended.
void serve(Fd client, const Options &options, Links &links) noexcept {
  try {
    const Fd server = connect_target(options.target_port);
    if (server.get() < 0) {
      std::fprintf(stderr, "wan_link: connecting to 127.0.0.1:%d: %s\n", options.target_port,
                   std::strerror(errno));
      return;
    }
    for (const int fd : {client.get(), server.get()}) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::thread down([&] { run_direction(server.get(), client.get(), options, links.down); });
    run_direction(client.get(), server.get(), options, links.up);
    down.join();
  } catch (const std::exception &error) {
    std::fprintf(stderr, "wan_link: %s\n", error.what());
  }
}

int run(const Options &options) {
  ::signal(SIGPIPE, SIG_IGN);
  const Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options.listen_port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener.get() < 0 ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    std::fprintf(stderr, "wan_link: listening on 127.0.0.1:%d: %s\n", options.listen_port,
                 std::strerror(errno));
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  // Connection threads run detached for as long as the program does, so the links outlive them.
  auto *links =
      new Links{SharedBucket(options.link_mib * mib), SharedBucket(options.link_mib * mib)};
  for (;;) {
    Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
        continue;
      }
      std::fprintf(stderr, "wan_link: accept: %s\n", std::strerror(errno));
      return 1;
    }
    try {
      std::thread([client = std::move(client), &options, links]() mutable {
        serve(std::move(client), options, *links);
      }).detach();
    } catch (const std::exception &error) {
      std::fprintf(stderr, "wan_link: %s\n", error.what());
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  static Options options;
  try {
    CLI::App app{"A TCP relay on loopback that throttles and delays every connection"};
    app.add_option("--listen", options.listen_port, "port to listen on (0 picks one)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--target", options.target_port, "port of the server behind the link")
        ->required()
        ->check(CLI::Range(1, 65535));
    app.add_option("--rate", options.rate_mib, "per-connection cap, MiB/s each way (0: none)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--link", options.link_mib,
                   "cap shared by all connections, MiB/s each way (0: none)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--delay-ms", options.delay_ms, "added one-way delay, ms")
        ->check(CLI::Range(0, 60000));
    CLI11_PARSE(app, argc, argv);
    return run(options);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "wan_link: %s\n", error.what());
    return 1;
  }
}
