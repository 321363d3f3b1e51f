// The shell: subcommands read from standard input, one per line, run in one session.
#include "host_tool.h"

#include <unistd.h>

namespace vorlan::tool {

namespace {

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

}  // namespace

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

}  // namespace vorlan::tool
