// vorlan-gridftp-host: loads the storage module the way the GridFTP server does and runs one
// request per call from the shell. Each subcommand is one entry of the command table below;
// they share the global options, the module load and the session start.
#include <vorlan/host.hpp>

#include "transfer_io.h"

#include <CLI/CLI.hpp>

#include <jansson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Exit codes, one per kind of outcome.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,     // the tool itself failed
  kExitUsage = 2,       // bad options or unreadable input files
  kExitLoad = 3,        // the module could not be loaded or activated
  kExitReply4xx = 4,    // the request failed with a 4xx reply
  kExitReply5xx = 5,    // the request failed with a 5xx reply
  kExitReplyOther = 6,  // the request failed with a reply code outside 4xx and 5xx
  kExitLocal = 7,       // a local file or stream failed during a transfer (a full disk)
};

// The module installed with the tool (<prefix>/bin and <prefix>/lib) or built beside it
// (<build>/tools and <build>/gcloud), so a moved installation or build tree loads its own
// module; else the path the build recorded.
std::string default_module() {
  std::string recorded = VORLAN_DEFAULT_MODULE;
  char exe[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe));
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof(exe))) return recorded;
  std::string dir(exe, static_cast<size_t>(length));
  dir.erase(dir.rfind('/') + 1);
  for (const std::string &beside :
       {dir + VORLAN_INSTALLED_MODULE,
        dir + "../gcloud/" + recorded.substr(recorded.rfind('/') + 1)}) {
    if (access(beside.c_str(), R_OK) == 0) return beside;
  }
  return recorded;
}

struct GlobalOptions {
  std::string module = default_module();
  std::string config;
  std::string storage_policy;
  std::string collection_policies;
  std::string creds;
  std::string renew_creds;
  std::string creds_command;
  std::string user = "anonymous";
  int timeout_seconds = 120;
  bool verbose = false;
  int update_interval = 5;  // the host's progress interval, seconds; 0 for none
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string read_file(const std::string &path, const char *option) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(std::string(option) + ": cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> read_optional(const std::string &path, const char *option) {
  if (path.empty()) return std::nullopt;
  return read_file(path, option);
}

// Runs the command with /bin/sh and returns what it printed. When it fails, nullopt, with
// `failure` saying how it ended and what it wrote on its standard error; when it succeeds, its
// standard error is passed on.
std::optional<std::string> run_creds_command(const std::string &command, std::string *failure) {
  char err_path[] = "/tmp/vorlan-gridftp-host-creds.XXXXXX";
  const int err_fd = mkstemp(err_path);
  if (err_fd < 0) {
    *failure = "its standard error could not be kept: " + std::string(std::strerror(errno));
    return std::nullopt;
  }
  close(err_fd);
  // On lines of their own, so that a comment ending the command hides nothing.
  FILE *pipe = popen(("(\n" + command + "\n) 2>'" + err_path + "'").c_str(), "r");
  std::string output;
  char buffer[4096];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    output.append(buffer, n);
  }
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  std::string errors = read_optional(err_path, "--creds-command").value_or("");
  unlink(err_path);
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    std::cerr << errors;
    return output;
  }
  if (status == -1) {
    *failure = "it could not be run";
  } else if (WIFEXITED(status)) {
    *failure = "exit status " + std::to_string(WEXITSTATUS(status));
  } else {
    *failure = "killed by signal " + std::to_string(WTERMSIG(status));
  }
  *failure +=
      errors.empty() ? ", nothing on its standard error" : "; its standard error:\n" + errors;
  return std::nullopt;
}

// The token document last handed to the module, so that `session` shows the token the module
// holds, not one from another run of --creds-command; and how the command failed, if it did.
struct TokenMemory {
  std::mutex lock;
  std::optional<std::string> last;
  std::optional<std::string> command_failure;
  bool failure_reported = false;
};

vorlan::host::SessionDocuments make_documents(const GlobalOptions &options,
                                              const std::shared_ptr<TokenMemory> &memory) {
  vorlan::host::SessionDocuments documents;
  documents.config = read_optional(options.storage_policy, "--storage-policy");
  documents.collection_policies =
      read_optional(options.collection_policies, "--collection-policies");
  const std::optional<std::string> creds = read_optional(options.creds, "--creds");
  const std::optional<std::string> renew_creds =
      read_optional(options.renew_creds, "--renew-creds");
  const std::string command = options.creds_command;
  documents.provider = [=](const std::string &key) -> std::optional<std::string> {
    if (key != "creds" && key != "renew-creds") return std::nullopt;
    std::string failure;
    std::optional<std::string> document = command.empty() ? (key == "creds" ? creds : renew_creds)
                                                          : run_creds_command(command, &failure);
    std::lock_guard<std::mutex> guard(memory->lock);
    // A document the module refuses, so that it sends nothing rather than go on without a token.
    if (!command.empty() && !document) {
      if (!memory->command_failure) memory->command_failure = failure;
      return std::string();
    }
    memory->last = document;
    return document;
  };
  return documents;
}

