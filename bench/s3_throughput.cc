// GET and PUT throughput of the S3 client library against curl on the same object and the same
// local server, with the library's peak resident memory.
//
//   s3_throughput [--size BYTES] [--small BYTES] [--server fake|s3rver]
//
// Sizes take K, M and G suffixes (powers of two); the defaults are 1G and 16M. The small object
// runs first, so the peak memory printed after it and after the large one shows whether memory
// grows with the object. "fake" runs the in-process fake S3 server in a child process in its
// streaming mode (PUT bodies are counted and dropped, GET bodies generated), so that neither
// the server's storage nor its memory counts; "s3rver" stores the object on disk. curl and the
// library put the same key one after the other; curl uploads a file made beforehand and is
// timed by its own time_total, the library from the call to its completion.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "s3rver_fixture.h"
#include "vorlan/s3.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorlan::bench::BodyFile;
using vorlan::bench::kBucket;
using vorlan::bench::mib_per_second;
using vorlan::bench::peak_rss_kib;
using vorlan::test::S3rverFixture;

struct Transfer {
  uint64_t size = 0;
  uint64_t done = 0;
  S3Status status = S3StatusInternalError;
};

void on_complete(S3Status status, const S3ErrorDetails *, void *data) {
  static_cast<Transfer *>(data)->status = status;
}

S3Status on_get(int size, const char *, void *data) {
  static_cast<Transfer *>(data)->done += static_cast<uint64_t>(size);
  return S3StatusOK;
}

int on_put(int size, char *buffer, void *data) {
  auto *transfer = static_cast<Transfer *>(data);
  uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), transfer->size - transfer->done);
  std::memset(buffer, 'v', count);
  transfer->done += count;
  return static_cast<int>(count);
}

struct Server {
  std::string host;
  bool sign = false;
};

S3BucketContext context_for(const Server &server) {
  S3BucketContext context{};
  context.hostName = server.host.c_str();
  context.bucketName = kBucket;
  context.protocol = S3ProtocolHTTP;
  context.uriStyle = S3UriStylePath;
  if (server.sign) {
    context.accessKeyId = S3rverFixture::kAccessKeyId;
    context.secretAccessKey = S3rverFixture::kSecretAccessKey;
  }
  return context;
}

double library_put(const Server &server, const std::string &key, uint64_t size) {
  S3BucketContext context = context_for(server);
  Transfer transfer;
  transfer.size = size;
  S3PutObjectHandler handler = {{nullptr, &on_complete}, &on_put};
  auto started = Clock::now();
  S3_put_object(&context, key.c_str(), size, nullptr, nullptr, 0, &handler, &transfer);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (transfer.status != S3StatusOK) {
    std::fprintf(stderr, "library PUT failed: %s\n", S3_get_status_name(transfer.status));
    return -1;
  }
  return seconds;
}

double library_get(const Server &server, const std::string &key, uint64_t size) {
  S3BucketContext context = context_for(server);
  Transfer transfer;
  S3GetObjectHandler handler = {{nullptr, &on_complete}, &on_get};
  auto started = Clock::now();
  S3_get_object(&context, key.c_str(), nullptr, 0, 0, nullptr, 0, &handler, &transfer);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (transfer.status != S3StatusOK || transfer.done != size) {
    std::fprintf(stderr, "library GET failed: %s after %llu bytes\n",
                 S3_get_status_name(transfer.status),
                 static_cast<unsigned long long>(transfer.done));
    return -1;
  }
  return seconds;
}

// curl's own measure of the transfer (-w %{time_total}), so that starting the process does
// not count against it.
double timed_curl(const std::string &command) {
  std::unique_ptr<FILE, int (*)(FILE *)> output(
      popen((command + " -w '%{time_total}'").c_str(), "r"), &pclose);
  if (!output) return -1;
  char text[64] = {};
  size_t got = std::fread(text, 1, sizeof text - 1, output.get());
  int status = pclose(output.release());
  char *end = nullptr;
  double seconds = std::strtod(text, &end);
  if (status != 0 || got == 0 || end == text) {
    std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
    return -1;
  }
  return seconds;
}

