// Sixteen sessions at once drive mixed requests through the loaded module against the fake
// server, which injects faults, while each session's access token expires and is renewed. Each
// session works under its own prefix, so a model of what the store must hold there stays exact:
// every request either succeeds with the model's bytes and listings or reports an error, and
// after an error the store holds one of the states that request may leave. Every request
// finishes exactly once, and threads and heap return to their level before the run.
// VORLAN_RELIABILITY_SEED=<n> repeats a run's choices of requests and faults (not the order in
// which the sessions' requests interleave).
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <vorlan/host.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "module_test_hooks.h"

// The heap the program holds. glibc's figures count what its per-thread caches keep for reuse,
// which fill over many runs: this program's malloc counts what it hands out, as sanitizers do.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // GCC installs no header for it
static size_t heap_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
extern "C" void *__libc_malloc(size_t), *__libc_calloc(size_t, size_t),
    *__libc_realloc(void *, size_t), *__libc_memalign(size_t, size_t), __libc_free(void *);
static std::atomic<int64_t> allocated_bytes{0};
static size_t heap_in_use() { return static_cast<size_t>(allocated_bytes.load()); }
static void *counted(void *block, int64_t sign = 1) {
  allocated_bytes += sign * static_cast<int64_t>(malloc_usable_size(block));
  return block;
}
extern "C" {
void *malloc(size_t size) { return counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }
void *aligned_alloc(size_t align, size_t size) { return counted(__libc_memalign(align, size)); }
int posix_memalign(void **block, size_t align, size_t size) {
  return (*block = aligned_alloc(align, size)) != nullptr || size == 0 ? 0 : ENOMEM;
}
void free(void *block) { __libc_free(counted(block, -1)); }
void *realloc(void *block, size_t size) {
  const auto before = static_cast<int64_t>(malloc_usable_size(block));
  void *moved = __libc_realloc(block, size);
  if (moved != nullptr || size == 0) allocated_bytes -= before;
  return counted(moved);
}
}
#endif

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using std::chrono::milliseconds;
using vorlan::host::Host;
using vorlan::host::Session;
using vorlan::test::FakeS3Fault;
using vorlan::test::FakeS3Server;
using vorlan::test::thread_count;

constexpr int kSessions = 16;
constexpr int kOpsPerSession = 25;
// Transfers that stall for longer than this fail and are tried again; see kLongStall.
constexpr const char *kLowSpeedSeconds = "2";
const milliseconds kShortStall{300}, kLongStall{3000};
// The heap may differ by this much after a run (the fake's connections, pooled transfer handles,
// cached checksums); a request's record kept for every request, or a buffer once, goes beyond.
constexpr int64_t kHeapSlack = int64_t{64} * 1024;

enum Kind { kList, kListDir, kGet, kPut, kRename, kCksm, kMkdir, kRmdir, kDele, kKinds };
const char *const kKindNames[] = {"list", "list dir", "get",   "put", "rename",
                                  "cksm", "mkdir",    "rmdir", "dele"};
const int kKindWeights[] = {2, 1, 3, 5, 2, 2, 1, 1, 1};
const char *const kFiles[] = {"f0", "f1", "d0/g"};
const char *const kDirs[] = {"d0", "d1"};
// Every key a session may hold, relative to its prefix; "" is its own directory's placeholder.
const char *const kKeys[] = {"", "f0", "f1", "d0/", "d1/", "d0/g"};
const size_t kSizes[] = {0, 1, 1500, 100000, 300000};

// Names relative to the session's prefix -> object data.
using Store = std::map<std::string, std::string>;

// A directory's entries as the model says they must be listed: "name/" or "name size".
std::set<std::string> listing_of(const Store &store, const std::string &dir) {
  std::set<std::string> names;
  for (const auto &[name, data] : store) {
    if (!name.starts_with(dir) || name.size() == dir.size()) continue;
    const std::string rest = name.substr(dir.size());
    const size_t slash = rest.find('/');
    names.insert(slash == std::string::npos ? rest + " " + std::to_string(data.size())
                                            : rest.substr(0, slash) + "/");
  }
  return names;
}

struct Tally {
  // Per kind: requests, errors reported, errors the model required, wrong results.
  std::atomic<int> tried[kKinds] = {}, failed[kKinds] = {}, required[kKinds] = {},
                   wrong[kKinds] = {};
  std::atomic<int> faults_added{0}, faults_injected{0}, renewals{0};
  std::mutex mutex;
  std::vector<std::string> wrong_results;  // guarded by mutex
};

