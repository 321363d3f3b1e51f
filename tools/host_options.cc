// The subcommand table: each subcommand's name, help text, options and the function it runs.
#include "host_tool.h"

#include <algorithm>
#include <iomanip>

namespace vorlan::tool {

namespace {

void add_stat_options(CLI::App *command, Context &context) {
  command->add_option("PATH", context.stat.path, "The path: /, /bucket or /bucket/key")->required();
  command->add_flag("--json", context.stat.json,
                    "One JSON object per entry and line, with the keys name, mode, nlink, uid, "
                    "gid, size, atime, ctime, mtime, dev, ino, symlink_target");
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
  command
      ->add_option("--algorithm", context.command.algorithm,
                   "md5 (32 hexadecimal digits), adler32 or crc32c (8 each), in any case")
      ->capture_default_str();
}

constexpr const char *kEntryFormat =
    "Each entry is one line: the mode (drwx------), the link count, the size, the\n"
    "modification time in UTC (YYYY-MM-DDTHH:MM:SSZ, \"-\" when unknown) and the name.";

const std::vector<Subcommand> &subcommands() {
  static const std::vector<Subcommand> table = {
      {"session",
       "Start a session, print what it is, and end it.\n"
       "  user, home directory: as the module reported them to the server;\n"
       "  config file: the configuration file the module read (--config, or its default);\n"
       "  host, region: as the module logged them when it initialised the session (read\n"
       "    from its diagnostic log, which the tool points at a temporary file; a\n"
       "    VORLAN_S3_DEBUG of the caller still gets the lines it asks for);\n"
       "  key id: \"project\" of --collection-policies;\n"
       "  token subject and expiry: \"sub\" and \"token_expiry\" of the token document the\n"
       "    module was given;\n"
       "  allowed buckets: \"buckets\" of --storage-policy.",
       run_session},
      {"ls",
       (std::string("List PATH: a directory's entries (\".\" first), or a file. Without a token\n"
                    "or key pair / lists only --storage-policy's buckets, and \".\" alone gets a\n"
                    "note on stderr.\n") +
        kEntryFormat)
           .c_str(),
       [](Context &context) { return run_stat(context, false); }, add_stat_options},
      {"stat", (std::string("Describe PATH itself (a file-only stat).\n") + kEntryFormat).c_str(),
       [](Context &context) { return run_stat(context, true); }, add_stat_options},
      {"get",
       "Download PATH into LOCAL at the object's own offsets (into DIR/ as DIR/NAME). A\n"
       "whole object goes to a temporary file beside LOCAL that replaces it once complete\n"
       "and checked against the object's MD5 when one is known without reading the object\n"
       "again (exit code 7 when it differs), so a failed download leaves LOCAL as it was;\n"
       "LOCAL gets the object's modification time. With --offset/--length or --range LOCAL\n"
       "itself is filled in, not truncated, so a partly downloaded file can be completed;\n"
       "standard output receives the bytes of the ranges in order. Interrupted, it says\n"
       "which bytes are on disk and the command that continues it.",
       run_get, add_get_options},
      {"put",
       "Upload LOCAL to PATH in one request, with the modification time and the expected\n"
       "checksum a client would give: by default the file's own MD5 and time. PATH names\n"
       "the object; a directory (PATH ending in /) is refused.",
       run_put, add_put_options},
      {"mkdir",
       "Make the directory PATH (an empty placeholder object named PATH/), or the bucket\n"
       "when PATH is /bucket.",
       [](Context &context) { return run_command(context, "mkdir", VORLAN_GFS_CMD_MKD); },
       add_path_option},
      {"rmdir",
       "Remove the directory PATH's placeholder (objects below it stay), or the bucket\n"
       "when PATH is /bucket. A missing directory fails as not found (exit 4).",
       [](Context &context) { return run_command(context, "rmdir", VORLAN_GFS_CMD_RMD); },
       add_path_option},
      {"rm", "Delete the object PATH. A missing object fails as not found (exit 4).",
       [](Context &context) { return run_command(context, "rm", VORLAN_GFS_CMD_DELE); },
       add_path_option},
      {"mv", "Rename the object FROM to TO (a copy, then a delete), also across buckets.",
       [](Context &context) { return run_command(context, "mv", VORLAN_GFS_CMD_RNTO); },
       add_mv_options},
      {"cksum",
       "Print the checksum of PATH, or of a range of it, alone on standard output, by\n"
       "--algorithm: md5, adler32 or crc32c. For a whole object the module answers without\n"
       "reading it when it can: md5 from the ETag when that is the MD5, the \"md5\"\n"
       "metadata, x-goog-hash or rclone's \"md5chksum\"; crc32c from x-goog-hash,\n"
       "x-amz-checksum-crc32c or the \"crc32c\" metadata; adler32 from the \"adler32\"\n"
       "metadata; each also from its cache of earlier uploads and whole downloads.\n"
       "Otherwise it reads the bytes once, reporting progress at the --update-interval.",
       [](Context &context) { return run_command(context, "cksum", VORLAN_GFS_CMD_CKSM); },
       add_cksum_options},
      {"shell",
       "Run subcommands read from standard input, one per line with its arguments (quote\n"
       "arguments with blanks), in one session, as an FTP client would. Lines starting\n"
       "with # are comments; help lists the commands, quit or exit ends the shell. A\n"
       "terminal gets a prompt, line editing and history. A failed line's errors start\n"
       "with \"line N: \" and the shell goes on (with -e it stops). The exit code is that\n"
       "of the first failed line (0 when none failed).",
       run_shell,
       [](CLI::App *command, Context &context) {
         command->add_flag("-e", context.shell_stop_on_failure, "Stop at the first failure");
       }},
  };
  return table;
}

// The shell's own commands, which a line may hold besides the subcommands.
const std::vector<Subcommand> &shell_commands() {
  static const std::vector<Subcommand> table = {
      {"help", "List the commands a line may hold.",
       [](Context &) {
         for (const auto *list : {&subcommands(), &shell_commands()}) {
           for (const Subcommand &command : *list) {
             if (std::string(command.name) == "shell") continue;
             // The description's first sentence, on one line.
             const std::string &all = command.description;
             std::string text = all.substr(0, std::min(all.find(". "), all.find(".\n")));
             std::replace(text.begin(), text.end(), '\n', ' ');
             std::cout << std::left << std::setw(9) << command.name << text
                       << (text.ends_with('.') ? "\n" : ".\n");
           }
         }
         std::cout << "COMMAND --help gives a command's options; # starts a comment line.\n";
         return kExitOk;
       }},
      {"quit", "End the shell (as does exit, or the end of the input).",
       [](Context &context) { return context.shell_quit = true, kExitOk; }},
      {"exit", "End the shell.",
       [](Context &context) { return context.shell_quit = true, kExitOk; }},
  };
  return table;
}

}  // namespace

void add_subcommands(CLI::App &app, Context &context, const Subcommand **chosen, bool in_shell) {
  app.require_subcommand(1);
  std::vector<const std::vector<Subcommand> *> lists = {&subcommands()};
  if (in_shell) lists.push_back(&shell_commands());
  for (const std::vector<Subcommand> *list : lists) {
    for (const Subcommand &subcommand : *list) {
      if (in_shell && std::string(subcommand.name) == "shell") continue;
      CLI::App *command = app.add_subcommand(subcommand.name, subcommand.description);
      command->callback([chosen, &subcommand, &context] {
        *chosen = &subcommand;
        context.subcommand = subcommand.name;
      });
      if (subcommand.add_options) subcommand.add_options(command, context);
      if (!in_shell) add_global_options(command, context.options);
    }
  }
}

int parse_failure(CLI::App &app, const CLI::ParseError &error) {
  const std::vector<std::string> words = app.remaining();
  if (error.get_exit_code() != 0 && app.get_subcommands().empty() && !words.empty() &&
      !words[0].starts_with("-")) {
    std::cerr << kProgram << input_line() << "unknown subcommand '" << words[0]
              << "'; the subcommands are:";
    for (const CLI::App *command : app.get_subcommands({})) std::cerr << " " << command->get_name();
    std::cerr << "\n";
    return kExitUsage;
  }
  if (error.get_exit_code() != 0) std::cerr << input_line();
  return app.exit(error) == 0 ? kExitOk : kExitUsage;
}

int guarded(const std::function<int()> &run) {
  try {
    return run();
  } catch (const UsageError &error) {
    std::cerr << kProgram << input_line() << error.what() << "\n";
    return kExitUsage;
  } catch (const std::bad_alloc &) {
    std::cerr << kProgram << input_line() << "out of memory\n";
    return kExitOther;
  } catch (const std::exception &error) {
    std::cerr << kProgram << input_line() << error.what() << "\n";
    return kExitOther;
  }
}

}  // namespace vorlan::tool
