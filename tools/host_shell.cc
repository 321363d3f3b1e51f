// The shell: subcommands read from standard input, one per line, run in one session. A
// terminal gets a prompt, line editing and history (libedit); other input is read as is.
#include "host_tool.h"

#include <histedit.h>
#include <unistd.h>

namespace vorlan::tool {

namespace {

int current_line = 0;  // the input line the shell runs; 0 outside it

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
    return parse_failure(app, error);
  }
  return guarded([&] { return chosen->run(context); });
}

char *prompt(EditLine *) { return const_cast<char *>("vorlan> "); }

// Reads the lines a terminal's user edits, with emacs keys (or those of ~/.editrc) and the
// session's history; without a usable terminal description, plain lines after a prompt.
class LineReader {
 public:
  LineReader()
      : editor_(el_init("vorlan-gridftp-host", stdin, stderr, stderr), &el_end),
        history_(history_init(), &history_end) {
    if (!editor_ || !history_) return;
    HistEvent event;
    ::history(history_.get(), &event, H_SETSIZE, 1000);
    ::history(history_.get(), &event, H_SETUNIQUE, 1);
    el_set(editor_.get(), EL_PROMPT, &prompt);
    el_set(editor_.get(), EL_EDITOR, "emacs");
    el_set(editor_.get(), EL_SIGNAL, 1);
    el_set(editor_.get(), EL_HIST, ::history, history_.get());
    el_source(editor_.get(), nullptr);
  }
  bool read(std::string *line) {
    if (!editor_ || !history_) {
      std::cerr << "vorlan> " << std::flush;
      return static_cast<bool>(std::getline(std::cin, *line));
    }
    int count = 0;
    const char *text = el_gets(editor_.get(), &count);
    if (text == nullptr || count <= 0) return false;
    *line = text;
    HistEvent event;
    if (!trimmed(*line).empty()) ::history(history_.get(), &event, H_ENTER, text);
    return true;
  }

 private:
  std::unique_ptr<EditLine, decltype(&el_end)> editor_;
  std::unique_ptr<History, decltype(&history_end)> history_;
};

}  // namespace

std::string input_line() {
  return current_line > 0 ? "line " + std::to_string(current_line) + ": " : "";
}

int run_shell(Context &context) {
  context.arguments.clear();  // a line's command is the line
  std::optional<LineReader> terminal;
  if (isatty(STDIN_FILENO) != 0) terminal.emplace();
  int status = kExitOk;
  std::string line;
  for (int number = 1; terminal ? terminal->read(&line) : !!std::getline(std::cin, line);
       ++number) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    current_line = number;
    const int code = run_shell_line(context, line);
    current_line = 0;
    std::cout.flush();
    if (auto stop = creds_command_stop(*context.tokens)) return *stop;
    if (context.shell_quit) break;
    if (code == kExitOk) continue;
    if (status == kExitOk) status = code;
    if (context.shell_stop_on_failure) break;
  }
  if (terminal && !context.shell_quit) std::cerr << "\n";
  return status;
}

}  // namespace vorlan::tool
