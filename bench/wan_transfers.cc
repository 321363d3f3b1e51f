// The storage module's large transfers over a slow, far link against other S3 clients on the
// same link in the same run: s3rver behind the wan_link relay (a per-connection cap, a link cap
// shared by all connections and a one-way delay), then an upload and a download of one object
// by each client in turn, timed from process start to exit:
//   module  the command-line host, its settings from a generated configuration file;
//   curl    one PUT and one GET, a single stream;
//   aws     `aws s3 cp` (awscli's default of 10 requests at once, multipart above 8 MiB);
//   rclone  `rclone copyto` (multipart upload, multi-thread download).
// It prints each client's MiB/s, the module's ratio to each and the host's peak memory.
//
//   wan_transfers [--size 1G] [--rate 8] [--link 80] [--delay-ms 25] [--streams 8]
//                 [--part-size 0] [--parallel 8] [--clients module,curl,aws,rclone]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "temp_dir.h"

extern char **environ;

namespace {

using vorlan::bench::beside_self;
using vorlan::bench::kBucket;
using vorlan::bench::mib_per_second;
using vorlan::bench::ProcessRun;
using vorlan::bench::run_process;
using vorlan::test::S3rverFixture;

struct Options {
  uint64_t size = 1ULL << 30;
  double rate_mib = 8;
  double link_mib = 80;
  int delay_ms = 25;
  int streams = 8;
  uint64_t part_size = 0;
  int parallel = 8;
  std::vector<std::string> clients = {"module", "curl", "aws", "rclone"};
};

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok =
      fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// The relay in a child process for the lifetime of the object.
class Link {
 public:
  Link(const Options &options, int target_port) : port_(vorlan::test::pick_free_port()) {
    const std::vector<std::string> argv = {beside_self("wan_link"),
                                           "--listen",
                                           std::to_string(port_),
                                           "--target",
                                           std::to_string(target_port),
                                           "--rate",
                                           std::to_string(options.rate_mib),
                                           "--link",
                                           std::to_string(options.link_mib),
                                           "--delay-ms",
                                           std::to_string(options.delay_ms)};
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && !accepts(port_) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Link() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;
  bool ok() const { return pid_ > 0 && accepts(port_); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};

struct Commands {
  std::vector<std::string> upload;
  std::vector<std::string> download;
};

// Each client's commands for an upload of `body` to its own key and a download to `out`.
std::map<std::string, Commands> client_commands(const Options &options, const std::string &host,
                                                const std::string &config, const std::string &body,
                                                const std::string &out) {
  const std::string url = "http://" + host + "/" + kBucket + "/";
  std::map<std::string, Commands> commands;
  const std::string tool = beside_self("../tools/vorlan-gridftp-host");
  const std::vector<std::string> channel = {"--block-size", "1048576", "--parallel",
                                            std::to_string(options.parallel)};
  auto &module = commands["module"];
  module.upload = {tool, "--config", config, "put", body, std::string("/") + kBucket + "/module"};
  module.download = {tool, "--config", config, "get", std::string("/") + kBucket + "/module", out};
  module.upload.insert(module.upload.end(), channel.begin(), channel.end());
  module.download.insert(module.download.end(), channel.begin(), channel.end());
  auto &curl = commands["curl"];
  curl.upload = vorlan::bench::curl_arguments(true);
  curl.download = curl.upload;
  curl.upload.insert(curl.upload.end(), {"-T", body, url + "curl"});
  curl.download.insert(curl.download.end(), {"-o", out, url + "curl"});
  const std::vector<std::string> aws = {
      "/usr/bin/aws", "--endpoint-url", "http://" + host, "--only-show-errors", "s3", "cp"};
  commands["aws"].upload = aws;
  commands["aws"].upload.insert(commands["aws"].upload.end(),
                                {body, std::string("s3://") + kBucket + "/aws"});
  commands["aws"].download = aws;
  commands["aws"].download.insert(commands["aws"].download.end(),
                                  {std::string("s3://") + kBucket + "/aws", out});
  commands["rclone"] = {{"rclone", "copyto", body, std::string("wan:") + kBucket + "/rclone"},
                        {"rclone", "copyto", std::string("wan:") + kBucket + "/rclone", out}};
  return commands;
}

// The credentials and endpoint awscli and rclone take from the environment.
void set_peer_environment(const std::string &host) {
  const std::map<std::string, std::string> variables = {
      {"AWS_ACCESS_KEY_ID", S3rverFixture::kAccessKeyId},
      {"AWS_SECRET_ACCESS_KEY", S3rverFixture::kSecretAccessKey},
      {"AWS_DEFAULT_REGION", "us-east-1"},
      {"RCLONE_CONFIG", "/dev/null"},
      {"RCLONE_CONFIG_WAN_TYPE", "s3"},
      {"RCLONE_CONFIG_WAN_PROVIDER", "Other"},
      {"RCLONE_CONFIG_WAN_ENDPOINT", "http://" + host},
      {"RCLONE_CONFIG_WAN_ACCESS_KEY_ID", S3rverFixture::kAccessKeyId},
      {"RCLONE_CONFIG_WAN_SECRET_ACCESS_KEY", S3rverFixture::kSecretAccessKey}};
  for (const auto &[name, value] : variables) setenv(name.c_str(), value.c_str(), 1);
  // rclone 1.60 refuses to start when AWS_CA_BUNDLE names a bundle; nothing here uses TLS.
  unsetenv("AWS_CA_BUNDLE");
}

// A run counts only when it exited with 0 and the download is whole.
bool measured(const ProcessRun &run, const std::string &out, uint64_t size) {
  struct stat info {};
  return run.ok && (out.empty() ||
                    (stat(out.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) == size));
}

void print_direction(const char *what, const Options &options,
                     const std::map<std::string, ProcessRun> &runs, double curl_target) {
  std::printf("\n%s of %llu bytes:\n", what, static_cast<unsigned long long>(options.size));
  for (const auto &[client, run] : runs) {
    std::printf("  %-7s %8.1f MiB/s  %7.1f s\n", client.c_str(),
                mib_per_second(options.size, run.seconds), run.seconds);
  }
  const auto module = runs.find("module");
  if (module == runs.end()) return;
  for (const auto &[client, run] : runs) {
    if (client == "module") continue;
    const double target = client == "curl" ? curl_target : 1.0;
    const double ratio = run.seconds / module->second.seconds;
    std::printf("  module / %-7s %6.2f  (target >= %.0f: %s)\n", client.c_str(), ratio, target,
                ratio >= target ? "met" : "missed");
  }
  std::printf("  module peak RSS %.1f MiB\n",
              static_cast<double>(module->second.max_rss_kib) / 1024);
}

bool parse(int argc, char **argv, Options &options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    const auto size = vorlan::bench::parse_size(value);
    if (flag == "--size" && size && *size > 0) {
      options.size = *size;
    } else if (flag == "--part-size" && size) {
      options.part_size = *size;
    } else if (flag == "--rate" || flag == "--link") {
      (flag == "--rate" ? options.rate_mib : options.link_mib) = std::atof(value.c_str());
    } else if (flag == "--delay-ms" || flag == "--streams" || flag == "--parallel") {
      (flag == "--delay-ms"  ? options.delay_ms
       : flag == "--streams" ? options.streams
                             : options.parallel) = std::atoi(value.c_str());
    } else if (flag == "--clients") {
      options.clients.clear();
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');) options.clients.push_back(item);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--size 1G] [--rate 8] [--link 80] [--delay-ms 25] [--streams 8] "
                 "[--part-size 0] [--parallel 8] [--clients module,curl,aws,rclone]\n",
                 argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (S3_initialize("vorlan-bench", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr) != S3StatusOK) {
    return 1;
  }
  const S3rverFixture s3rver;
  if (!s3rver.ok()) {
    std::fprintf(stderr, "%s\n", s3rver.error().c_str());
    return 1;
  }
  vorlan::test::S3Target target;
  target.host = s3rver.host();
  target.bucket = kBucket;
  target.access_key_id = S3rverFixture::kAccessKeyId;
  target.secret_access_key = S3rverFixture::kSecretAccessKey;
  if (vorlan::test::s3_create_bucket(target).status != S3StatusOK) return 1;
  const Link link(options, std::atoi(s3rver.host().substr(s3rver.host().rfind(':') + 1).c_str()));
  if (!link.ok()) {
    std::fprintf(stderr, "wan_link did not start\n");
    return 1;
  }
  set_peer_environment(link.host());
  vorlan::test::TempDir dir;
  std::string config = "host_name = " + link.host() + "\nuse_https = false\n" +
                       "transfer_streams = " + std::to_string(options.streams) + "\n";
  if (options.part_size > 0) config += "part_size = " + std::to_string(options.part_size) + "\n";
  config = dir.write("module.conf", config);
  const vorlan::bench::BodyFile body(options.size);
  // Downloads land in memory too, so the disk is nobody's bottleneck.
  const std::string out = body.path() + ".out";
  const auto commands = client_commands(options, link.host(), config, body.path(), out);
  std::printf(
      "s3rver at %s behind wan_link at %s: %.1f MiB/s per connection, %.1f MiB/s link, "
      "%d ms each way; module: %d streams, part size %llu (0: automatic)\n",
      s3rver.host().c_str(), link.host().c_str(), options.rate_mib, options.link_mib,
      options.delay_ms, options.streams, static_cast<unsigned long long>(options.part_size));
  std::fflush(stdout);
  std::map<std::string, ProcessRun> uploads, downloads;
  bool ok = true;
  for (const std::string &client : options.clients) {
    const auto found = commands.find(client);
    if (found == commands.end()) {
      std::fprintf(stderr, "unknown client %s\n", client.c_str());
      return 2;
    }
    const ProcessRun up = run_process(found->second.upload);
    unlink(out.c_str());
    const ProcessRun down = up.ok ? run_process(found->second.download) : ProcessRun{};
    const bool whole = measured(down, out, options.size);
    unlink(out.c_str());
    std::printf("%s: upload %s %.1f s, download %s %.1f s\n", client.c_str(),
                up.ok ? "ok" : "FAILED", up.seconds, whole ? "ok" : "FAILED", down.seconds);
    std::fflush(stdout);
    if (!up.ok || !whole) {
      ok = false;
      continue;
    }
    uploads[client] = up;
    downloads[client] = down;
  }
  print_direction("Download", options, downloads, 6);
  print_direction("Upload", options, uploads, 5);
  S3_deinitialize();
  return ok ? 0 : 1;
}