// One session's requests on its own prefix, and the model of what the store holds there.
struct SessionRun {
  Host &host;
  Session &session;
  FakeS3Server &server;
  Tally &tally;
  const std::string prefix;
  std::mt19937_64 rng;
  Store model{{"", ""}};  // the session's directory, kept from run to run

  // Makes the session's directory first.
  void run(int count) {
    command(VORLAN_GFS_CMD_MKD, "");
    std::discrete_distribution<int> kinds(std::begin(kKindWeights), std::end(kKindWeights));
    for (int i = 0; i < count; ++i) step(static_cast<Kind>(kinds(rng)));
  }

  // Removes every key but the session's placeholder, without faults.
  void clean_up() {
    for (const char *name : kFiles) command(VORLAN_GFS_CMD_DELE, name);
    for (const char *dir : kDirs) command(VORLAN_GFS_CMD_RMD, dir);
    if (snapshot() != Store{{"", ""}}) wrong(kDele, "cleanup left keys behind");
    model = {{"", ""}};
  }

  // What a request may leave: its result on success (none: it must fail), and what else a
  // failure may leave besides the state before it.
  struct Expect {
    std::optional<Store> success;
    std::vector<Store> partial;
  };

  std::string path(const std::string &name) const {
    std::string full = "/b/" + prefix + name;
    if (full.ends_with('/')) full.pop_back();
    return full;
  }

  template <class T, size_t N>
  const T &pick(const T (&options)[N]) {
    return options[rng() % N];
  }

  // One request of `kind` on names chosen now, with a fault on its key half of the time.
  void step(Kind kind) {
    const std::string a = kind == kMkdir || kind == kRmdir || kind == kListDir
                              ? std::string(pick(kDirs)) + "/"
                              : pick(kFiles);
    std::string b = pick(kFiles);
    if (b == a) b = a == kFiles[0] ? kFiles[1] : kFiles[0];
    std::string data(pick(kSizes), '\0');
    for (char &c : data) c = static_cast<char>(rng());
    if (rng() % 2 == 0) add_fault(kind, kind == kRename && rng() % 2 ? b : a, data);

    ++tally.tried[kind];
    const Store before = model;
    Expect expect{before, {}};
    // A request that reads `a` must fail when the model holds no such object.
    const auto found = before.find(a);
    const bool missing = found == before.end();
    if (missing && (kind == kGet || kind == kRename || kind == kCksm)) expect.success.reset();
    std::string problem;  // a wrong result of a request that succeeded
    vorlan::host::Reply reply;
    switch (kind) {
      case kList:
      case kListDir: {
        const std::string dir = kind == kList ? "" : a;
        auto result = host.stat(session, path(dir), false);
        reply = result.reply;
        std::set<std::string> listed;
        for (const auto &stat : result.stats) {
          if (stat.name == ".") continue;
          listed.insert(S_ISDIR(stat.mode) ? stat.name + "/"
                                           : stat.name + " " + std::to_string(stat.size));
        }
        if (std::ranges::none_of(before, [&](auto &entry) { return entry.first.starts_with(dir); }))
          expect.success.reset();
        if (listed != listing_of(before, dir)) problem = "listed other entries";
        break;
      }
      case kGet: {
        vorlan::host::MemorySink sink;
        reply = host.send(session, {.pathname = path(a)}, {}, sink).reply;
        if (!missing && sink.contents() != found->second) problem = "downloaded other bytes";
        break;
      }
      case kPut: {
        vorlan::host::MemorySource source(data);
        reply =
            host.recv(session, {.pathname = path(a), .alloc_size = std::ssize(data)}, {}, source)
                .reply;
        (*expect.success)[a] = data;
        break;
      }
      case kRename: {
        reply = command(VORLAN_GFS_CMD_RNTO, b, a).reply;
        if (missing) break;
        // The copy is made before the source goes: a failure may leave both.
        expect.partial.push_back(before);
        expect.partial.back()[b] = found->second;
        (*expect.success)[b] = found->second;
        expect.success->erase(a);
        break;
      }
      case kCksm: {
        auto result = command(VORLAN_GFS_CMD_CKSM, a);
        reply = result.reply;
        if (!missing && result.response != vorlan::test::fake_s3_md5_hex(found->second))
          problem = "wrong checksum";
        break;
      }
      case kMkdir:
        reply = command(VORLAN_GFS_CMD_MKD, a).reply;
        (*expect.success)[a] = "";
        break;
      case kRmdir:
      case kDele:
        reply = command(kind == kRmdir ? VORLAN_GFS_CMD_RMD : VORLAN_GFS_CMD_DELE, a).reply;
        expect.success->erase(a);
        break;
      case kKinds:
        break;
    }
    check(kind, kind == kList ? "" : a + (kind == kRename ? " -> " + b : ""), reply, expect,
          problem);
  }