// After a failed --creds-command the tool stops: the command's failure once on stderr, and
// the tool's own failure as the exit code.
std::optional<int> creds_command_stop(TokenMemory &memory) {
  std::lock_guard<std::mutex> guard(memory.lock);
  if (!memory.command_failure) return std::nullopt;
  if (!std::exchange(memory.failure_reported, true)) {
    std::cerr << "vorlan-gridftp-host: --creds-command failed, so no request was sent: "
              << *memory.command_failure;
    if (memory.command_failure->back() != '\n') std::cerr << "\n";
  }
  return kExitFailure;
}

int exit_code_for(const vorlan::host::Reply &reply) {
  if (reply.code >= 400 && reply.code < 500) return kExitReply4xx;
  if (reply.code >= 500 && reply.code < 600) return kExitReply5xx;
  return kExitReplyOther;
}

int report_failure(const char *what, const vorlan::host::Reply &reply) {
  std::cerr << what << " failed\n"
            << "code: " << reply.code << "\n"
            << "error type: " << (reply.error_type.empty() ? "-" : reply.error_type) << "\n"
            << "headers: " << (reply.headers.empty() ? "-" : reply.headers) << "\n"
            << "reply:\n"
            << reply.text;
  if (!reply.text.empty() && reply.text.back() != '\n') std::cerr << "\n";
  return exit_code_for(reply);
}

std::string trimmed(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(trimmed(part));
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// Whether a VORLAN_S3_DEBUG level field ("DEBUG|ERROR", "ALL", "31") selects DEBUG (bit 4).
bool levels_select_debug(const std::string &field) {
  for (std::string word : split(field, '|')) {
    for (char &c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "ALL" || word == "DEBUG") return true;
    if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos &&
        (std::strtoull(word.c_str(), nullptr, 10) & 4) != 0) {
      return true;
    }
  }
  return false;
}

// The module writes its session settings to its diagnostic log at DEBUG; the tool points the
// log at a temporary file and reads them back to show the host and region the module chose.
// A caller's own VORLAN_S3_DEBUG keeps its levels and flags, with DEBUG added, and the lines
// it asked for are copied to its output when the tool ends.
class ModuleLog {
 public:
  void start() {
    char name[] = "/tmp/vorlan-gridftp-host-log.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    close(fd);
    path_ = name;
    std::string levels = "DEBUG", flags, timestamp_levels;
    const char *setting = std::getenv("VORLAN_S3_DEBUG");
    const std::vector<std::string> fields = split(setting != nullptr ? setting : "", ',');
    // A setting the module would refuse gives the caller no log; the tool still takes its own.
    if (!fields.empty() && fields.size() <= 4 && !trimmed(setting).empty()) {
      levels = fields[0] + "|DEBUG";
      caller_output_ = fields.size() > 1 ? fields[1] : "";
      caller_wants_debug_ = levels_select_debug(fields[0]);
      if (fields.size() > 2) flags = fields[2];
      if (fields.size() > 3) timestamp_levels = fields[3];
    }
    setenv("VORLAN_S3_DEBUG", (levels + "," + path_ + "," + flags + "," + timestamp_levels).c_str(),
           1);
  }
  // Runs after the module is unloaded, so its log is complete.
  ~ModuleLog() {
    if (path_.empty()) return;
    try {
      if (caller_output_) copy_to_caller();
    } catch (...) {
      std::cerr << "vorlan-gridftp-host: the module log could not be copied\n";
    }
    unlink(path_.c_str());
  }
  // The text after `marker` on the last line that has it.
  std::optional<std::string> last(const std::string &marker) const {
    if (path_.empty()) return std::nullopt;
    std::ifstream in(path_);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
      const size_t at = line.find(marker);
      if (at != std::string::npos) found = line.substr(at + marker.size());
    }
    return found;
  }

 private:
  void copy_to_caller() const {
    const bool to_stderr =
        caller_output_->empty() || *caller_output_ == "-" || *caller_output_ == "stderr";
    std::ofstream file;
    if (!to_stderr) file.open(*caller_output_, std::ios::app);
    std::ostream &out = to_stderr ? std::cerr : file;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
      if (caller_wants_debug_ || line.find("s3: DEBUG: ") == std::string::npos) out << line << "\n";
    }
  }

  std::string path_;
  std::optional<std::string> caller_output_;  // set when the caller asked for a log
  bool caller_wants_debug_ = false;
};