std::string curl_prefix(const Server &server) {
  std::string prefix;
  for (const std::string &argument : vorlan::bench::curl_arguments(server.sign)) {
    prefix += "'" + argument + "' ";
  }
  return prefix + "-o /dev/null ";
}

double curl_put(const Server &server, const std::string &key, const BodyFile &body) {
  if (body.path().empty()) return -1;
  return timed_curl(curl_prefix(server) + "-T '" + body.path() + "' 'http://" + server.host + "/" +
                    kBucket + "/" + key + "'");
}

double curl_get(const Server &server, const std::string &key) {
  return timed_curl(curl_prefix(server) + "'http://" + server.host + "/" + kBucket + "/" + key +
                    "'");
}

void report(const char *what, uint64_t size, double library, double curl) {
  double ours = mib_per_second(size, library);
  double theirs = mib_per_second(size, curl);
  std::printf(
      "%-4s %10llu bytes  library %8.1f MiB/s  curl %8.1f MiB/s  ratio %.3f  "
      "peak RSS %ld KiB\n",
      what, static_cast<unsigned long long>(size), ours, theirs, theirs > 0 ? ours / theirs : 0.0,
      peak_rss_kib());
}

bool measure(const Server &server, uint64_t size) {
  std::string key = "object-" + std::to_string(size);
  // One after the other on the same key; curl first, so that the GETs read what the library
  // itself stored.
  double curl_up = -1;
  {
    BodyFile body(size);
    curl_up = curl_put(server, key, body);
  }
  double lib_up = library_put(server, key, size);
  if (curl_up < 0 || lib_up < 0) return false;
  report("PUT", size, lib_up, curl_up);
  double lib_down = library_get(server, key, size);
  double curl_down = curl_get(server, key);
  if (curl_down < 0 || lib_down < 0) return false;
  report("GET", size, lib_down, curl_down);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--serve-fake") == 0) return vorlan::bench::serve_fake();
  uint64_t size = 1ULL << 30;
  uint64_t small = 16ULL << 20;
  std::string kind = "fake";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    auto value = vorlan::bench::parse_size(argv[i + 1]);
    if (flag == "--size" && value) {
      size = *value;
    } else if (flag == "--small" && value) {
      small = *value;
    } else if (flag == "--server") {
      kind = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--size BYTES] [--small BYTES] [--server fake|s3rver]\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  if (S3_initialize("vorlan-bench", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr) != S3StatusOK) {
    return 1;
  }

  Server server;
  vorlan::bench::FakeServerProcess fake;
  std::unique_ptr<S3rverFixture> s3rver;
  if (kind == "fake") {
    if (!fake.start("/proc/self/exe")) {
      std::fprintf(stderr, "the fake server did not start\n");
      return 1;
    }
    server.host = "127.0.0.1:" + std::to_string(fake.port());
  } else if (kind == "s3rver") {
    s3rver = std::make_unique<S3rverFixture>();
    if (!s3rver->ok()) {
      std::fprintf(stderr, "%s\n", s3rver->error().c_str());
      return 1;
    }
    server.host = s3rver->host();
    server.sign = true;
    S3ResponseHandler handler = {nullptr, &on_complete};
    Transfer created;
    S3_create_bucket(S3ProtocolHTTP, S3rverFixture::kAccessKeyId, S3rverFixture::kSecretAccessKey,
                     nullptr, server.host.c_str(), kBucket, nullptr, S3CannedAclPrivate, nullptr,
                     nullptr, 0, &handler, &created);
    if (created.status != S3StatusOK) {
      std::fprintf(stderr, "cannot create the bucket: %s\n", S3_get_status_name(created.status));
      return 1;
    }
  } else {
    std::fprintf(stderr, "unknown server %s\n", kind.c_str());
    return 2;
  }
  std::printf("server %s at %s; peak RSS before transfers %ld KiB\n", kind.c_str(),
              server.host.c_str(), peak_rss_kib());
  bool ok = measure(server, small) && measure(server, size);
  S3_deinitialize();
  return ok ? 0 : 1;
}
