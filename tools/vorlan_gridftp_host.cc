// vorlan-gridftp-host: loads the storage module the way the GridFTP server does and runs one
// request per call from the shell. Each subcommand is one entry of the command table below;
// they share the global options, the module load and the session start.
#include <vorlan/host.hpp>

#include <CLI/CLI.hpp>

#include <jansson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Exit codes, one per kind of outcome.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,   // a failed reply without a 4xx or 5xx code, or a tool error
  kExitUsage = 2,     // bad options or unreadable input files
  kExitLoad = 3,      // the module could not be loaded or activated
  kExitReply4xx = 4,  // the request failed with a 4xx reply
  kExitReply5xx = 5,  // the request failed with a 5xx reply
};

struct GlobalOptions {
  std::string module = VORLAN_DEFAULT_MODULE;
  std::string config;
  std::string storage_policy;
  std::string collection_policies;
  std::string creds;
  std::string renew_creds;
  std::string creds_command;
  std::string user = "anonymous";
  int timeout_seconds = 120;
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

// Runs the command with /bin/sh and returns what it printed; nullopt when it fails.
std::optional<std::string> run_creds_command(const std::string &command) {
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "vorlan-gridftp-host: --creds-command failed; the module gets no token\n";
    return std::nullopt;
  }
  return output;
}

vorlan::host::SessionDocuments make_documents(const GlobalOptions &options) {
  vorlan::host::SessionDocuments documents;
  documents.config = read_optional(options.storage_policy, "--storage-policy");
  documents.collection_policies =
      read_optional(options.collection_policies, "--collection-policies");
  documents.creds = read_optional(options.creds, "--creds");
  documents.renew_creds = read_optional(options.renew_creds, "--renew-creds");
  if (!options.creds_command.empty()) {
    const std::string command = options.creds_command;
    documents.provider = [command](const std::string &key) -> std::optional<std::string> {
      if (key != "creds" && key != "renew-creds") return std::nullopt;
      return run_creds_command(command);
    };
  }
  return documents;
}

int exit_code_for(const vorlan::host::Reply &reply) {
  if (reply.code >= 400 && reply.code < 500) return kExitReply4xx;
  if (reply.code >= 500 && reply.code < 600) return kExitReply5xx;
  return kExitFailure;
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

// The module writes its session settings to its diagnostic log at DEBUG; the tool reads the
// log back to show the host and region the module chose.
struct ModuleLog {
  std::string path;
  bool captured = false;

  void start() {
    if (std::getenv("VORLAN_S3_DEBUG") != nullptr) return;
    char name[] = "/tmp/vorlan-gridftp-host-log.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    close(fd);
    path = name;
    setenv("VORLAN_S3_DEBUG", ("DEBUG," + path).c_str(), 1);
    captured = true;
  }
  ~ModuleLog() {
    if (captured) unlink(path.c_str());
  }
  // The text after `marker` on the last line that has it.
  std::optional<std::string> last(const std::string &marker) const {
    if (!captured) return std::nullopt;
    std::ifstream in(path);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
      const size_t at = line.find(marker);
      if (at != std::string::npos) found = line.substr(at + marker.size());
    }
    return found;
  }
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

struct Context {
  GlobalOptions options;
  ModuleLog log;
  std::unique_ptr<vorlan::host::Host> host;
  vorlan::host::SessionDocuments documents;
};

int load_module(Context &context) {
  context.documents = make_documents(context.options);
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

int start_session(Context &context, std::unique_ptr<vorlan::host::Session> *session,
                  vorlan::host::SessionStart *started) {
  *started = context.host->start_session(context.options.user, context.documents, session);
  if (!started->reply.ok() || !*session) return report_failure("session start", started->reply);
  return kExitOk;
}

int run_session(Context &context) {
  std::unique_ptr<vorlan::host::Session> session;
  vorlan::host::SessionStart started;
  if (int code = start_session(context, &session, &started); code != kExitOk) return code;

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
              << "region: (unknown: VORLAN_S3_DEBUG is set by the caller)\n";
  }
  const JsonDocument policies(context.documents.collection_policies);
  std::cout << "key id: " << policies.string("project", "-") << "\n";

  std::optional<std::string> creds = context.documents.creds;
  if (context.documents.provider) creds = context.documents.provider("creds");
  const JsonDocument token(creds);
  std::cout << "token subject: " << token.string("sub", "-") << "\n"
            << "token expiry: " << token.string("token_expiry", "-") << "\n";

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
  return kExitOk;
}

struct Subcommand {
  const char *name;
  const char *description;
  std::function<int(Context &)> run;
};

const std::vector<Subcommand> &subcommands() {
  static const std::vector<Subcommand> table = {
      {"session",
       "Start a session, print what it is, and end it.\n"
       "  user, home directory: as the module reported them to the server;\n"
       "  host, region: as the module logged them when it initialised the session (read\n"
       "    from its diagnostic log, which the tool points at a temporary file unless\n"
       "    VORLAN_S3_DEBUG is already set);\n"
       "  key id: \"project\" of --collection-policies;\n"
       "  token subject and expiry: \"sub\" and \"token_expiry\" of the token document\n"
       "    (--creds, or one more run of --creds-command);\n"
       "  allowed buckets: \"buckets\" of --storage-policy.",
       run_session},
  };
  return table;
}

int run_tool(int argc, char **argv) {
  Context context;
  GlobalOptions &options = context.options;
  CLI::App app{
      "Load the Google Cloud storage module the way the GridFTP server does and run one request.\n"
      "\n"
      "Exit codes: 0 success; 1 a failed reply without a 4xx/5xx code, or a tool error;\n"
      "2 usage error or unreadable input file; 3 module load failure; 4 a 4xx reply;\n"
      "5 a 5xx reply. A failed reply is printed on stderr: code, error-type word, headers\n"
      "and the control-channel reply text.",
      "vorlan-gridftp-host"};
  app.require_subcommand(1);
  app.add_option("--module", options.module, "The module's shared object")->capture_default_str();
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
  app.add_option("--timeout", options.timeout_seconds, "Seconds to wait for each request")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);

  const Subcommand *chosen = nullptr;
  for (const Subcommand &subcommand : subcommands()) {
    app.add_subcommand(subcommand.name, subcommand.description)->callback([&chosen, &subcommand] {
      chosen = &subcommand;
    });
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }
  try {
    if (int code = load_module(context); code != kExitOk) return code;
    return chosen->run(context);
  } catch (const UsageError &error) {
    std::cerr << "vorlan-gridftp-host: " << error.what() << "\n";
    return kExitUsage;
  } catch (const std::exception &error) {
    std::cerr << "vorlan-gridftp-host: " << error.what() << "\n";
    return kExitFailure;
  }
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
