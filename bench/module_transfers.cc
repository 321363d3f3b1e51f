// The storage module's transfers against curl on the same server, measured in the same run:
//   1. a download and an upload of one object through the command-line host (block 1 MiB,
//      concurrency 4) against curl's GET and PUT of the same object, each the best of three
//      runs, both timed from process start to exit;
//   2. the command-line host's peak resident memory downloading and uploading objects of
//      several sizes: it should not grow with the object (equal within 10 %) and stay below
//      (3 x concurrency + 2) x block + 32 MiB, plus transfer_streams x 8 MiB (the default part
//      size): an upload's parts in memory, a download's read-ahead of its slices;
//      Beside the download's ratio: the CPU time of the digests every whole download computes
//      (MD5, ADLER32 and CRC32C for the checksum cache), timed in this process by the module's
//      own digest state over as many bytes in the pieces the host hands over, so the figure
//      is theirs alone and not the HTTP and copy work around them; and the host's whole CPU
//      time for that download;
//   3. many small downloads through the module in one session, one request after another,
//      against one curl invocation fetching the same objects over its kept-alive connection,
//      each the best of three runs taken in turn.
//
//   module_transfers [--size 1G] [--memory 256M,2G] [--objects 1000] [--server fake|s3rver]
//
// "fake" is the in-process fake S3 server in a child process, in its streaming mode (PUT bodies
// counted and dropped, GET bodies generated); "s3rver" stores the objects on disk.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <vorlan/host.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "temp_dir.h"
#include "vorlan_i_s3_checksum.h"

