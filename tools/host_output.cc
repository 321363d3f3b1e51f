// What the tool prints: failed replies (one line each, and the exit code of their kind), local
// failures, the module's breaches, and the requests whose answer is printed (ls and stat as
// text or --json lines, and mkdir, rmdir, rm, mv and cksum).
#include "host_tool.h"
#include "transfer_io.h"

#include <jansson.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorlan/s3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <string_view>
#include <utility>

namespace vorlan::tool {

namespace {

// An S3 error's line in a reply: `S3 Error accessing "PLACE": STATUS: MESSAGE: DETAILS`, where
// MESSAGE is STATUS again when the service sent none and DETAILS may be empty.
constexpr std::string_view kS3Error = "S3 Error accessing \"";

// What a failed reply says, taken apart for one line.
struct ReplyParts {
  std::string status;                 // the S3 status name of its S3 error, "" when none
  std::string place;                  // the path the error names, "" when none
  std::vector<std::string> messages;  // each said once
};

void add_message(ReplyParts &parts, std::string text) {
  text = trimmed(text);
  if (text.empty() || text == parts.status) return;
  for (const std::string &known : parts.messages) {
    if (known.find(text) != std::string::npos) return;
  }
  parts.messages.push_back(std::move(text));
}

// A line of the reply's text: an S3 error's parts, or a message as it is.
void add_text_line(ReplyParts &parts, const std::string &line) {
  if (!line.starts_with(kS3Error)) return add_message(parts, line);
  std::string rest = line.substr(kS3Error.size());
  const size_t quote = rest.find("\": ");
  if (quote == std::string::npos) return add_message(parts, line);
  if (parts.place.empty()) parts.place = rest.substr(0, quote);
  rest.erase(0, quote + 3);
  const size_t status_end = rest.find(": ");
  if (parts.status.empty()) parts.status = rest.substr(0, status_end);
  if (status_end == std::string::npos) return;
  rest.erase(0, status_end + 2);
  // The details follow the last ": ", and are empty when the module had none to add.
  const size_t details = rest.rfind(": ");
  if (details == std::string::npos) return add_message(parts, rest);
  add_message(parts, rest.substr(0, details));
  add_message(parts, rest.substr(details + 2));
}

// "GridFTP-Computed-Checksum" -> "computed checksum".
std::string header_label(std::string name) {
  if (name.starts_with("GridFTP-")) name.erase(0, 8);
  for (char &c : name) c = c == '-' ? ' ' : static_cast<char>(std::tolower(c));
  return name;
}

ReplyParts reply_parts(const vorlan::host::Reply &reply) {
  ReplyParts parts;
  std::vector<std::string> headers;
  std::istringstream header_text(reply.headers);
  for (std::string header; std::getline(header_text, header);) {
    if (!trimmed(header).empty()) headers.push_back(trimmed(header));
  }
  // The control-channel reply: "CODE-" (or, last, "CODE ") before every line; the error type,
  // the headers and "End." have their own members or say nothing.
  const std::string code = std::to_string(reply.code);
  std::istringstream text(reply.text);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with(code) && line.size() > code.size() &&
        (line[code.size()] == '-' || line[code.size()] == ' ')) {
      line.erase(0, code.size() + 1);
    }
    if (line == "End." || line.starts_with("Error-Type: ") ||
        std::find(headers.begin(), headers.end(), trimmed(line)) != headers.end()) {
      continue;
    }
    add_text_line(parts, line);
  }
  for (const std::string &header : headers) {
    const size_t colon = header.find(": ");
    const std::string name = header.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : header.substr(colon + 2);
    if (name == "GridFTP-Error") {
      add_message(parts, value);
    } else if (name == "GridFTP-Path") {
      parts.place =
          value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
    } else if (std::none_of(parts.messages.begin(), parts.messages.end(),
                            [&](const std::string &m) { return m.find(value) != m.npos; })) {
      add_message(parts, value.empty() ? header : header_label(name) + " " + value);
    }
  }
  return parts;
}

// Timeouts, connection failures and 5xx answers: the S3 library's retryable statuses, which
// the module met on every attempt it made.
bool temporary_status(const std::string &name) {
  for (int status = 0; status < S3StatusCount; ++status) {
    if (name == S3_get_status_name(static_cast<S3Status>(status))) {
      return S3_status_is_retryable(static_cast<S3Status>(status)) != 0;
    }
  }
  return false;
}

int exit_code_for(const vorlan::host::Reply &reply, const ReplyParts &parts) {
  const std::string &type = reply.error_type;
  if (type == "PATH_NOT_FOUND") return kExitNotFound;
  if (type == "PERMISSION_DENIED" || type == "LOGIN_DENIED") return kExitDenied;
  if (type == "INCORRECT_CHECKSUM") return kExitChecksum;
  // 4xx replies are transient by the protocol's own rule (451 try later, 421 busy).
  if (reply.code >= 400 && reply.code < 500) return kExitRetry;
  if (reply.timed_out || temporary_status(parts.status)) return kExitRetry;
  return kExitOther;
}

