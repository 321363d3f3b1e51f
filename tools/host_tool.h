// What the command-line host's files share: exit codes, options, the run's context and the
// subcommand table's entry.
#ifndef VORLAN_TOOLS_HOST_TOOL_H
#define VORLAN_TOOLS_HOST_TOOL_H

#include <vorlan/host.hpp>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ios>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorlan::tool {

// Exit codes, one per kind of outcome a script may act on differently.
enum ExitCode : int {
  kExitOk = 0,
  kExitOther = 1,     // any other failure, of the tool itself or a reply of no kind below
  kExitUsage = 2,     // bad options, configuration or input files; the module could not load
  kExitLocal = 3,     // a local file, disk or permission failed
  kExitNotFound = 4,  // the path does not exist
  kExitDenied = 5,    // permission or login denied
  kExitRetry = 6,     // a temporary failure worth retrying later
  kExitChecksum = 7,  // the bytes do not match their checksum
};

// The module installed with the tool or built beside it; else the path the build recorded.
std::string default_module();

struct GlobalOptions {
  std::string module = default_module();
  std::string config;
  std::string storage_policy;
  std::string collection_policies;
  std::string creds;
  std::string renew_creds;
  std::string creds_command;
  std::string service_account_file;
  bool metadata_token = false;
  std::string user = "anonymous";
  int timeout_seconds = 120;
  bool verbose = false;
  int update_interval = 5;  // the host's progress interval, seconds; 0 for none
  bool no_progress = false;
};

// Begins each line of the tool's own on stderr.
inline constexpr const char *kProgram = "vorlan-gridftp-host: ";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The module renews a token when this many seconds of its life or fewer remain.
constexpr time_t kRenewalMargin = 299;

// The token document last handed to the module, so that `session` shows the token the module
// holds, not one from another run of --creds-command; and how the command failed, if it did.
struct TokenMemory {
  std::mutex lock;
  std::optional<std::string> last;
  std::optional<std::string> command_failure;
  bool failure_reported = false;
  std::string source = "--creds-command";  // the option the failed documents came from
};

// Token documents the tool fetches itself (--service-account-file, --metadata-token).
class TokenSource {
 public:
  virtual ~TokenSource() = default;
  // The document for the module ("renew-creds" when `renewal`); nullopt, with *failure saying
  // why, when no token was had.
  virtual std::optional<std::string> document(bool renewal, std::string *failure) = 0;
};

// The module writes its session settings to its diagnostic log at DEBUG; the tool points the
// log at a temporary file and reads them back to show the host and region the module chose.
// A caller's own VORLAN_S3_DEBUG keeps its levels and flags, with DEBUG added, and the lines
// it asked for are copied to its output when the tool ends.
class ModuleLog {
 public:
  ModuleLog() = default;
  ModuleLog(const ModuleLog &) = delete;
  ModuleLog &operator=(const ModuleLog &) = delete;
  void start();
  // Runs after the module is unloaded, so its log is complete.
  ~ModuleLog();
  // The text after `marker` on the last line that has it.
  std::optional<std::string> last(const std::string &marker) const;
  // Where the log ends now; nullopt when the tool keeps none.
  std::optional<std::streamoff> end() const;
  // How many lines from `from` on hold `marker`.
  int count_since(std::streamoff from, const std::string &marker) const;

 private:
  void copy_to_caller() const;

  std::string path_;
  std::optional<std::string> caller_output_;  // set when the caller asked for a log
  bool caller_wants_debug_ = false;
  bool caller_wants_info_ = false;
};

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
  std::optional<std::string> checksum;  // the expected value for checksum_algorithm
  bool compute_md5 = false;
  std::string checksum_algorithm = "md5";
  bool append = false;
  bool no_checksum = false, no_mtime = false;
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
  // The command line as given, to print a command that continues it; empty in the shell.
  std::vector<std::string> arguments;
  StatOptions stat;
  TransferOptions transfer;
  CommandOptions command;
  bool shell_stop_on_failure = false;
  bool shell_quit = false;  // a shell line said quit or exit
  std::string subcommand;   // the one running, which its failures name
  // When the running request began and where the module's log stood then, so that its failure
  // can tell the requests the module sent for it and the time they took.
  std::chrono::steady_clock::time_point request_start;
  std::optional<std::streamoff> request_log_start;
  size_t violations_reported = 0;  // of the host's, so that each is told once
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

struct Subcommand {
  const char *name;
  std::string description;
  std::function<int(Context &)> run;
  // Adds the subcommand's own options and arguments, stored in the context.
  std::function<void(CLI::App *, Context &)> add_options = nullptr;
};

// vorlan_gridftp_host.cc
void add_global_options(CLI::App *app, GlobalOptions &options);

// host_options.cc
// Adds the subcommands to `app`, each with the global options; for the shell's own lines
// without "shell" and the global options, and with help, quit and exit. *chosen becomes the
// one parsed.
void add_subcommands(CLI::App &app, Context &context, const Subcommand **chosen, bool in_shell);
// Prints what `app.parse` threw (help and --version on stdout); its exit code.
int parse_failure(CLI::App &app, const CLI::ParseError &error);
// Runs `run`, turning what it throws into the exit code and message of its kind.
int guarded(const std::function<int()> &run);

// host_session.cc
// The text without its leading and trailing blanks.
std::string trimmed(const std::string &text);
// After a failed --creds-command the tool stops: the command's failure once on stderr, and
// the tool's own failure as the exit code.
std::optional<int> creds_command_stop(TokenMemory &memory);
int load_module(Context &context);
// The session requests run in, started by the first request and kept.
int open_session(Context &context, vorlan::host::Session **session);
int run_session(Context &context);
// Whether the token document the module was last given carries a token or a key pair.
bool holds_credentials(Context &context);

// host_tokens.cc
// Null without --service-account-file or --metadata-token; a UsageError names a key file that
// cannot be read or is no service account key.
std::shared_ptr<TokenSource> make_token_source(const GlobalOptions &options);

// host_output.cc
// The text's lines joined by "; ", control characters made blanks: one line of a message.
std::string one_line(const std::string &text);
// Prints a failed reply of the running subcommand as one line on stderr (with -v also the whole
// reply, the requests sent and the time taken); the exit code of its kind. `stage` names a step
// other than the subcommand's own request ("session start").
int report_failure(const Context &context, const vorlan::host::Reply &reply,
                   const char *stage = nullptr);
// Tells the module's breaches of the host's rules seen since the last call (each one with -v);
// whether there were any. A timed-out request's own breach is its reply's to tell.
bool report_violations(Context &context, const vorlan::host::Reply &reply);
// Says which local file or stream failed and why; the exit code of a local failure.
int report_local_failure(const char *verb, const vorlan::host::IoFailure &failure);
int run_stat(Context &context, bool file_only);
// A file-only stat of `path`: its one entry; nullopt when there is none, *reply (when given)
// then holding the stat's reply.
std::optional<vorlan::host::Stat> stat_entry(Context &context, vorlan::host::Session &session,
                                             const std::string &path,
                                             vorlan::host::Reply *reply = nullptr);
int run_command(Context &context, const char *what, int code);

// host_transfer.cc
int run_get(Context &context);
int run_put(Context &context);
void add_get_options(CLI::App *command, Context &context);
void add_put_options(CLI::App *command, Context &context);

// host_shell.cc
int run_shell(Context &context);
// "line N: " while the shell runs its input's line N, so that errors name the line; else "".
std::string input_line();

}  // namespace vorlan::tool

#endif  // VORLAN_TOOLS_HOST_TOOL_H