// Members of a JSON document as the tool reads them.
struct JsonDocument {
  std::unique_ptr<json_t, decltype(&json_decref)> root{nullptr, &json_decref};
  explicit JsonDocument(const std::optional<std::string> &text) {
    if (text) root.reset(json_loads(text->c_str(), 0, nullptr));
  }
  std::string string(const char *member, const char *absent) const {
    const char *value = root ? json_string_value(json_object_get(root.get(), member)) : nullptr;
    return value != nullptr ? value : absent;
  }
};

// The time a token expiry in the form the module reads ("2024-03-01T10:20:30.5+02:00") names.
std::optional<time_t> token_expiry_time(const std::string &expiry) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, offset_start = 0;
  int offset_hours = 0, offset_minutes = 0;
  if (std::sscanf(expiry.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%*6d%n%3d:%2d", &year, &month, &day,
                  &hour, &minute, &second, &offset_start, &offset_hours, &offset_minutes) != 8) {
    return std::nullopt;
  }
  if (expiry.find('-', static_cast<size_t>(offset_start)) != std::string::npos) {
    offset_minutes = -offset_minutes;
  }
  struct tm calendar = {};
  calendar.tm_year = year - 1900;
  calendar.tm_mon = month - 1;
  calendar.tm_mday = day;
  calendar.tm_hour = hour - offset_hours;
  calendar.tm_min = minute - offset_minutes;
  calendar.tm_sec = second;
  return timegm(&calendar);
}

std::string config_file_value(const std::string &config_path, const std::string &key) {
  if (config_path.empty()) return "";
  std::ifstream in(config_path);
  std::string line, value;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string name, equals, first;
    if (words >> name >> equals >> first && name == key && equals == "=") value = first;
  }
  return value;
}

// What `ls` and `stat` were given.
struct StatOptions {
  std::string path;
  bool json = false;
};

// What `get` and `put` were given.
struct TransferOptions {
  std::string remote, local;
  std::optional<int64_t> offset, length;
  std::vector<std::string> ranges;
  uint64_t block_size = 262144;
  int parallel = 4;
  std::optional<int64_t> mtime, alloc;
  std::optional<std::string> md5;
  bool compute_md5 = false;
  std::string checksum_algorithm = "md5";
  bool append = false;
};

// What mkdir, rmdir, rm, mv and cksum were given.
struct CommandOptions {
  std::string path, from;
  int64_t offset = 0, length = -1;
  std::string algorithm = "md5";
};

// Members end in reverse order: the session ends before the module is unloaded, and the module
// is unloaded before the log is copied.
struct Context {
  GlobalOptions options;
  StatOptions stat;
  TransferOptions transfer;
  CommandOptions command;
  bool shell_stop_on_failure = false;
  ModuleLog log;
  std::shared_ptr<TokenMemory> tokens = std::make_shared<TokenMemory>();
  std::unique_ptr<vorlan::host::Host> host;
  vorlan::host::SessionDocuments documents;
  std::unique_ptr<vorlan::host::Session> session;
  vorlan::host::SessionStart started;

  // With --verbose, one "report: <what> key=value ..." line on stderr for each report the
  // module makes to the host; every subcommand reports through here.
  void report(const std::string &what) const {
    if (options.verbose) std::cerr << "report: " << what << "\n";
  }
};

int load_module(Context &context) {
  context.documents = make_documents(context.options, context.tokens);
  context.log.start();
  vorlan::host::Host::Options host_options;
  host_options.module_path = context.options.module;
  if (!context.options.config.empty()) host_options.option_string = context.options.config;
  host_options.request_timeout = std::chrono::seconds(context.options.timeout_seconds);
  std::string error;
  context.host = vorlan::host::Host::load(host_options, &error);
  if (!context.host) {
    std::cerr << "cannot load " << context.options.module << ": " << error << "\n";
    return kExitLoad;
  }
  return kExitOk;
}

