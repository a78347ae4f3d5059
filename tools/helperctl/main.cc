// helperctl: the command-line client of the helper service, and a few
// offline tools around it. Run `helperctl --help` for the commands.
#include <iostream>

#include "tools/cli/parse.h"
#include "tools/helperctl/command.h"

namespace helperctl {

std::vector<Registrar>& registrars() {
  static std::vector<Registrar> all;
  return all;
}

}  // namespace helperctl

namespace {

int run(int argc, char** argv) {
  CLI::App app{
      "helperctl - talk to the helper service that routes this machine's traffic through an "
      "upstream proxy, and check proxy URLs offline."};
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 on success, 64 for a bad command line, 70 for an internal error; each "
      "command lists its own statuses in `helperctl COMMAND --help`.");
  int exitCode = helperctl::kExitOk;
  for (auto registrar : helperctl::registrars()) registrar(app, exitCode);
  if (const auto early = helper::cli::parse(app, argc, argv, "helperctl")) return *early;
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "helperctl: internal error: " << e.what() << "\n";
    return EX_SOFTWARE;
  }
}
