// helperctl's subcommands register themselves: each cmd_*.cc file defines a
// function that adds its subcommands to the CLI11 app, and registers it with
// HELPERCTL_COMMAND. A subcommand's callback stores the process exit status
// in `exitCode`; each subcommand documents its exit statuses in its own
// --help.
#pragma once

#include <CLI/CLI.hpp>
#include <vector>

namespace helperctl {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;     // bad command line (sysexits EX_USAGE)
inline constexpr int kExitInternal = 70;  // a bug or out of memory (EX_SOFTWARE)

using Registrar = void (*)(CLI::App& app, int& exitCode);

std::vector<Registrar>& registrars();

// Runs before main(); a failure to grow the list can only be out of memory,
// which ends the program there and then.
struct Registration {
  explicit Registration(Registrar r) noexcept { registrars().push_back(r); }
};

}  // namespace helperctl

#define HELPERCTL_COMMAND(fn) static const ::helperctl::Registration fn##_registration(fn)
