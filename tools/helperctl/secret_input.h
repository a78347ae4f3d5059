// Where a command takes a secret from (a proxy URL with a password, a
// session token): its argument, standard input (the argument `-`) or
// another open descriptor (--fd N). An argument stays readable by every
// local user in /proc/PID/cmdline, and so in `ps`, for as long as the
// process runs; the other two are seen by nobody else.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace helperctl {

class SecretInput {
 public:
  // `name` is the argument's name in the usage line (URL, TOKEN); `what`
  // the secret in words, for help and messages ("proxy URL").
  SecretInput(std::string name, std::string what) : name_(std::move(name)), what_(std::move(what)) {}

  // Adds the argument and --fd to `command`. `description` says what the
  // argument is. The help's footer tells how to keep the secret out of the
  // process list, then gives the command's `exitStatus` text.
  void addTo(CLI::App& command, const std::string& description, const std::string& exitStatus);

  // The secret, from wherever the command line said. Input read from `-` or
  // --fd is one line: the trailing newline is dropped; nothing at all, or a
  // second line, is refused. From a terminal it is prompted for on standard
  // error and read without echo. On failure says why on standard error and
  // returns nothing; the command then ends with EX_USAGE.
  std::optional<std::string> read() const;

 private:
  std::string name_;
  std::string what_;
  std::string command_;  // "helperctl activate", for messages
  std::string argument_;
  std::optional<int> fd_;
};

// For each command's exit statuses.
inline constexpr const char* kSecretInputStatus =
    "64 bad command line, or what - or --fd delivered is empty, longer than one line or unreadable";

}  // namespace helperctl
