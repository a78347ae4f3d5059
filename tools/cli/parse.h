// The command-line handling every tool shares: --help prints the help and
// ends with 0, a bad command line says why and ends with 64 (sysexits
// EX_USAGE).
#pragma once

#include <sysexits.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>

namespace helper::cli {


// Parses argv into `app`, running the chosen subcommand's callback. Returns
// the status to end with at once (help, usage error), or nothing when the
// command ran.
inline std::optional<int> parse(CLI::App& app, int argc, char** argv, const std::string& program) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << program << ": " << e.what() << "\nRun `" << program << " --help` for usage.\n";
    return EX_USAGE;
  }
  return std::nullopt;
}

}  // namespace helper::cli
