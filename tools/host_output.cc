// What the tool prints: failed replies, local failures, and the requests whose answer is
// printed (ls and stat as text or --json lines, and mkdir, rmdir, rm, mv and cksum).
#include "host_tool.h"
#include "transfer_io.h"

#include <jansson.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace vorlan::tool {

namespace {

int exit_code_for(const vorlan::host::Reply &reply) {
  const std::string &type = reply.error_type;
  if (type == "PATH_NOT_FOUND") return kExitNotFound;
  if (type == "PERMISSION_DENIED" || type == "LOGIN_DENIED") return kExitDenied;
  if (type == "INCORRECT_CHECKSUM") return kExitChecksum;
  // 4xx replies are transient by the protocol's own rule (451 try later, 421 busy).
  if (reply.code >= 400 && reply.code < 500) return kExitRetry;
  return kExitOther;
}

// The ls-style text of a mode: the type, then rwx for owner, group and others.
std::string mode_text(uint32_t mode) {
  static const std::pair<uint32_t, char> kTypes[] = {{0x1000, 'p'}, {0x2000, 'c'}, {0x4000, 'd'},
                                                     {0x6000, 'b'}, {0x8000, '-'}, {0xA000, 'l'},
                                                     {0xC000, 's'}};
  std::string text = "?";
  for (const auto &[bits, letter] : kTypes) {
    if ((mode & 0xF000) == bits) text[0] = letter;
  }
  for (int bit = 8; bit >= 0; --bit) text += (mode >> bit) & 1 ? "xwr"[bit % 3] : '-';
  return text;
}

// UTC as YYYY-MM-DDTHH:MM:SSZ; "-" for an unknown time (-1).
std::string time_text(int64_t seconds) {
  if (seconds == -1) return "-";
  const auto time = static_cast<time_t>(seconds);
  struct tm parts = {};
  char text[64];
  if (gmtime_r(&time, &parts) == nullptr ||
      std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "-";
  }
  return text;
}

std::string json_line(const vorlan::host::Stat &entry) {
  json_t *target = entry.symlink_target ? json_string(entry.symlink_target->c_str()) : json_null();
  std::unique_ptr<json_t, decltype(&json_decref)> object(
      json_pack("{s:s, s:I, s:I, s:I, s:I, s:I, s:I, s:I, s:I, s:I, s:I, s:o}", "name",
                entry.name.c_str(), "mode", json_int_t{entry.mode}, "nlink",
                json_int_t{entry.nlink}, "uid", json_int_t{entry.uid}, "gid", json_int_t{entry.gid},
                "size", json_int_t{entry.size}, "atime", json_int_t{entry.atime}, "ctime",
                json_int_t{entry.ctime}, "mtime", json_int_t{entry.mtime}, "dev",
                json_int_t{entry.dev}, "ino", json_int_t{entry.ino}, "symlink_target", target),
      &json_decref);
  std::unique_ptr<char, decltype(&free)> text(
      object ? json_dumps(object.get(), JSON_COMPACT | JSON_PRESERVE_ORDER) : nullptr, &free);
  if (!text) throw std::runtime_error("the entry \"" + entry.name + "\" cannot be written as JSON");
  return text.get();
}

std::string reply_code(vorlan_result_t result) {
  const int code = vorlan_gfs_error_get_ftp_response_code(vorlan_error_peek(result));
  return std::to_string(code != 0 ? code : 500);
}

}  // namespace

int report_failure(const char *what, const vorlan::host::Reply &reply) {
  std::cerr << input_line() << what << " failed\n"
            << "code: " << reply.code << "\n"
            << "error type: " << (reply.error_type.empty() ? "-" : reply.error_type) << "\n"
            << "headers: " << (reply.headers.empty() ? "-" : reply.headers) << "\n"
            << "reply:\n"
            << reply.text;
  if (!reply.text.empty() && reply.text.back() != '\n') std::cerr << "\n";
  return exit_code_for(reply);
}

int report_local_failure(const char *verb, const vorlan::host::IoFailure &failure) {
  char buffer[256];
  std::cerr << "vorlan-gridftp-host: " << input_line() << "cannot " << verb << " " << failure.target
            << ": " << strerror_r(failure.error_number, buffer, sizeof buffer) << "\n";
  return kExitLocal;
}