namespace {

using vorlan::bench::beside_self;
using vorlan::bench::BodyFile;
using vorlan::bench::kBucket;
using vorlan::bench::mib_per_second;
using vorlan::bench::ProcessRun;
using vorlan::bench::run_process;

constexpr uint64_t kBlock = 1 << 20;
constexpr int kConcurrency = 4;

struct Setup {
  std::string host;  // 127.0.0.1:port
  bool sign = false;
  std::string tool;
  std::string config;  // the module's configuration file
  std::string url(const std::string &key) const {
    return "http://" + host + "/" + kBucket + "/" + key;
  }
  std::vector<std::string> tool_command(const std::string &subcommand, const std::string &first,
                                        const std::string &second) const {
    // curl moves the bytes unchecked; the tool's MD5 pass and check would be measured too.
    return {tool,           "--config",     config,    subcommand,   first,
            second,         "--block-size", "1048576", "--parallel", std::to_string(kConcurrency),
            "--no-checksum"};
  }
};

// The fastest of `runs`; a failed run fails the measurement.
ProcessRun best_of(int runs, const std::vector<std::string> &argv) {
  ProcessRun best;
  for (int i = 0; i < runs; ++i) {
    ProcessRun run = run_process(argv);
    if (!run.ok) {
      std::fprintf(stderr, "failed: %s ...\n", argv[0].c_str());
      return run;
    }
    if (!best.ok || run.seconds < best.seconds) best = run;
  }
  return best;
}

void print_ratio(const char *what, uint64_t size, double host_seconds, double curl_seconds) {
  const double host = mib_per_second(size, host_seconds);
  const double curl = mib_per_second(size, curl_seconds);
  std::printf("%s %llu bytes: host %.1f MiB/s, curl %.1f MiB/s, ratio %.3f\n", what,
              static_cast<unsigned long long>(size), host, curl, curl > 0 ? host / curl : 0.0);
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// This thread's CPU time for the digests of the mask over `size` bytes, in 256 KiB pieces; -1
// when the state could not be made.
double digests_cpu_seconds(uint64_t size, unsigned digests) {
  const std::vector<unsigned char> piece(256 << 10, 'v');
  md5_state *state = nullptr;
  if (vorlan_i_s3_checksum_init_digests(&state, digests) != VORLAN_SUCCESS) return -1;
  const double started = thread_cpu_seconds();
  for (uint64_t done = 0; done < size; done += piece.size()) {
    vorlan_i_s3_checksum_update(state, piece.data(), std::min<uint64_t>(piece.size(), size - done));
  }
  vorlan_i_s3_checksum_finalize(state);
  const double taken = thread_cpu_seconds() - started;
  vorlan_i_s3_checksum_free(&state);
  return taken;
}

bool throughput(const Setup &setup, uint64_t size) {
  const std::string key = "large";
  BodyFile body(size);
  std::vector<std::string> curl_put = vorlan::bench::curl_arguments(setup.sign);
  curl_put.insert(curl_put.end(), {"-T", body.path(), setup.url(key)});
  const ProcessRun curl_up = best_of(3, curl_put);
  const ProcessRun host_up =
      best_of(3, setup.tool_command("put", body.path(), std::string("/") + kBucket + "/" + key));
  if (!curl_up.ok || !host_up.ok) return false;
  print_ratio("PUT", size, host_up.seconds, curl_up.seconds);
  std::vector<std::string> curl_get = vorlan::bench::curl_arguments(setup.sign);
  curl_get.insert(curl_get.end(), {"-o", "/dev/null", setup.url(key)});
  const ProcessRun curl_down = best_of(3, curl_get);
  const ProcessRun host_down =
      best_of(3, setup.tool_command("get", std::string("/") + kBucket + "/" + key, "/dev/null"));
  if (!curl_down.ok || !host_down.ok) return false;
  print_ratio("GET", size, host_down.seconds, curl_down.seconds);
  const double all = digests_cpu_seconds(size, vorlan_i_s3_digest_all);
  const double md5 = digests_cpu_seconds(size, vorlan_i_s3_digest_md5);
  std::printf(
      "GET digests: md5+adler32+crc32c %.3f s CPU (md5 alone %.3f s), %.0f%% of the host's "
      "%.3f s; host CPU %.3f s\n",
      all, md5, 100 * all / host_down.seconds, host_down.seconds, host_down.cpu_seconds);
  return true;
}

bool memory(const Setup &setup, const std::vector<uint64_t> &sizes) {
  for (const char *direction : {"put", "get"}) {
    const bool put = std::strcmp(direction, "put") == 0;
    // Parts in flight up, read-ahead of the slices down: 8 streams x 8 MiB with the defaults.
    const double bound_mib = (3.0 * kConcurrency + 2) * kBlock / (1 << 20) + 32 + 64;
    std::vector<double> peaks;
    for (uint64_t size : sizes) {
      const std::string path = std::string("/") + kBucket + "/memory-" + std::to_string(size);
      ProcessRun run;
      if (put) {
        BodyFile body(size);
        run = run_process(setup.tool_command("put", body.path(), path));
      } else {
        run = run_process(setup.tool_command("get", path, "/dev/null"));
      }
      if (!run.ok) return false;
      peaks.push_back(static_cast<double>(run.max_rss_kib) / 1024);
      std::printf("host %s %llu bytes: peak RSS %.1f MiB (bound %.0f MiB)\n", direction,
                  static_cast<unsigned long long>(size), peaks.back(), bound_mib);
    }
    std::printf("host %s: largest / smallest peak RSS %.3f\n", direction,
                peaks.back() / peaks.front());
  }
  return true;
}

bool small_objects(const Setup &setup, int count) {
  vorlan::test::S3Target target;
  target.host = setup.host;
  target.bucket = kBucket;
  if (setup.sign) {
    target.access_key_id = vorlan::test::S3rverFixture::kAccessKeyId;
    target.secret_access_key = vorlan::test::S3rverFixture::kSecretAccessKey;
  }
  const std::string data(4096, 's');
  vorlan::test::TempDir dir;
  std::string curl_config;
  for (int i = 0; i < count; ++i) {
    const std::string key = "small/" + std::to_string(i);
    if (vorlan::test::s3_put(target, key.c_str(), data).status != S3StatusOK) return false;
    curl_config += "url = \"" + setup.url(key) + "\"\noutput = \"/dev/null\"\n";
  }
  std::vector<std::string> curl = vorlan::bench::curl_arguments(setup.sign);
  curl.insert(curl.end(), {"-K", dir.write("urls", curl_config)});

  vorlan::host::Host::Options options;
  options.module_path = VORLAN_MODULE_PATH;
  options.option_string = setup.config;
  std::string error;
  std::unique_ptr<vorlan::host::Host> host = vorlan::host::Host::load(options, &error);
  std::unique_ptr<vorlan::host::Session> session;
  if (!host || !host->start_session("bench", {}, &session).reply.ok()) {
    std::fprintf(stderr, "the module did not load: %s\n", error.c_str());
    return false;
  }
  // Turns taken in turn, the best of each: the load of other processes comes and goes.
  double seconds = 0, curl_seconds = 0;
  for (int round = 0; round < 3; ++round) {
    const ProcessRun curl_run = run_process(curl);
    if (!curl_run.ok) return false;
    if (round == 0 || curl_run.seconds < curl_seconds) curl_seconds = curl_run.seconds;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      vorlan::host::TransferInfo info;
      info.pathname = std::string("/") + kBucket + "/small/" + std::to_string(i);
      vorlan::host::MemorySink sink;
      if (!host->send(*session, info, {}, sink).reply.ok() || sink.contents().size() != 4096) {
        std::fprintf(stderr, "download %d failed\n", i);
        return false;
      }
    }
    const double taken =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (round == 0 || taken < seconds) seconds = taken;
  }
  const double ours = count / seconds, theirs = count / curl_seconds;
  std::printf("%d objects of 4 KiB: module %.0f objects/s, curl %.0f objects/s, ratio %.3f\n",
              count, ours, theirs, ours / theirs);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--serve-fake") == 0) return vorlan::bench::serve_fake();
  uint64_t size = 1ULL << 30;
  std::vector<uint64_t> memory_sizes = {256ULL << 20, 2ULL << 30};
  int objects = 1000;
  std::string kind = "fake";
  std::string settings;  // extra module settings
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--size" && vorlan::bench::parse_size(value)) {
      size = *vorlan::bench::parse_size(value);
    } else if (flag == "--memory") {
      memory_sizes.clear();
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');) {
        if (auto parsed = vorlan::bench::parse_size(item)) memory_sizes.push_back(*parsed);
      }
    } else if (flag == "--objects") {
      objects = std::atoi(value.c_str());
    } else if (flag == "--server") {
      kind = value;
    } else if (flag == "--streams") {
      settings += "transfer_streams = " + value + "\n";
    } else if (flag == "--setting") {
      settings += value + "\n";
    } else {
      std::fprintf(stderr,
                   "usage: %s [--size 1G] [--memory 256M,2G] [--objects 1000] "
                   "[--server fake|s3rver] [--streams N] [--setting 'KEY = VALUE']\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  if (S3_initialize("vorlan-bench", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr) != S3StatusOK) {
    return 1;
  }
  Setup setup;
  setup.tool = beside_self("../tools/vorlan-gridftp-host");
  vorlan::bench::FakeServerProcess fake;
  std::unique_ptr<vorlan::test::S3rverFixture> s3rver;
  if (kind == "fake") {
    if (!fake.start("/proc/self/exe")) return 1;
    setup.host = "127.0.0.1:" + std::to_string(fake.port());
  } else {
    s3rver = std::make_unique<vorlan::test::S3rverFixture>();
    if (!s3rver->ok()) {
      std::fprintf(stderr, "%s\n", s3rver->error().c_str());
      return 1;
    }
    setup.host = s3rver->host();
    setup.sign = true;
    vorlan::test::S3Target target;
    target.host = setup.host;
    target.bucket = kBucket;
    target.access_key_id = vorlan::test::S3rverFixture::kAccessKeyId;
    target.secret_access_key = vorlan::test::S3rverFixture::kSecretAccessKey;
    if (vorlan::test::s3_create_bucket(target).status != S3StatusOK) return 1;
  }
  vorlan::test::TempDir dir;
  setup.config =
      dir.write("module.conf", "host_name = " + setup.host + "\nuse_https = false\n" + settings);
  std::printf("server %s at %s\n", kind.c_str(), setup.host.c_str());
  std::fflush(stdout);
  const bool ok =
      throughput(setup, size) && memory(setup, memory_sizes) && small_objects(setup, objects);
  S3_deinitialize();
  return ok ? 0 : 1;
}