// The paths the subcommand was given, as the user wrote them.
std::vector<std::string> request_paths(const Context &context) {
  const std::string &name = context.subcommand;
  if (name == "ls" || name == "stat") return {context.stat.path};
  if (name == "get" || name == "put") return {context.transfer.remote};
  if (name == "mv") return {context.command.from, context.command.path};
  if (name == "session" || context.command.path.empty()) return {};
  return {context.command.path};
}

// "mv /b/x /b/y": the subcommand and its paths.
std::string request_name(const Context &context) {
  std::string name = context.subcommand;
  for (const std::string &path : request_paths(context)) name += " " + path;
  return name;
}

bool same_path(std::string_view a, std::string_view b) {
  auto bare = [](std::string_view path) {
    const size_t first = path.find_first_not_of('/');
    if (first == std::string_view::npos) return std::string_view();
    return path.substr(first, path.find_last_not_of('/') - first + 1);
  };
  return bare(a) == bare(b);
}

// "no reply or data for 120 s from storage.googleapis.com".
std::string timeout_text(const Context &context) {
  std::string text =
      "no reply or data for " + std::to_string(context.options.timeout_seconds) + " s (--timeout)";
  if (auto host = context.log.last("initializing to use host: ")) {
    text += " from " + host->substr(0, host->find(" and region: "));
  }
  return text;
}

// "get /b/k: 550 PATH_NOT_FOUND: The specified key does not exist."
std::string failure_line(const Context &context, const vorlan::host::Reply &reply,
                         const ReplyParts &parts, const char *stage) {
  std::string line = request_name(context);
  const std::vector<std::string> paths = request_paths(context);
  if (stage != nullptr && context.subcommand != "session") line += std::string(": ") + stage;
  line += ": " + std::to_string(reply.code);
  const std::string &word = reply.error_type.empty() ? parts.status : reply.error_type;
  if (!word.empty()) line += " " + word;
  std::vector<std::string> said = parts.messages;
  if (reply.timed_out) said = {timeout_text(context)};
  // The place an error names is worth saying where the line does not name it alone.
  if (!parts.place.empty() && (paths.size() != 1 || !same_path(parts.place, paths[0]))) {
    said.insert(said.begin(), "\"" + parts.place + "\"");
  }
  for (const std::string &text : said) line += ": " + text;
  return one_line(line);
}

// The host names its operations by address ("send operation 0x5581..."), which tells a user
// nothing: "send request".
std::string without_addresses(std::string text) {
  static constexpr std::string_view kOperation = " operation 0x";
  for (size_t at = text.find(kOperation); at != std::string::npos; at = text.find(kOperation)) {
    const size_t end = text.find_first_not_of("0123456789abcdefABCDEF", at + kOperation.size());
    text.replace(at, std::min(end, text.size()) - at, " request");
  }
  return text;
}

