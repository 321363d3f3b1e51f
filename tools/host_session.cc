// The session and its tokens: the module load, the session documents, --creds-command, the
// module's diagnostic log, and the `session` subcommand.
#include "host_tool.h"

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
#include <sstream>
#include <utility>

namespace vorlan::tool {

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

namespace {

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

// A document the module would refuse without naming its file (no JSON object) is refused here.
std::optional<std::string> read_document(const std::string &path, const char *option) {
  std::optional<std::string> text = read_optional(path, option);
  if (!text) return text;
  json_error_t error;
  const std::unique_ptr<json_t, decltype(&json_decref)> root(json_loads(text->c_str(), 0, &error),
                                                             &json_decref);
  if (json_is_object(root.get())) return text;
  throw UsageError(
      std::string(option) + ": " + path + " is not a JSON object" +
      (root ? "" : ": " + std::string(error.text) + " (line " + std::to_string(error.line) + ")"));
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

vorlan::host::SessionDocuments make_documents(const GlobalOptions &options,
                                              const std::shared_ptr<TokenMemory> &memory) {
  vorlan::host::SessionDocuments documents;
  documents.config = read_document(options.storage_policy, "--storage-policy");
  documents.collection_policies =
      read_document(options.collection_policies, "--collection-policies");
  const std::optional<std::string> creds = read_document(options.creds, "--creds");
  const std::optional<std::string> renew_creds =
      read_document(options.renew_creds, "--renew-creds");
  const std::string command = options.creds_command;
  const std::shared_ptr<TokenSource> source = make_token_source(options);
  if (source) {
    memory->source = options.metadata_token ? "--metadata-token" : "--service-account-file";
  }
  documents.provider = [=](const std::string &key) -> std::optional<std::string> {
    if (key != "creds" && key != "renew-creds") return std::nullopt;
    std::string failure;
    std::optional<std::string> document = source ? source->document(key == "renew-creds", &failure)
                                          : command.empty() ? (key == "creds" ? creds : renew_creds)
                                                            : run_creds_command(command, &failure);
    std::lock_guard<std::mutex> guard(memory->lock);
    // A document the module refuses, so that it sends nothing rather than go on without a token.
    if ((source || !command.empty()) && !document) {
      if (!memory->command_failure) memory->command_failure = failure;
      return std::string();
    }
    memory->last = document;
    return document;
  };
  return documents;
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
// Whether the levels field names `level` (upper case) or has its bit set.
bool levels_select(const std::string &field, const std::string &level, unsigned long long bit) {
  for (std::string word : split(field, '|')) {
    for (char &c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "ALL" || word == level) return true;
    if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos &&
        (std::strtoull(word.c_str(), nullptr, 10) & bit) != 0) {
      return true;
    }
  }
  return false;
}

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

// The time a token expiry names, read as the module reads it: "2024-03-01T10:20:30.5+02:00",
// with a fraction of any length or none, and "Z" for UTC.
std::optional<time_t> token_expiry_time(const std::string &expiry) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, seconds_end = 0;
  int offset_hours = 0, offset_minutes = 0;
  if (std::sscanf(expiry.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &seconds_end) != 6) {
    return std::nullopt;
  }
  size_t rest = static_cast<size_t>(seconds_end);
  if (rest < expiry.size() && expiry[rest] == '.') {
    const size_t digits = expiry.find_first_not_of("0123456789", rest + 1);
    if (digits == rest + 1) return std::nullopt;
    rest = std::min(digits, expiry.size());
  }
  rest = std::min(expiry.find_first_not_of(" \t\n\v\f\r", rest), expiry.size());
  if (rest < expiry.size() && (expiry[rest] == 'Z' || expiry[rest] == 'z')) {
    // UTC: no offset.
  } else if (std::sscanf(expiry.c_str() + rest, "%3d:%2d", &offset_hours, &offset_minutes) != 2) {
    return std::nullopt;
  } else if (expiry[rest] == '-') {
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

// The file the module read its settings from, as it logged it; its default when not --config.
std::string config_file(const Context &context) {
  const std::string &given = context.options.config;
  if (std::optional<std::string> read = context.log.last("configuration file read: ")) {
    return *read + (given.empty() ? " (the module's default)" : "");
  }
  return given.empty() ? "(the module's default; its log could not be read)" : given;
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

}  // namespace

std::string trimmed(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<int> creds_command_stop(TokenMemory &memory) {
  std::lock_guard<std::mutex> guard(memory.lock);
  if (!memory.command_failure) return std::nullopt;
  if (!std::exchange(memory.failure_reported, true)) {
    std::cerr << kProgram << memory.source
              << " failed, so no request was sent: " << *memory.command_failure;
    if (memory.command_failure->back() != '\n') std::cerr << "\n";
  }
  return kExitOther;
}

void ModuleLog::start() {
  char name[] = "/tmp/vorlan-gridftp-host-log.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return;
  close(fd);
  path_ = name;
  // INFO holds the lines on how many requests a transfer ran at once, which -v prints.
  std::string levels = "DEBUG|INFO", flags, timestamp_levels;
  const char *setting = std::getenv("VORLAN_S3_DEBUG");
  const std::vector<std::string> fields = split(setting != nullptr ? setting : "", ',');
  // A setting the module would refuse gives the caller no log; the tool still takes its own.
  if (!fields.empty() && fields.size() <= 4 && !trimmed(setting).empty()) {
    levels = fields[0] + "|DEBUG|INFO";
    caller_output_ = fields.size() > 1 ? fields[1] : "";
    caller_wants_debug_ = levels_select(fields[0], "DEBUG", 4);
    caller_wants_info_ = levels_select(fields[0], "INFO", 2);
    if (fields.size() > 2) flags = fields[2];
    if (fields.size() > 3) timestamp_levels = fields[3];
  }
  setenv("VORLAN_S3_DEBUG", (levels + "," + path_ + "," + flags + "," + timestamp_levels).c_str(),
         1);
}

ModuleLog::~ModuleLog() {
  if (path_.empty()) return;
  try {
    if (caller_output_) copy_to_caller();
  } catch (...) {
    std::cerr << kProgram << "the module log could not be copied\n";
  }
  unlink(path_.c_str());
}

std::optional<std::string> ModuleLog::last(const std::string &marker) const {
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

std::optional<std::streamoff> ModuleLog::end() const {
  if (path_.empty()) return std::nullopt;
  std::ifstream in(path_, std::ios::ate);
  return in ? std::optional<std::streamoff>(in.tellg()) : std::nullopt;
}

int ModuleLog::count_since(std::streamoff from, const std::string &marker) const {
  std::ifstream in(path_);
  in.seekg(from);
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(marker) != std::string::npos;
  return count;
}

void ModuleLog::copy_to_caller() const {
  const bool to_stderr =
      caller_output_->empty() || *caller_output_ == "-" || *caller_output_ == "stderr";
  std::ofstream file;
  if (!to_stderr) file.open(*caller_output_, std::ios::app);
  std::ostream &out = to_stderr ? std::cerr : file;
  std::ifstream in(path_);
  std::string line;
  while (std::getline(in, line)) {
    if ((caller_wants_debug_ || line.find("s3: DEBUG: ") == std::string::npos) &&
        (caller_wants_info_ || line.find("s3:  INFO: ") == std::string::npos)) {
      out << line << "\n";
    }
  }
}

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
    std::cerr << kProgram << one_line(error) << "\n";
    return kExitUsage;
  }
  if (context.options.verbose) std::cerr << "config file: " << config_file(context) << "\n";
  return kExitOk;
}

// The session requests run in: started by the first request and kept, so that the shell's
// requests share one session as a client's do.
int open_session(Context &context, vorlan::host::Session **session) {
  context.request_start = std::chrono::steady_clock::now();
  context.request_log_start = context.log.end();
  // Breaches seen before (a timed-out stat's) are not this request's.
  context.violations_reported = context.host->violations().size();
  if (!context.session) {
    context.started =
        context.host->start_session(context.options.user, context.documents, &context.session);
    if (!context.started.reply.ok() || !context.session) {
      context.session.reset();
      if (auto stop = creds_command_stop(*context.tokens)) return *stop;
      return report_failure(context, context.started.reply, "session start");
    }
  }
  *session = context.session.get();
  return kExitOk;
}

bool holds_credentials(Context &context) {
  std::lock_guard<std::mutex> guard(context.tokens->lock);
  const JsonDocument token(context.tokens->last);
  return !token.string("access_token", "").empty() || !token.string("access_key_id", "").empty();
}

int run_session(Context &context) {
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  const vorlan::host::SessionStart &started = context.started;

  std::cout << "user: " << started.username << "\n"
            << "home directory: " << started.home_dir << "\n"
            << "config file: " << config_file(context) << "\n";
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
  std::optional<std::string> held;
  {
    std::lock_guard<std::mutex> guard(context.tokens->lock);
    held = context.tokens->last;
  }
  const JsonDocument token(held);
  // A key pair's id signs the requests; without one, the project goes as the key id.
  const JsonDocument policies(context.documents.collection_policies);
  std::cout << "key id: " << token.string("access_key_id", policies.string("project", "-").c_str())
            << "\n";
  std::cout << "token subject: " << token.string("sub", "-") << "\n"
            << "token expiry: " << token.string("token_expiry", "-") << "\n";
  const std::optional<time_t> expiry = token_expiry_time(token.string("token_expiry", ""));
  if (const time_t now = std::time(nullptr); expiry && now + kRenewalMargin >= *expiry) {
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

}  // namespace vorlan::tool
