// Transfers: `get` and `put`, their options, ranges and progress, and the local files and
// streams they read and write (transfer_io.h).
#include "host_tool.h"
#include "transfer_io.h"

#include <strings.h>

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
  int code = finish_transfer(context, result, result.bytes_written, local_failed);
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
  if (options.checksum && (options.md5 || options.compute_md5)) {
    throw UsageError("--checksum goes without --md5 and --compute-md5");
  }
  // --md5 and --compute-md5 name an MD5, so another algorithm would be sent a value of the
  // wrong kind.
  if ((options.md5 || options.compute_md5) && !is_md5(options.checksum_algorithm)) {
    throw UsageError(std::string(options.md5 ? "--md5" : "--compute-md5") +
                     " gives an MD5; with --checksum-algorithm " + options.checksum_algorithm +
                     " use --checksum VALUE");
  }
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
  info.expected_checksum = options.compute_md5
                               ? std::optional(vorlan::tool::file_md5_hex(options.local))
                               : (options.md5 ? options.md5 : options.checksum);
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
  const int code = finish_transfer(context, result, result.bytes_recvd, local_failed);
  if (local_failed) return report_local_failure("read", source->failure());
  if (code != kExitOk && options.alloc && stdin_source != nullptr &&
      stdin_source->bytes_read() > *options.alloc) {
    std::cerr << "vorlan-gridftp-host: standard input held more than the " << *options.alloc
              << " bytes announced with --alloc\n";
  }
  return code;
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