// Runs one stat request and prints its entries as each report arrives, so a listing of any
// size needs only one batch in memory.
int run_stat(Context &context, bool file_only) {
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  const bool json = context.stat.json;
  size_t entries = 0;
  auto print = [&context, json, &entries](const std::vector<vorlan::host::Stat> &batch, bool final,
                                          vorlan_result_t result) {
    entries += batch.size();
    for (const vorlan::host::Stat &entry : batch) {
      if (json) {
        std::cout << json_line(entry) << "\n";
      } else {
        std::cout << mode_text(entry.mode) << " " << entry.nlink << " " << entry.size << " "
                  << time_text(entry.mtime) << " " << entry.name << "\n";
      }
    }
    std::string line = std::string(final ? "stat-final" : "stat-partial") +
                       " count=" + std::to_string(batch.size());
    // A failure shows as the reply code the client would see.
    if (final) line += " result=" + (result == VORLAN_SUCCESS ? "ok" : reply_code(result));
    context.report(line);
  };
  const vorlan::host::StatResult result =
      context.host->stat(*session, context.stat.path, file_only, print);
  std::cout.flush();
  if (!result.reply.ok()) return report_failure(file_only ? "stat" : "ls", result.reply);
  // A root listing of "." alone looks like a failure to list; say why it is not one.
  const bool root = context.stat.path.find_first_not_of('/') == std::string::npos;
  if (!file_only && !json && root && entries == 1) {
    std::cerr << "vorlan-gridftp-host: " << input_line() << "\"/\" lists no buckets"
              << (holds_credentials(context)
                      ? ": the account has none or may not list them"
                      : " without a token or key pair, only --storage-policy's")
              << "; a bucket is reached by its name: ls /BUCKET/\n";
  }
  return kExitOk;
}

// Runs one command. Its progress replies (cksum's bytes read) show on a terminal's stderr, or
// with --verbose as report lines, each followed by a progress line; cksum prints the module's
// reply text, the checksum, alone on stdout.
int run_command(Context &context, const char *what, int code) {
  vorlan::host::Session *session = nullptr;
  if (int exit_code = open_session(context, &session); exit_code != kExitOk) return exit_code;
  const CommandOptions &command = context.command;
  const bool checksum = code == VORLAN_GFS_CMD_CKSM;
  const GlobalOptions &global = context.options;
  const bool on_terminal = !global.verbose && isatty(STDERR_FILENO) != 0;
  const bool shows = checksum && !global.no_progress && (global.verbose || on_terminal);
  // The bytes of the total: a whole object's size takes a stat, only when progress shows.
  int64_t total = command.length;
  if (shows && total < 0) {
    const vorlan::host::StatResult stat = context.host->stat(*session, command.path, true);
    if (stat.reply.ok() && stat.stats.size() == 1) {
      total = std::max<int64_t>(stat.stats.front().size - command.offset, 0);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  bool shown = false;
  vorlan::host::CommandOptions host_options;
  host_options.update_interval = global.update_interval;
  host_options.on_intermediate = [&](const std::string &text) {
    context.report("intermediate " + text);
    if (!shows) return;
    char *end = nullptr;
    const long long bytes = std::strtoll(text.c_str(), &end, 10);
    const std::string line =
        std::string(what) + " " + command.path + ": " +
        (end != text.c_str() && *end == '\0'
             ? vorlan::tool::progress_text(
                   bytes, total,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
             : text);
    std::cerr << (on_terminal ? "\r" : "") << line << (on_terminal ? "" : "\n") << std::flush;
    shown = on_terminal;
  };
  const vorlan::host::CommandResult result = context.host->command(
      *session, code, command.path, command.from, checksum ? command.algorithm : "", command.offset,
      command.length, host_options);
  if (shown) std::cerr << "\n";
  context.report("finished-command result=" +
                 (result.reply.ok() ? std::string("ok") : std::to_string(result.reply.code)));
  if (!result.reply.ok()) return report_failure(what, result.reply);
  if (checksum) std::cout << result.response.value_or("") << std::endl;
  return kExitOk;
}

}  // namespace vorlan::tool