  // Compares the store with what the request may have left, and takes it as the model.
  void check(Kind kind, const std::string &what, const vorlan::host::Reply &reply,
             const Expect &expect, const std::string &problem) {
    const Store now = snapshot();
    std::string why;
    if (reply.ok()) {
      why = !expect.success          ? "succeeded where it must fail"
            : !problem.empty()       ? problem
            : now != *expect.success ? "store differs after success"
                                     : "";
    } else {
      ++tally.failed[kind];
      if (!expect.success) ++tally.required[kind];
      const bool allowed =
          now == model || (expect.success && now == *expect.success) ||
          std::find(expect.partial.begin(), expect.partial.end(), now) != expect.partial.end();
      if (!allowed) why = "a failure left the store in a state no request order explains";
    }
    if (!why.empty()) wrong(kind, std::string(kKindNames[kind]) + " " + what + ": " + why);
    model = now;
  }

  void wrong(Kind kind, const std::string &why) {
    ++tally.wrong[kind];
    std::lock_guard<std::mutex> lock(tally.mutex);
    tally.wrong_results.push_back(prefix + ": " + why);
  }

  vorlan::host::CommandResult command(int code, const std::string &name,
                                      const std::string &from = "") {
    return host.command(session, code, path(name), from.empty() ? "" : path(from),
                        code == VORLAN_GFS_CMD_CKSM ? "md5" : "");
  }

  Store snapshot() const {
    Store store;
    for (const char *name : kKeys)
      if (auto object = server.object("b", prefix + name)) store[name] = object->data;
    return store;
  }

  // A fault on the first request for `name`'s key (a listing: on any session's listing now
  // and then), from resets and errors that retries overcome or not to stalls past the timeout.
  void add_fault(Kind kind, const std::string &name, const std::string &data) {
    const uint64_t at = rng() % (data.size() + 1);
    std::array<FakeS3Fault, 8> faults = {
        FakeS3Fault::error(500, "InternalError"),
        FakeS3Fault::error(503, "SlowDown").times(1 + static_cast<int>(rng() % 3)),
        FakeS3Fault::reset_after(at),
        kind == kPut && !data.empty() ? FakeS3Fault::reset_in_body(at)
                                      : FakeS3Fault::close_unanswered(),
        FakeS3Fault::delay_by(milliseconds(200)),
        FakeS3Fault::stall_after(at, kShortStall),
        FakeS3Fault::stall_after(at, kLongStall),
        FakeS3Fault::error(503, "ServiceUnavailable").times(3),
    };
    FakeS3Fault fault = faults[rng() % faults.size()];
    std::string key = prefix + (kind == kList || kind == kListDir ? "" : name);
    if (kind == kListDir && rng() % 2) key += name;  // the directory's placeholder
    if (kind == kList && rng() % 2)
      fault.on("GET", "b", "");
    else
      fault.on("", "b", key);
    fault.then([this] { ++tally.faults_injected; });
    ++tally.faults_added;
    server.add_fault(std::move(fault));
  }
};

uint64_t run_seed() {
  const char *text = std::getenv("VORLAN_RELIABILITY_SEED");
  if (text != nullptr && *text != '\0') return std::strtoull(text, nullptr, 0);
  return std::random_device()();
}

