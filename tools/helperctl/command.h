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

// Every exit status of helperctl, in one place; besides these, EX_USAGE (64)
// for a bad command line and EX_SOFTWARE (70) for a bug, from <sysexits.h>.
// 0 to 3 mean the same for every subcommand; from 4 on the meaning depends
// on whether the subcommand talks to the helper or to a proxy (probe).
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;      // the helper, or the configuration writer, said no
inline constexpr int kExitInvalidUrl = 2;   // not a usable proxy URL
inline constexpr int kExitUnreachable = 3;  // no helper, or no proxy, to talk to
// Talking to the helper:
inline constexpr int kExitNotAdmitted = 4;  // the helper refused this program
inline constexpr int kExitNoAnswer = 5;     // time-out, lost connection, nonsense reply
// probe, talking to a proxy:
inline constexpr int kExitAuth = 4;           // credentials rejected or required
inline constexpr int kExitNoMethod = 5;       // no authentication method in common
inline constexpr int kExitTargetRefused = 6;  // the proxy refused the connection to the target
inline constexpr int kExitNotAProxy = 7;      // the answer is not the protocol's
inline constexpr int kExitBroken = 8;         // the proxy closed or broke the connection mid-handshake
inline constexpr int kExitTimeout = 9;        // no complete answer within the time-out

using Registrar = void (*)(CLI::App& app, int& exitCode);

std::vector<Registrar>& registrars();

// Runs before main(); a failure to grow the list can only be out of memory,
// which ends the program there and then.
struct Registration {
  explicit Registration(Registrar r) noexcept { registrars().push_back(r); }
};

}  // namespace helperctl

#define HELPERCTL_COMMAND(fn) static const ::helperctl::Registration fn##_registration(fn)
