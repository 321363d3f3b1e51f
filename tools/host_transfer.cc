// Transfers: `get` and `put`, their options, ranges and progress, the checks of a whole
// object's MD5 and the times kept, and the local files and streams they read and write
// (transfer_io.h).
#include "host_tool.h"
#include "transfer_io.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace vorlan::tool {

namespace {

// The module takes algorithm names in any case.
bool is_md5(const std::string &algorithm) { return strcasecmp(algorithm.c_str(), "md5") == 0; }

vorlan::host::DataChannelOptions channel_options(const TransferOptions &options,
                                                 int update_interval) {
  vorlan::host::DataChannelOptions channel;
  channel.update_interval = update_interval;
  channel.block_size = options.block_size;
  channel.optimal_concurrency = options.parallel;
  return channel;
}

vorlan::tool::ProgressDisplay progress_display(const GlobalOptions &options) {
  if (options.no_progress) return vorlan::tool::ProgressDisplay::kNone;
  if (isatty(STDERR_FILENO) != 0) return vorlan::tool::ProgressDisplay::kTerminal;
  return options.verbose ? vorlan::tool::ProgressDisplay::kLog
                         : vorlan::tool::ProgressDisplay::kNone;
}

// The bytes `ranges` ask for of an object of `size` bytes; -1 when a range runs to an end not
// known (size -1).
int64_t ranges_total(const std::vector<vorlan::tool::Range> &ranges, int64_t size) {
  int64_t total = 0;
  for (const auto &[offset, length] : ranges) {
    if (length < 0 && size < 0) return -1;
    total += length >= 0 ? length : std::max<int64_t>(size - offset, 0);
  }
  return total;
}

// A download into a directory (named with a trailing slash, or existing) writes the object's
// last name there, as cp does.
std::string download_target(const std::string &local, const std::string &remote) {
  struct stat st {};
  if (local == "-" ||
      !(local.ends_with('/') || (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
    return local;
  }
  const std::string name = remote.substr(remote.rfind('/') + 1);
  if (name.empty()) throw UsageError(remote + " names no object to write into " + local);
  return local + (local.ends_with('/') ? "" : "/") + name;
}

std::string shell_word(const std::string &word) {
  static const char kPlain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:=@%+,";
  if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

// The command given, its ranges replaced by `remaining`; in the shell, the line to type.
std::string continuing_command(const Context &context,
                               const std::vector<vorlan::tool::Range> &remaining) {
  const TransferOptions &options = context.transfer;
  std::vector<std::string> words = context.arguments;
  if (words.empty()) words = {"get", options.remote, options.local};
  std::string command;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string &word = words[i];
    if (word == "--offset" || word == "--length" || word == "--range") {
      ++i;  // and its value
    } else if (!word.starts_with("--offset=") && !word.starts_with("--length=") &&
               !word.starts_with("--range=")) {
      command += (command.empty() ? "" : " ") + shell_word(word);
    }
  }
  for (const auto &[offset, length] : remaining) {
    if (remaining.size() > 1) {
      command += " --range " + std::to_string(offset) + ":" + std::to_string(length);
    } else {
      command += " --offset " + std::to_string(offset);
      if (length >= 0) command += " --length " + std::to_string(length);
    }
  }
  return command;
}

// Says what an interrupted download left on disk and how to go on from there.
void tell_interrupted(const Context &context, const std::string &local,
                      const vorlan::tool::KeptBytes &kept) {
  using Fate = vorlan::tool::KeptBytes::Fate;
  const std::string bytes = std::to_string(kept.bytes);
  std::string text = "get " + context.transfer.remote + " interrupted: " + quoted(local);
  const bool fresh = kept.fate == Fate::kDiscarded || kept.fate == Fate::kNotCreated;
  if (fresh) {
    text += kept.fate == Fate::kNotCreated ? " was not created; to start again: "
                                           : " is left as it was (" + bytes +
                                                 " bytes received were dropped); to start again: ";
  } else if (kept.remaining.empty()) {
    text += " holds all the " + bytes + " bytes asked for";
  } else {
    text += (kept.fate == Fate::kCompleted ? " holds the object's first " + bytes + " bytes"
                                           : " holds the first " + bytes + " bytes asked for") +
            "; to continue: ";
  }
  if (fresh || !kept.remaining.empty()) {
    text +=
        continuing_command(context, fresh ? std::vector<vorlan::tool::Range>{} : kept.remaining);
  }
  // A terminal's progress line is left unfinished.
  std::cerr << (isatty(STDERR_FILENO) != 0 ? "\n" : "") << kProgram << text << std::endl;
}

// The object's MD5 as the module has it without reading the object: its ETag when that is the
// MD5, its md5 metadata, or its checksum cache, which the download just filled; "" when none.
std::string object_md5(Context &context, vorlan::host::Session &session) {
  vorlan::host::CommandOptions quiet;
  quiet.update_interval = 0;
  const vorlan::host::CommandResult answer = context.host->command(
      session, VORLAN_GFS_CMD_CKSM, context.transfer.remote, "", "md5", 0, -1, quiet);
  if (!answer.reply.ok() || !answer.response || answer.response->size() != 32) return "";
  return *answer.response;
}

// Reports the transfer's two reports to the host (with its bytes: written for a download,
// received for an upload); the host's contract breaches fail the run even after a success. A
// local file's failure is the caller's to tell.
int finish_transfer(Context &context, const vorlan::host::TransferResult &result, int64_t bytes,
                    bool local_failed) {
  if (result.began) context.report("begin-transfer");
  context.report("finished-transfer bytes=" + std::to_string(bytes) + " result=" +
                 (result.reply.ok() ? std::string("ok") : std::to_string(result.reply.code)));
  // How many requests moved the object at once, as the module logged it.
  for (const char *marker : {" slices=", " multipart parts="}) {
    if (!context.options.verbose) break;
    if (auto line = context.log.last(marker)) std::cerr << "requests:" << marker << *line << "\n";
  }
  const bool misbehaved = report_violations(context, result.reply);
  if (!result.reply.ok()) return local_failed ? kExitLocal : report_failure(context, result.reply);
  return misbehaved ? kExitOther : kExitOk;
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

}  // namespace

int run_get(Context &context) {
  const TransferOptions &options = context.transfer;
  const std::vector<vorlan::tool::Range> ranges = requested_ranges(options);
  vorlan::host::DataChannelOptions channel =
      channel_options(options, context.options.update_interval);
  if (!ranges.empty()) channel.read_ranges = ranges;
  const std::string local = download_target(options.local, options.remote);
  std::unique_ptr<vorlan::tool::DownloadFile> file;
  std::unique_ptr<vorlan::tool::OrderedStdoutSink> out;
  if (local == "-") {
    out = std::make_unique<vorlan::tool::OrderedStdoutSink>(channel.read_ranges);
  } else {
    try {
      // With a range the file is filled in, not replaced: a partly downloaded file is completed.
      file = std::make_unique<vorlan::tool::DownloadFile>(local, ranges, !options.no_checksum);
    } catch (const std::runtime_error &error) {
      throw UsageError(error.what());
    }
  }
  vorlan::host::DataSink &local_sink = out ? static_cast<vorlan::host::DataSink &>(*out) : *file;
  // From here on a signal leaves the file in a state the tool can tell.
  std::optional<vorlan::tool::SignalWatch> interrupted;
  if (file) {
    interrupted.emplace(
        [&context, &file, &local](int) { tell_interrupted(context, local, file->interrupt()); });
  }
  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  const vorlan::tool::ProgressDisplay display = progress_display(context.options);
  int64_t total = ranges_total(channel.read_ranges, -1);
  // The host tells a download nothing of the object, so its size and time take one stat: for a
  // whole object, whose time the file gets, and for a progress display that needs the total.
  const bool whole = ranges.empty() && file;
  std::optional<vorlan::host::Stat> entry;
  if (whole || (total < 0 && display != vorlan::tool::ProgressDisplay::kNone)) {
    entry = stat_entry(context, *session, options.remote);
  }
  if (total < 0 && entry) total = ranges_total(channel.read_ranges, entry->size);
  vorlan::host::TransferResult result;
  bool local_failed = false;
  {
    vorlan::tool::Progress progress("get " + options.remote + ": ", total, display,
                                    context.options.update_interval);
    vorlan::tool::CountingSink sink(local_sink, progress);
    vorlan::host::TransferInfo info;
    info.pathname = options.remote;
    result = context.host->send(*session, info, channel, sink);
    local_failed = sink.failed();
    if (!result.reply.ok() || local_failed) progress.failed();
  }
  int code = finish_transfer(context, result, result.bytes_written, local_failed);
  if (code == kExitOk && !local_failed && whole) {
    const std::string received = file->md5_hex();
    const std::string expected = received.empty() ? "" : object_md5(context, *session);
    if (!expected.empty() && expected != received) {
      std::cerr << kProgram << "get " << options.remote
                << ": checksum mismatch: the bytes received have the MD5 " << received
                << ", the object's is " << expected << "\n";
      code = kExitChecksum;
    } else if (!expected.empty() && context.options.verbose) {
      std::cerr << "md5: " << received << " (the object's)\n";
    }
  }
  if (code == kExitOk && !local_failed) {
    std::optional<time_t> mtime;
    if (whole && entry && entry->mtime > 0) mtime = static_cast<time_t>(entry->mtime);
    local_failed = out ? !out->finish() : !file->commit(mtime);
  }
  if (local_failed) code = report_local_failure("write", local_sink.failure());
  if (code != kExitOk && file) {
    const std::string fate = file->fate_after_failure();
    interrupted.reset();
    file.reset();
    if (!fate.empty()) std::cerr << kProgram << fate << "\n";
  }
  return code;
}

int run_put(Context &context) {
  const TransferOptions &options = context.transfer;
  const bool from_stdin = options.local == "-";
  if (options.remote.ends_with('/')) {
    throw UsageError("uploading into a directory is not supported: name the object, as in " +
                     options.remote +
                     (from_stdin ? "NAME" : options.local.substr(options.local.rfind('/') + 1)));
  }
  if (from_stdin && options.compute_md5) throw UsageError("--compute-md5 needs a file, not -");
  if (options.md5 && options.compute_md5) throw UsageError("--md5 goes without --compute-md5");
  if (options.checksum && (options.md5 || options.compute_md5)) {
    throw UsageError("--checksum goes without --md5 and --compute-md5");
  }
  if (options.no_checksum && (options.md5 || options.compute_md5 || options.checksum)) {
    throw UsageError("--no-checksum goes without --md5, --compute-md5 and --checksum");
  }
  if (options.no_mtime && options.mtime) throw UsageError("--no-mtime goes without --mtime");
  // --md5 and --compute-md5 name an MD5, so another algorithm would be sent a value of the
  // wrong kind.
  if ((options.md5 || options.compute_md5) && !is_md5(options.checksum_algorithm)) {
    throw UsageError(std::string(options.md5 ? "--md5" : "--compute-md5") +
                     " gives an MD5; with --checksum-algorithm " + options.checksum_algorithm +
                     " use --checksum VALUE");
  }
  // A file's MD5 goes with it unless another value was given; standard input's cannot be known
  // before the request without holding all of it.
  const bool compute_md5 =
      options.compute_md5 || (!from_stdin && !options.no_checksum && !options.md5 &&
                              !options.checksum && is_md5(options.checksum_algorithm));
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
  info.expected_checksum = options.md5 ? options.md5 : options.checksum;
  if (compute_md5) {
    // A large file's MD5 pass takes a while before any byte goes out: it shows as progress too.
    vorlan::tool::Progress reading("put " + options.remote + ": MD5 of " + options.local + ": ",
                                   source->size(), progress_display(context.options),
                                   context.options.update_interval);
    info.expected_checksum = vorlan::tool::file_md5_hex(options.local, &reading);
  }
  if (info.expected_checksum) info.expected_checksum_alg = options.checksum_algorithm;
  vorlan::host::DataChannelOptions channel =
      channel_options(options, context.options.update_interval);
  struct stat st {};
  if (options.mtime) {
    channel.modification_time = static_cast<time_t>(*options.mtime);
  } else if (!from_stdin && !options.no_mtime && stat(options.local.c_str(), &st) == 0) {
    channel.modification_time = st.st_mtime;
  }

  vorlan::host::Session *session = nullptr;
  if (int code = open_session(context, &session); code != kExitOk) return code;
  vorlan::host::TransferResult result;
  bool local_failed = false;
  {
    vorlan::tool::Progress progress(
        "put " + options.remote + ": ", from_stdin && !options.alloc ? -1 : info.alloc_size,
        progress_display(context.options), context.options.update_interval);
    vorlan::tool::CountingSource counted(*source, progress);
    result = context.host->recv(*session, info, channel, counted);
    local_failed = counted.failed();
    if (!result.reply.ok() || local_failed) progress.failed();
  }
  const int code = finish_transfer(context, result, result.bytes_recvd, local_failed);
  if (local_failed) return report_local_failure("read", source->failure());
  if (code != kExitOk && options.alloc && stdin_source != nullptr &&
      stdin_source->bytes_read() > *options.alloc) {
    std::cerr << kProgram << "standard input held more than the " << *options.alloc
              << " bytes announced with --alloc\n";
  }
  return code;
}

void add_get_options(CLI::App *command, Context &context) {
  TransferOptions &options = context.transfer;
  command->add_option("PATH", options.remote, "The object: /bucket/key")->required();
  command
      ->add_option("LOCAL", options.local,
                   "The file to write (in a directory: the object's last name there), - for "
                   "standard output")
      ->required();
  command->add_option("--offset", options.offset, "First byte of one partial range");
  command->add_option("--length", options.length, "Bytes of that range (-1: to the end)");
  command->add_option("--range", options.ranges,
                      "OFF:LEN, repeatable: several ranges in one transfer (LEN -1: to the end)");
  command->add_flag("--no-checksum", options.no_checksum,
                    "Do not check a whole object's bytes against its MD5");
  add_channel_options(command, options);
}

void add_put_options(CLI::App *command, Context &context) {
  TransferOptions &options = context.transfer;
  command->add_option("LOCAL", options.local, "The file to send, - for standard input")->required();
  command->add_option("PATH", options.remote, "The object: /bucket/key")->required();
  command->add_option("--mtime", options.mtime,
                      "The modification time the host reports, in seconds since the epoch "
                      "(default: the file's; none for -)");
  command->add_flag("--no-mtime", options.no_mtime, "Report no modification time");
  command->add_option("--md5", options.md5, "The expected checksum, given to the module as is");
  command->add_flag("--compute-md5", options.compute_md5,
                    "Send the file's own MD5 as the expected checksum (the default for a file)");
  command->add_flag("--no-checksum", options.no_checksum,
                    "Send no expected checksum (by default a file's MD5 is computed and sent)");
  command->add_option("--checksum", options.checksum,
                      "The expected checksum for --checksum-algorithm, given to the module as "
                      "is (adler32 and crc32c: 8 hexadecimal digits; md5: 32)");
  command
      ->add_option("--checksum-algorithm", options.checksum_algorithm,
                   "The algorithm name sent with the checksum: md5, adler32 or crc32c (the "
                   "module refuses others)")
      ->capture_default_str();
  command->add_option("--alloc", options.alloc,
                      "The size the client announces (default: the file's; with -, unknown)");
  command->add_flag("--append", options.append,
                    "Continue an earlier transfer (the truncate flag is clear)");
  add_channel_options(command, options);
}

}  // namespace vorlan::tool