// "after 3 attempts over 7.1 s": the requests the module logged since the request began (every
// request it sends, retries included, logs a "REST:" line), and the time the tool measured.
std::string attempts_text(const Context &context) {
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - context.request_start;
  std::ostringstream text;
  text << std::fixed << std::setprecision(1);
  const int attempts =
      context.request_log_start ? context.log.count_since(*context.request_log_start, "REST: ") : 0;
  if (attempts == 0) {
    text << (context.request_log_start ? "with no request sent, " : "") << "after "
         << elapsed.count() << " s";
  } else {
    text << "after " << attempts << (attempts == 1 ? " attempt" : " attempts") << " over "
         << elapsed.count() << " s";
  }
  return text.str();
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

std::string one_line(const std::string &text) {
  std::string line;
  std::istringstream lines(text);
  for (std::string part; std::getline(lines, part);) {
    while (!part.empty() && part.back() == '\r') part.pop_back();
    part = trimmed(part);
    if (!part.empty()) line += (line.empty() ? "" : "; ") + part;
  }
  for (char &c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return line;
}

int report_failure(const Context &context, const vorlan::host::Reply &reply, const char *stage) {
  const ReplyParts parts = reply_parts(reply);
  std::cerr << kProgram << input_line() << failure_line(context, reply, parts, stage) << "\n";
  if (context.options.verbose) {
    std::cerr << input_line() << (stage != nullptr ? stage : context.subcommand.c_str())
              << " failed " << attempts_text(context) << "\n"
              << "code: " << reply.code << "\n"
              << "error type: " << (reply.error_type.empty() ? "-" : reply.error_type) << "\n"
              << "headers: " << (reply.headers.empty() ? "-" : reply.headers) << "\n"
              << "reply:\n"
              << reply.text;
    if (!reply.text.empty() && reply.text.back() != '\n') std::cerr << "\n";
  }
  return exit_code_for(reply, parts);
}

bool report_violations(Context &context, const vorlan::host::Reply &reply) {
  const std::vector<std::string> all = context.host->violations();
  std::vector<std::string> found;
  for (size_t i = std::exchange(context.violations_reported, all.size()); i < all.size(); ++i) {
    if (reply.timed_out && all[i].find(" timed out after ") != std::string::npos) continue;
    found.push_back(without_addresses(all[i]));
  }
  if (found.empty()) return false;
  std::cerr << kProgram << input_line() << request_name(context)
            << ": the module misbehaved towards the server (a fault of the module, worth "
               "reporting"
            << (context.options.verbose ? "" : "; -v tells how") << ")\n";
  for (const std::string &violation : found) {
    if (context.options.verbose) std::cerr << kProgram << "module fault: " << violation << "\n";
  }
  return true;
}

int report_local_failure(const char *verb, const vorlan::host::IoFailure &failure) {
  char buffer[256];
  std::cerr << kProgram << input_line() << "cannot " << verb << " " << failure.target << ": "
            << strerror_r(failure.error_number, buffer, sizeof buffer) << "\n";
  return kExitLocal;
}

std::optional<vorlan::host::Stat> stat_entry(Context &context, vorlan::host::Session &session,
                                             const std::string &path, vorlan::host::Reply *reply) {
  vorlan::host::StatResult found = context.host->stat(session, path, true);
  if (reply != nullptr) *reply = found.reply;
  if (!found.reply.ok() || found.stats.size() != 1) return std::nullopt;
  return found.stats.front();
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
  if (!result.reply.ok()) return report_failure(context, result.reply);
  // A root listing of "." alone looks like a failure to list; say why it is not one.
  const bool root = context.stat.path.find_first_not_of('/') == std::string::npos;
  if (!file_only && !json && root && entries == 1) {
    std::cerr << kProgram << input_line() << "\"/\" lists no buckets"
              << (holds_credentials(context)
                      ? ": the account has none or may not list them"
                      : " without a token or key pair, only --storage-policy's")
              << "; a bucket is reached by its name: ls /BUCKET/\n";
  }
  return kExitOk;
}

namespace {

// Whether a path names more than a bucket: "/b/k", not "/b" or "/b/".
bool names_key(const std::string &path) {
  const size_t bucket = path.find_first_not_of('/');
  const size_t slash = bucket == std::string::npos ? bucket : path.find('/', bucket);
  return slash != std::string::npos && path.find_first_not_of('/', slash) != std::string::npos;
}

// An S3 service deletes a missing object without complaint, and the module takes a missing
// directory placeholder as removed already, so rm and rmdir look first: a missing path, or a
// service that cannot be reached, is the command's failure; anything else leaves the answer
// to the command itself. Its reports are the tool's own, not printed with -v.
std::optional<int> look_before_removing(Context &context, vorlan::host::Session &session,
                                        int code) {
  vorlan::host::Reply reply;
  const std::optional<vorlan::host::Stat> found =
      stat_entry(context, session, context.command.path, &reply);
  // The name is tried as an object first, so a directory here has no object of that name: rm
  // would delete nothing and say it succeeded.
  if (found && code == VORLAN_GFS_CMD_DELE && S_ISDIR(found->mode)) {
    std::cerr << kProgram << input_line() << request_name(context)
              << ": a directory, which rm leaves: rmdir removes its placeholder\n";
    return kExitOther;
  }
  if (reply.ok()) return std::nullopt;
  const int exit_code = exit_code_for(reply, reply_parts(reply));
  if (exit_code != kExitNotFound && exit_code != kExitRetry) return std::nullopt;
  return report_failure(context, reply);
}

}  // namespace

// Runs one command. Its progress replies (cksum's bytes read) show on a terminal's stderr, or
// with --verbose as report lines, each followed by a progress line; cksum prints the module's
// reply text, the checksum, alone on stdout.
int run_command(Context &context, const char *what, int code) {
  vorlan::host::Session *session = nullptr;
  if (int exit_code = open_session(context, &session); exit_code != kExitOk) return exit_code;
  const CommandOptions &command = context.command;
  if ((code == VORLAN_GFS_CMD_DELE || code == VORLAN_GFS_CMD_RMD) && names_key(command.path)) {
    if (auto failed = look_before_removing(context, *session, code)) return *failed;
  }
  const bool checksum = code == VORLAN_GFS_CMD_CKSM;
  const GlobalOptions &global = context.options;
  const bool on_terminal = !global.verbose && isatty(STDERR_FILENO) != 0;
  const bool shows = checksum && !global.no_progress && (global.verbose || on_terminal);
  // The bytes of the total: a whole object's size takes a stat, only when progress shows.
  int64_t total = command.length;
  if (shows && total < 0) {
    if (auto entry = stat_entry(context, *session, command.path)) {
      total = std::max<int64_t>(entry->size - command.offset, 0);
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
  if (!result.reply.ok()) return report_failure(context, result.reply);
  if (checksum) std::cout << result.response.value_or("") << std::endl;
  return kExitOk;
}

}  // namespace vorlan::tool