// The session requests run in: started by the first request and kept, so that the shell's
// requests share one session as a client's do.
int open_session(Context &context, vorlan::host::Session **session) {
  if (!context.session) {
    context.started =
        context.host->start_session(context.options.user, context.documents, &context.session);
    if (!context.started.reply.ok() || !context.session) {
      context.session.reset();
      if (auto stop = creds_command_stop(*context.tokens)) return *stop;
      return report_failure("session start", context.started.reply);
    }
  }
  *session = context.session.get();
  return kExitOk;
}

int run_session(Context &context) {
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  const vorlan::host::SessionStart &started = context.started;

  std::cout << "user: " << started.username << "\n"
            << "home directory: " << started.home_dir << "\n";
  if (auto line = context.log.last("initializing to use host: ")) {
    const std::string separator = " and region: ";
    const size_t at = line->find(separator);
    std::cout << "host: " << line->substr(0, at) << "\n"
              << "region: " << (at == std::string::npos ? "-" : line->substr(at + separator.size()))
              << "\n";
  } else {
    const std::string configured = config_file_value(context.options.config, "host_name");
    std::cout << "host: " << (configured.empty() ? "(module default)" : configured)
              << " (from the configuration file)\n"
              << "region: (unknown: the module's log could not be read)\n";
  }
  const JsonDocument policies(context.documents.collection_policies);
  std::cout << "key id: " << policies.string("project", "-") << "\n";

  std::optional<std::string> held;
  {
    std::lock_guard<std::mutex> guard(context.tokens->lock);
    held = context.tokens->last;
  }
  const JsonDocument token(held);
  std::cout << "token subject: " << token.string("sub", "-") << "\n"
            << "token expiry: " << token.string("token_expiry", "-") << "\n";
  // The module renews a token fewer than 300 seconds before it expires.
  const std::optional<time_t> expiry = token_expiry_time(token.string("token_expiry", ""));
  if (const time_t now = std::time(nullptr); expiry && now + 299 >= *expiry) {
    std::cout << "token state: " << (now >= *expiry ? "expired" : "due for renewal")
              << " (the module asks for a renewal before the next request; without one, requests "
                 "continue without a token)\n";
  }

  const JsonDocument storage_policy(context.documents.config);
  json_t *buckets =
      storage_policy.root ? json_object_get(storage_policy.root.get(), "buckets") : nullptr;
  std::cout << "allowed buckets:";
  if (json_array_size(buckets) == 0) {
    std::cout << " (all)";
  } else {
    for (size_t i = 0; i < json_array_size(buckets); ++i) {
      std::cout << " " << json_string_value(json_array_get(buckets, i));
    }
  }
  std::cout << "\n";
  // What the module told the server's log at session start, such as members of the policies
  // it does not know and so ignores.
  for (const std::string &line : context.host->server_log()) {
    std::cout << "warning: " << line << "\n";
  }
  return kExitOk;
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

// Runs one stat request and prints its entries as each report arrives, so a listing of any
// size needs only one batch in memory.
int run_stat(Context &context, bool file_only) {
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  const bool json = context.stat.json;
  auto print = [&context, json](const std::vector<vorlan::host::Stat> &batch, bool final,
                                vorlan_result_t result) {
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
  return kExitOk;
}

void add_stat_options(CLI::App *command, Context &context) {
  command->add_option("PATH", context.stat.path, "The path: /, /bucket or /bucket/key")->required();
  command->add_flag("--json", context.stat.json,
                    "One JSON object per entry and line, with the keys name, mode, nlink, uid, "
                    "gid, size, atime, ctime, mtime, dev, ino, symlink_target");
}

vorlan::host::DataChannelOptions channel_options(const TransferOptions &options,
                                                 int update_interval) {
  vorlan::host::DataChannelOptions channel;
  channel.update_interval = update_interval;
  channel.block_size = options.block_size;
  channel.optimal_concurrency = options.parallel;
  return channel;
}

// Reports the transfer's two reports to the host (with its bytes: written for a download,
// received for an upload); the host's contract breaches fail the run even after a success.
int finish_transfer(const Context &context, const char *what,
                    const vorlan::host::TransferResult &result, int64_t bytes) {
  if (result.began) context.report("begin-transfer");
  context.report("finished-transfer bytes=" + std::to_string(bytes) + " result=" +
                 (result.reply.ok() ? std::string("ok") : std::to_string(result.reply.code)));
  for (const std::string &violation : context.host->violations()) {
    std::cerr << "vorlan-gridftp-host: host violation: " << violation << "\n";
  }
  if (!result.reply.ok()) return report_failure(what, result.reply);
  return context.host->violations().empty() ? kExitOk : kExitFailure;
}

std::vector<vorlan::tool::Range> requested_ranges(const TransferOptions &options) {
  std::vector<vorlan::tool::Range> ranges;
  try {
    if (options.offset || options.length) {
      if (!options.ranges.empty())
        throw std::invalid_argument("--range goes without --offset/--length");
      ranges.push_back(vorlan::tool::parse_range(std::to_string(options.offset.value_or(0)) + ":" +
                                                 std::to_string(options.length.value_or(-1))));
    }
    for (const std::string &text : options.ranges)
      ranges.push_back(vorlan::tool::parse_range(text));
    vorlan::tool::check_ranges(ranges);
  } catch (const std::invalid_argument &error) {
    throw UsageError(error.what());
  }
  return ranges;
}

// Says which local file or stream failed and why; the exit code of a local failure.
int report_local_failure(const char *verb, const vorlan::host::IoFailure &failure) {
  char buffer[256];
  std::cerr << "vorlan-gridftp-host: cannot " << verb << " " << failure.target << ": "
            << strerror_r(failure.error_number, buffer, sizeof buffer) << "\n";
  return kExitLocal;
}

int run_get(Context &context) {
  const TransferOptions &options = context.transfer;
  const std::vector<vorlan::tool::Range> ranges = requested_ranges(options);
  vorlan::host::DataChannelOptions channel =
      channel_options(options, context.options.update_interval);
  if (!ranges.empty()) channel.read_ranges = ranges;
  std::unique_ptr<vorlan::tool::DownloadFile> file;
  std::unique_ptr<vorlan::tool::OrderedStdoutSink> out;
  if (options.local == "-") {
    out = std::make_unique<vorlan::tool::OrderedStdoutSink>(channel.read_ranges);
  } else {
    try {
      // With a range the file is filled in, not replaced: a partly downloaded file is completed.
      file = std::make_unique<vorlan::tool::DownloadFile>(options.local, ranges.empty());
    } catch (const std::runtime_error &error) {
      throw UsageError(error.what());
    }
  }
  vorlan::host::DataSink &local = out ? static_cast<vorlan::host::DataSink &>(*out) : *file;
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  vorlan::host::TransferResult result;
  bool local_failed = false;
  {
    // Known only when every range is bounded.
    int64_t total = 0;
    for (const auto &[offset, length] : channel.read_ranges) {
      total = length < 0 || total < 0 ? -1 : total + length;
    }
    vorlan::tool::Progress progress(std::max<int64_t>(total, 0));
    vorlan::tool::CountingSink sink(local, progress);
    vorlan::host::TransferInfo info;
    info.pathname = options.remote;
    result = context.host->send(*session, info, channel, sink);
    local_failed = sink.failed();
  }
  int code = finish_transfer(context, "get", result, result.bytes_written);
  if (code == kExitOk && !local_failed) {
    local_failed = out ? !out->finish() : !file->commit();
  }
  if (local_failed) code = report_local_failure("write", local.failure());
  if (code != kExitOk && file) {
    const std::string fate = file->fate_after_failure();
    file.reset();
    if (!fate.empty()) std::cerr << "vorlan-gridftp-host: " << fate << "\n";
  }
  return code;
}

int run_put(Context &context) {
  const TransferOptions &options = context.transfer;
  const bool from_stdin = options.local == "-";
  if (from_stdin && options.compute_md5) throw UsageError("--compute-md5 needs a file, not -");
  if (options.md5 && options.compute_md5) throw UsageError("--md5 goes without --compute-md5");
  std::unique_ptr<vorlan::host::DataSource> source;
  vorlan::tool::StdinSource *stdin_source = nullptr;
  if (from_stdin) {
    // Read to its end whatever --alloc says, so that the module sees more or fewer bytes than
    // announced and fails the upload.
    auto reader = std::make_unique<vorlan::tool::StdinSource>(
        std::chrono::seconds(context.options.timeout_seconds));
    stdin_source = reader.get();
    source = std::move(reader);
  } else {
    std::string error;
    source = vorlan::host::file_source(options.local, &error);
    if (!source) throw UsageError(error);
  }
  vorlan::host::TransferInfo info;
  info.pathname = options.remote;
  info.truncate = !options.append;
  // Standard input without --alloc has a size unknown until its end: 0 tells the module so.
  info.alloc_size = options.alloc.value_or(std::max<int64_t>(source->size(), 0));
  // Given as they are, well-formed or not: the module's checks are what the user sees.
  info.expected_checksum =
      options.compute_md5 ? std::optional(vorlan::tool::file_md5_hex(options.local)) : options.md5;
  if (info.expected_checksum) info.expected_checksum_alg = options.checksum_algorithm;
  vorlan::host::DataChannelOptions channel =
      channel_options(options, context.options.update_interval);
  if (options.mtime) channel.modification_time = static_cast<time_t>(*options.mtime);

  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  vorlan::host::TransferResult result;
  bool local_failed = false;
  {
    vorlan::tool::Progress progress(info.alloc_size);
    vorlan::tool::CountingSource counted(*source, progress);
    result = context.host->recv(*session, info, channel, counted);
    local_failed = counted.failed();
  }
  const int code = finish_transfer(context, "put", result, result.bytes_recvd);
  if (local_failed) return report_local_failure("read", source->failure());
  if (code != kExitOk && options.alloc && stdin_source != nullptr &&
      stdin_source->bytes_read() > *options.alloc) {
    std::cerr << "vorlan-gridftp-host: standard input held more than the " << *options.alloc
              << " bytes announced with --alloc\n";
  }
  return code;
}

void add_channel_options(CLI::App *command, TransferOptions &options) {
  command->add_option("--block-size", options.block_size, "Bytes per data-channel block")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 30));
  command
      ->add_option("--parallel", options.parallel,
                   "The host's optimal concurrency: blocks in flight at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
}

void add_get_options(CLI::App *command, Context &context) {
  TransferOptions &options = context.transfer;
  command->add_option("PATH", options.remote, "The object: /bucket/key")->required();
  command->add_option("LOCAL", options.local, "The file to write, - for standard output")
      ->required();
  command->add_option("--offset", options.offset, "First byte of one partial range");
  command->add_option("--length", options.length, "Bytes of that range (-1: to the end)");
  command->add_option("--range", options.ranges,
                      "OFF:LEN, repeatable: several ranges in one transfer (LEN -1: to the end)");
  add_channel_options(command, options);
}

void add_put_options(CLI::App *command, Context &context) {
  TransferOptions &options = context.transfer;
  command->add_option("LOCAL", options.local, "The file to send, - for standard input")->required();
  command->add_option("PATH", options.remote, "The object: /bucket/key")->required();
  command->add_option("--mtime", options.mtime,
                      "The modification time the host reports, in seconds since the epoch");
  command->add_option("--md5", options.md5, "The expected checksum, given to the module as is");
  command->add_flag("--compute-md5", options.compute_md5,
                    "Send the file's own MD5 as the expected checksum");
  command
      ->add_option("--checksum-algorithm", options.checksum_algorithm,
                   "The algorithm name sent with the checksum")
      ->capture_default_str();
  command->add_option("--alloc", options.alloc,
                      "The size the client announces (default: the file's; with -, unknown)");
  command->add_flag("--append", options.append,
                    "Continue an earlier transfer (the truncate flag is clear)");
  add_channel_options(command, options);
}

// Runs one command. Its progress replies show on a terminal's stderr, or with --verbose as
// report lines; cksum prints the module's reply text, the checksum, alone on stdout.
int run_command(Context &context, const char *what, int code) {
  vorlan::host::Session *session = nullptr;
  if (int exit_code = open_session(context, &session); exit_code != kExitOk) return exit_code;
  const CommandOptions &command = context.command;
  const bool on_terminal = !context.options.verbose && isatty(STDERR_FILENO) != 0;
  bool shown = false;
  vorlan::host::CommandOptions host_options;
  host_options.update_interval = context.options.update_interval;
  host_options.on_intermediate = [&](const std::string &text) {
    context.report("intermediate " + text);
    if (on_terminal) {
      std::cerr << "\r" << what << " " << command.path << ": " << text << std::flush;
      shown = true;
    }
  };
  const bool checksum = code == VORLAN_GFS_CMD_CKSM;
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

void add_path_option(CLI::App *command, Context &context) {
  command->add_option("PATH", context.command.path, "The path: /bucket or /bucket/key")->required();
}

void add_mv_options(CLI::App *command, Context &context) {
  command->add_option("FROM", context.command.from, "The object to rename: /bucket/key")
      ->required();
  command->add_option("TO", context.command.path, "Its new name: /bucket/key")->required();
}

void add_cksum_options(CLI::App *command, Context &context) {
  add_path_option(command, context);
  command->add_option("--offset", context.command.offset, "First byte")->capture_default_str();
  command->add_option("--length", context.command.length, "Bytes (-1: to the end)")
      ->capture_default_str();
  command->add_option("--algorithm", context.command.algorithm, "The checksum's algorithm")
      ->capture_default_str();
}

struct Subcommand {
  const char *name;
  std::string description;
  std::function<int(Context &)> run;
  // Adds the subcommand's own options and arguments, stored in the context.
  std::function<void(CLI::App *, Context &)> add_options = nullptr;
};

constexpr const char *kEntryFormat =
    "Each entry is one line: the mode (drwx------), the link count, the size, the\n"
    "modification time in UTC (YYYY-MM-DDTHH:MM:SSZ, \"-\" when unknown) and the name.";

int run_shell(Context &context);

const std::vector<Subcommand> &subcommands() {
  static const std::vector<Subcommand> table = {
      {"session",
       "Start a session, print what it is, and end it.\n"
       "  user, home directory: as the module reported them to the server;\n"
       "  host, region: as the module logged them when it initialised the session (read\n"
       "    from its diagnostic log, which the tool points at a temporary file; a\n"
       "    VORLAN_S3_DEBUG of the caller still gets the lines it asks for);\n"
       "  key id: \"project\" of --collection-policies;\n"
       "  token subject and expiry: \"sub\" and \"token_expiry\" of the token document the\n"
       "    module was given;\n"
       "  allowed buckets: \"buckets\" of --storage-policy.",
       run_session},
      {"ls",
       (std::string("List PATH: a directory's entries (\".\" first), or a file.\n") + kEntryFormat)
           .c_str(),
       [](Context &context) { return run_stat(context, false); }, add_stat_options},
      {"stat", (std::string("Describe PATH itself (a file-only stat).\n") + kEntryFormat).c_str(),
       [](Context &context) { return run_stat(context, true); }, add_stat_options},
      {"get",
       "Download PATH into LOCAL at the object's own offsets. A whole object goes to a\n"
       "temporary file beside LOCAL that replaces it once complete, so a failed download\n"
       "leaves LOCAL as it was. With --offset/--length or --range LOCAL itself is filled\n"
       "in, not truncated, so a partly downloaded file can be completed; standard output\n"
       "receives the bytes of the ranges in order.",
       run_get, add_get_options},
      {"put",
       "Upload LOCAL to PATH in one request, with the modification time and the expected\n"
       "checksum a client would give.",
       run_put, add_put_options},
      {"mkdir",
       "Make the directory PATH (an empty placeholder object named PATH/), or the bucket\n"
       "when PATH is /bucket.",
       [](Context &context) { return run_command(context, "mkdir", VORLAN_GFS_CMD_MKD); },
       add_path_option},
      {"rmdir",
       "Remove the directory PATH's placeholder (objects below it stay), or the bucket\n"
       "when PATH is /bucket.",
       [](Context &context) { return run_command(context, "rmdir", VORLAN_GFS_CMD_RMD); },
       add_path_option},
      {"rm", "Delete the object PATH.",
       [](Context &context) { return run_command(context, "rm", VORLAN_GFS_CMD_DELE); },
       add_path_option},
      {"mv", "Rename the object FROM to TO (a copy, then a delete), also across buckets.",
       [](Context &context) { return run_command(context, "mv", VORLAN_GFS_CMD_RNTO); },
       add_mv_options},
      {"cksum",
       "Print the checksum of PATH, or of a range of it, alone on standard output. The\n"
       "module answers from the ETag, the \"md5\" metadata or its cache when it can, and\n"
       "otherwise reads the bytes, reporting progress at the --update-interval.",
       [](Context &context) { return run_command(context, "cksum", VORLAN_GFS_CMD_CKSM); },
       add_cksum_options},
      {"shell",
       "Run subcommands read from standard input, one per line with its arguments (quote\n"
       "arguments with blanks), in one session, as an FTP client would. Lines starting\n"
       "with # are comments; a terminal gets a prompt. The exit code is that of the first\n"
       "failed line (0 when none failed).",
       run_shell,
       [](CLI::App *command, Context &context) {
         command->add_flag("-e", context.shell_stop_on_failure, "Stop at the first failure");
       }},
  };
  return table;
}
// Adds the subcommands to `app` (without "shell" for the shell's own lines); *chosen becomes
// the one parsed.
void add_subcommands(CLI::App &app, Context &context, const Subcommand **chosen, bool in_shell) {
  app.require_subcommand(1);
  for (const Subcommand &subcommand : subcommands()) {
    if (in_shell && std::string(subcommand.name) == "shell") continue;
    CLI::App *command = app.add_subcommand(subcommand.name, subcommand.description);
    command->callback([chosen, &subcommand] { *chosen = &subcommand; });
    if (subcommand.add_options) subcommand.add_options(command, context);
  }
}

// Runs `run`, turning what it throws into the exit code and message of its kind.
int guarded(const std::function<int()> &run) {
  try {
    return run();
  } catch (const UsageError &error) {
    std::cerr << "vorlan-gridftp-host: " << error.what() << "\n";
    return kExitUsage;
  } catch (const std::exception &error) {
    std::cerr << "vorlan-gridftp-host: " << error.what() << "\n";
    return kExitFailure;
  }
}

int run_shell_line(Context &context, const std::string &line) {
  context.transfer = {};
  context.stat = {};
  context.command = {};
  CLI::App app{"", "vorlan-gridftp-host shell:"};
  const Subcommand *chosen = nullptr;
  add_subcommands(app, context, &chosen, true);
  try {
    app.parse(line, false);
  } catch (const CLI::ParseError &error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
  }
  return guarded([&] { return chosen->run(context); });
}

int run_shell(Context &context) {
  const bool prompt = isatty(STDIN_FILENO) != 0;
  int status = kExitOk;
  std::string line;
  while ((prompt && std::cerr << "vorlan> " << std::flush), std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    const int code = run_shell_line(context, line);
    std::cout.flush();
    if (auto stop = creds_command_stop(*context.tokens)) return *stop;
    if (code == kExitOk) continue;
    if (status == kExitOk) status = code;
    if (context.shell_stop_on_failure) break;
  }
  if (prompt) std::cerr << "\n";
  return status;
}

int run_tool(int argc, char **argv) {
  Context context;
  GlobalOptions &options = context.options;
  CLI::App app{
      "Load the Google Cloud storage module the way the GridFTP server does and run one request\n"
      "(or, with shell, a session of them).\n"
      "\n"
      "Exit codes: 0 success; 1 the tool itself failed; 2 usage error or unreadable input\n"
      "file; 3 module load failure; 4 a 4xx reply; 5 a 5xx reply; 6 a failed reply with\n"
      "another code; 7 a local file or stream failed during a transfer (e.g. a full disk).\n"
      "A failed reply is printed on stderr: code, error-type word, headers and the\n"
      "control-channel reply text.",
      "vorlan-gridftp-host"};
  app.add_option("--module", options.module,
                 "The module's shared object (default: the one built beside the tool)")
      ->capture_default_str();
  app.add_option("--config", options.config,
                 "The module's configuration file (given to it as its option string)");
  app.add_option("--storage-policy", options.storage_policy,
                 "File with the session's \"config\" document (allowed buckets)");
  app.add_option("--collection-policies", options.collection_policies,
                 "File with the session's \"collection-policies\" document (project)");
  app.add_option("--creds", options.creds, "File with the session's token document (\"creds\")");
  app.add_option("--renew-creds", options.renew_creds,
                 "File with the token document given on renewal (\"renew-creds\")");
  app.add_option("--creds-command", options.creds_command,
                 "Shell command printing a fresh token document, run each time the module asks "
                 "for \"creds\" or \"renew-creds\" (takes precedence over --creds/--renew-creds)");
  app.add_option("--user", options.user, "The session's user name")->capture_default_str();
  app.add_option("--timeout", options.timeout_seconds,
                 "Seconds a request may go without progress (no bytes moved, no reply) before "
                 "it fails; a transfer that keeps moving data runs as long as it needs")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_flag("-v,--verbose", options.verbose,
               "Print a \"report: ...\" line on stderr for each report the module makes to the "
               "host, e.g. \"report: stat-partial count=32\"; a command's progress replies\n"
               "are \"report: intermediate TEXT\"");
  app.add_option("--update-interval", options.update_interval,
                 "Seconds between the progress replies the host asks of the module (0: none); "
                 "they show on stderr when it is a terminal")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);

  const Subcommand *chosen = nullptr;
  add_subcommands(app, context, &chosen, false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }
  return guarded([&] {
    const int code = load_module(context);
    if (code != kExitOk) return code;
    const int run = chosen->run(context);
    return creds_command_stop(*context.tokens).value_or(run);
  });
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run_tool(argc, argv);
  } catch (...) {
    std::cerr << "vorlan-gridftp-host: unexpected failure\n";
    return kExitFailure;
  }
}
