// vorlan-gridftp-host: loads the storage module the way the GridFTP server does and runs one
// request per call from the shell. This file holds the global options and main; each
// subcommand is one entry of the table in host_options.cc, and they share the module load and
// the session start (host_session.cc).
#include "host_tool.h"

namespace vorlan::tool {

// Every subcommand takes the global options too, so they may follow it (`ls / --config FILE`)
// and its --help lists them; all of them set the same members.
void add_global_options(CLI::App *app, GlobalOptions &options) {
  app->option_defaults()->group("Global options");
  app->add_option("--module", options.module,
                  "The module's shared object (default: the one installed with the tool, or "
                  "built beside it)")
      ->capture_default_str();
  app->add_option("--config", options.config,
                  "The module's configuration file (given to it as its option string)");
  app->add_option("--storage-policy", options.storage_policy,
                  "File with the session's \"config\" document (allowed buckets)");
  app->add_option("--collection-policies", options.collection_policies,
                  "File with the session's \"collection-policies\" document (project)");
  CLI::Option *creds = app->add_option("--creds", options.creds,
                                       "File with the session's token document (\"creds\")");
  CLI::Option *renew_creds =
      app->add_option("--renew-creds", options.renew_creds,
                      "File with the token document given on renewal (\"renew-creds\")");
  CLI::Option *creds_command = app->add_option(
      "--creds-command", options.creds_command,
      "Shell command printing a fresh token document, run each time the module asks "
      "for \"creds\" or \"renew-creds\" (takes precedence over --creds/--renew-creds)");
  CLI::Option *service_account =
      app->add_option("--service-account-file", options.service_account_file,
                      "A Google Cloud service account's JSON key: its tokens (scope "
                      "devstorage.read_write) are fetched from the key's token_uri and renewed "
                      "before they expire");
  CLI::Option *metadata =
      app->add_flag("--metadata-token", options.metadata_token,
                    "Tokens of the machine's service account from the Google Cloud metadata "
                    "server (GCE_METADATA_HOST names another), renewed before they expire");
  for (CLI::Option *fetched : {service_account, metadata}) {
    fetched->excludes(creds)->excludes(renew_creds)->excludes(creds_command);
  }
  service_account->excludes(metadata);
  app->add_option("--user", options.user, "The session's user name")->capture_default_str();
  app->add_option("--timeout", options.timeout_seconds,
                  "Seconds a request may go without progress (no bytes moved, no reply) before "
                  "it fails; a transfer that keeps moving data runs as long as it needs")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app->add_flag("-v,--verbose", options.verbose,
                "Print on stderr the configuration file read (\"config file: FILE\"), then a "
                "\"report: ...\" line for each report the module makes to the host, e.g. "
                "\"report: stat-partial count=32\"; a command's progress replies are "
                "\"report: intermediate TEXT\"; a failure adds its whole reply, the attempts "
                "made and the time taken");
  app->add_option("--update-interval", options.update_interval,
                  "Seconds between the progress replies the host asks of the module (0: none), "
                  "and between the progress lines of -v when stderr is no terminal")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app->add_flag("-q,--quiet,--no-progress", options.no_progress,
                "Show no progress: none on a terminal, and with -v no progress line every "
                "--update-interval seconds");

  app->option_defaults()->group("Options");
  // Last: its callback runs after --module has taken its value.
  app->set_version_flag(
      "--version",
      [&options] { return "vorlan-gridftp-host " VORLAN_VERSION "\nmodule: " + options.module; },
      "Print the package's version and the module the tool would load, and exit");
}

namespace {

// The exclusions above hold within one command line's level; a token source given before the
// subcommand and another after it meet here.
void check_token_sources(const GlobalOptions &options) {
  const char *fetched = !options.service_account_file.empty() ? "--service-account-file"
                        : options.metadata_token              ? "--metadata-token"
                                                              : nullptr;
  const char *given = !options.creds.empty()           ? "--creds"
                      : !options.renew_creds.empty()   ? "--renew-creds"
                      : !options.creds_command.empty() ? "--creds-command"
                      : options.metadata_token && !options.service_account_file.empty()
                          ? "--metadata-token"
                          : nullptr;
  if (fetched != nullptr && given != nullptr) {
    throw UsageError(std::string(fetched) + " excludes " + given);
  }
}

int run_tool(int argc, char **argv) {
  Context context;
  context.arguments.assign(argv, argv + argc);
  CLI::App app{
      "Load the Google Cloud storage module the way the GridFTP server does and run one request\n"
      "(or, with shell, a session of them). The global options may also follow the\n"
      "subcommand; each subcommand's --help lists them.\n"
      "\n"
      "Exit codes:\n"
      "  0  success\n"
      "  1  any other failure\n"
      "  2  usage error: bad options, configuration or input files, a local file that\n"
      "     cannot be opened or created; the module did not load\n"
      "  3  local failure during a transfer: a local file, disk or permission\n"
      "  4  not found: the path does not exist (550 PATH_NOT_FOUND; also rm and rmdir\n"
      "     of a missing path)\n"
      "  5  denied: permission or login refused (550 PERMISSION_DENIED, 530 LOGIN_DENIED)\n"
      "  6  temporary failure, worth retrying later: 451 and 421 replies, timeouts,\n"
      "     connection failures, throttling and 5xx answers that outlasted the retries\n"
      "  7  checksum mismatch (550 INCORRECT_CHECKSUM)\n"
      "A failed request prints one line on stderr: the subcommand and its paths, the\n"
      "reply code, the error-type word and the service's message; -v adds the whole\n"
      "reply, the attempts made and the time taken.",
      "vorlan-gridftp-host"};
  add_global_options(&app, context.options);
  const Subcommand *chosen = nullptr;
  add_subcommands(app, context, &chosen, false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    return parse_failure(app, error);
  }
  return guarded([&] {
    check_token_sources(context.options);
    const int code = load_module(context);
    if (code != kExitOk) return code;
    const int run = chosen->run(context);
    return creds_command_stop(*context.tokens).value_or(run);
  });
}

}  // namespace
}  // namespace vorlan::tool

int main(int argc, char **argv) {
  try {
    return vorlan::tool::run_tool(argc, argv);
  } catch (...) {
    std::cerr << vorlan::tool::kProgram << "unexpected failure\n";
    return vorlan::tool::kExitOther;
  }
}