// One session per thread, all at once, each on its own prefix: the requests under faults on
// every session, then with the faults cleared the clean-up on every session; the sessions end
// before this returns.
void on_sessions(Host &host, FakeS3Server &server, Tally &tally, uint64_t seed) {
  vorlan::host::SessionDocuments documents;
  documents.provider = [&tally](const std::string &key) -> std::optional<std::string> {
    if (key != "creds" && key != "renew-creds") return std::nullopt;
    if (key == "renew-creds") ++tally.renewals;
    // Renewed when fewer than 300 seconds of its life remain: the first token at once, the later
    // ones within two seconds.
    return vorlan::test::token_document("fake-token", time(nullptr) + (key == "creds" ? 299 : 301));
  };
  std::barrier all_done(kSessions, [&server]() noexcept { server.clear_faults(); });
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i] {
      std::unique_ptr<Session> session;
      if (!host.start_session("user" + std::to_string(i), documents, &session).reply.ok()) {
        ADD_FAILURE() << "session " << i << " did not start";
        all_done.arrive_and_drop();
        return;
      }
      std::mt19937_64 rng(seed ^ (0x9e3779b97f4a7c15ULL * (i + 1)));
      SessionRun run{host, *session, server, tally, "s" + std::to_string(i) + "/", rng};
      run.run(kOpsPerSession);
      all_done.arrive_and_wait();
      run.clean_up();
    });
  }
  for (std::thread &thread : threads) thread.join();
}

TEST(MixedLoadReliability, EveryRequestSucceedsCorrectlyOrReportsAnError) {
  const uint64_t seed = run_seed();
  std::printf("reliability seed: %llu (VORLAN_RELIABILITY_SEED repeats it)\n",
              static_cast<unsigned long long>(seed));
  setenv("VORLAN_S3_LOW_SPEED_TIME", kLowSpeedSeconds, 1);
  FakeS3Server server({.auth = FakeS3Server::Auth::kBearer});
  server.create_bucket("b");
  vorlan::test::ModuleSession module(server.host(), "max_retries = 2\nretry_delay = 20\n", "",
                                     std::chrono::minutes(1));
  Host &host = module.host();

  // Two runs with other choices: what the module keeps for reuse (pooled connections, cached
  // checksums) is there after the first, so the heap is measured across the second.
  Tally tally;
  on_sessions(host, server, tally, ~seed);
  server.clear_requests();
  const size_t threads_before = thread_count(), heap_before = heap_in_use();
  const auto started = std::chrono::steady_clock::now();
  on_sessions(host, server, tally, seed);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
  server.clear_requests();

  // Workers end just after their last report; the fake may still be sending a stalled answer
  // the client gave up on, and serves kept-alive connections until they idle out.
  auto heap_growth = [&] { return static_cast<int64_t>(heap_in_use() - heap_before); };
  for (auto deadline = std::chrono::steady_clock::now() + 5 * kLongStall;
       (thread_count() > threads_before || heap_growth() >= kHeapSlack) &&
       std::chrono::steady_clock::now() < deadline;)
    std::this_thread::sleep_for(milliseconds(10));
  const size_t threads_after = thread_count();
  const int64_t heap_after = heap_growth();

  // Every breach of the completion contract (a lost or doubled completion) fails below.
  const std::vector<std::string> violations = host.violations();
  std::printf("\n%-10s %6s %6s %9s %6s\n", "request", "tried", "errors", "must fail", "wrong");
  for (int k = 0; k < kKinds; ++k)
    std::printf("%-10s %6d %6d %9d %6d\n", kKindNames[k], tally.tried[k].load(),
                tally.failed[k].load(), tally.required[k].load(), tally.wrong[k].load());
  std::printf(
      "\nsecond run %.1f s; faults injected %d (%d scripted); token renewals %d; contract "
      "breaches %zu; threads before/after %zu/%zu; heap growth %lld bytes; seed %llu\n",
      seconds.count(), tally.faults_injected.load(), tally.faults_added.load(),
      tally.renewals.load(), violations.size(), threads_before, threads_after,
      static_cast<long long>(heap_after), static_cast<unsigned long long>(seed));

  for (const std::string &why : tally.wrong_results) ADD_FAILURE() << why;
  for (const std::string &violation : violations) ADD_FAILURE() << violation;
  EXPECT_GT(tally.faults_injected.load(), 0);
  EXPECT_GE(tally.renewals.load(), kSessions);
  EXPECT_LE(threads_after, threads_before);
  // Not under ThreadSanitizer, where about 270 kB now and then stays held past the wait above.
#ifndef __SANITIZE_THREAD__
  EXPECT_LT(heap_after, kHeapSlack) << "heap kept after the run";
#endif
}

}  // namespace
