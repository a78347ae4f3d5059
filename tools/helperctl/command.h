// helperctl's subcommands register themselves: each cmd_*.cc file defines a
// function that adds its subcommands to the CLI11 app, and registers it with
// HELPERCTL_COMMAND. A subcommand's callback stores the process exit status
// in `exitCode`; each subcommand documents its exit statuses in its own
// --help.
#pragma once

#include <sysexits.h>

#include <CLI/CLI.hpp>
#include <vector>

namespace helperctl {

// Exit statuses shared by the subcommands; besides these, EX_USAGE (64) for
// a bad command line and EX_SOFTWARE (70) for a bug, from <sysexits.h>.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;      // the helper, or the configuration writer, said no
inline constexpr int kExitInvalidUrl = 2;   // not a usable proxy URL
inline constexpr int kExitUnreachable = 3;  // no helper, or no proxy, to talk to

using Registrar = void (*)(CLI::App& app, int& exitCode);

std::vector<Registrar>& registrars();

// Runs before main(); a failure to grow the list can only be out of memory,
// which ends the program there and then.
struct Registration {
  explicit Registration(Registrar r) noexcept { registrars().push_back(r); }
};

}  // namespace helperctl

#define HELPERCTL_COMMAND(fn) static const ::helperctl::Registration fn##_registration(fn)
