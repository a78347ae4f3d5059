// helper-codesign: the signing tool of the helper's code-signing scheme.
// Makes Ed25519 signing keys, appends signature trailers to executables,
// shows what a trailer says and checks it. See docs/code-signing.md.
#include <sysexits.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/codesign/code_file.h"
#include "tools/cli/parse.h"

namespace {

using namespace helper::codesign;
using helper::Result;
using helper::Status;
using helper::UniqueFd;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int complain(const std::string& text) {
  std::cerr << "helper-codesign: " << text << "\n";
  return kExitFailed;
}

std::string notSet(const std::optional<std::string>& value) { return value.value_or("not set"); }

int keygen(const std::string& out, bool force, bool ifMissing) {
  if (ifMissing) {
    struct stat st {};
    if (::stat(out.c_str(), &st) == 0) {
      const auto key = SigningKey::load(out);
      if (!key) return complain(key.error().message + " (and --if-missing keeps it)");
      std::cout << key->teamIdentifier() << "\n";
      return kExitOk;
    }
  }
  const auto key = SigningKey::generate();
  if (!key) return complain(key.error().message);
  if (const Status saved = saveKeyFile(out, key->toPem(), force); !saved) return complain(saved.error().message);
  std::cout << key->teamIdentifier() << "\n";
  std::cerr << "wrote " << out
            << " (Ed25519 private key, mode 0600). Keep it secret: whoever holds it can sign "
               "programs the helper trusts.\n";
  return kExitOk;
}

int sign(const std::string& file, const std::string& identifier, const std::string& keyPath) {
  std::optional<SigningKey> key;
  if (!keyPath.empty()) {
    Result<SigningKey> loaded = SigningKey::load(keyPath);
    if (!loaded) return complain(loaded.error().message);
    key = std::move(*loaded);
    struct stat st {};
    if (::stat(keyPath.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      std::cerr << "helper-codesign: warning: " << keyPath
                << " can be read by other users; chmod 600 it\n";
    }
  }
  const Result<Signed> r = signFile(file, identifier, key ? &*key : nullptr);
  if (!r) return complain(r.error().message);
  std::cout << file << ": " << (r->replacedExisting ? "replacing existing signature; " : "")
            << "signed (Identifier=" << identifier
            << ", TeamIdentifier=" << notSet(r->teamIdentifier) << ")\n";
  return kExitOk;
}

int display(const std::string& file) {
  const Result<UniqueFd> fd = openCodeFile(file);
  if (!fd) return complain(fd.error().message);
  const ParseResult parsed = readTrailer(fd->get());
  char real[PATH_MAX];
  std::cout << "Executable=" << (::realpath(file.c_str(), real) ? real : file.c_str()) << "\n";
  if (parsed.status == kStatusUnsigned) {
    std::cout << "Identifier=not set\nSignature=none\nTeamIdentifier=not set\n";
    std::cerr << file << ": code object is not signed at all\n";
    return kExitOk;
  }
  if (parsed.status != kStatusOK) {
    return complain(file + ": status " + std::to_string(parsed.status) + ": " +
                    statusReason(parsed.status) + ": " + parsed.detail);
  }
  const Trailer& t = *parsed.trailer;
  const bool team = t.kind == SignatureKind::ed25519;
  std::cout << "Identifier=" << t.identifier << "\n"
            << "Format=helper-trailer-" << int{kTrailerVersion} << "\n"
            << "CodeSize=" << t.codeLength << "\n"
            << "Hash=sha256:" << hex(t.codeHash) << "\n"
            << "Signature=" << (team ? "Ed25519" : "adhoc") << "\n"
            << "TeamIdentifier=" << (team ? teamIdentifier(t.publicKey) : "not set") << "\n";
  return kExitOk;
}

int verify(const std::string& file) {
  const CodeEvaluation e = evaluateFile(file);
  if (e.status != kStatusOK) {
    std::string text = file + ": status " + std::to_string(e.status) + ": " + statusReason(e.status);
    if (e.status != kStatusUnsigned && !e.detail.empty()) text += ": " + e.detail;
    return complain(text);
  }
  std::cout << file << ": valid on disk (Identifier=" << notSet(e.identifier())
            << ", TeamIdentifier=" << notSet(e.teamIdentifier()) << ")\n";
  return kExitOk;
}

int run(int argc, char** argv) {
  CLI::App app{
      "helper-codesign - sign executables so the helper trusts them, and check signatures.\n\n"
      "A signature is a trailer appended to the file: the signing identifier, and for a team "
      "signature an Ed25519 public key and a signature over the SHA-256 of everything before "
      "the trailer. The Team ID is derived from the public key, so every program signed with "
      "one key carries the same Team ID. An ad-hoc signature seals the contents but has no "
      "Team ID. See docs/code-signing.md."};
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  helper-codesign keygen --out team.key          # prints the key's Team ID\n"
      "  helper-codesign sign --identifier tarn.CorvalethApp --key team.key ./app\n"
      "  helper-codesign verify ./app && helper-codesign display ./app\n\n"
      "Exit status: 0 done; 1 the command failed (the reason is on stderr; for verify: the "
      "signature is missing, damaged or does not match); 64 bad command line.\n");

  int exitCode = kExitOk;
  std::string out, file, identifier, keyPath;
  bool force = false, ifMissing = false, adhoc = false;

  auto* keygenCmd = app.add_subcommand(
      "keygen", "Make a new Ed25519 signing key and print its Team ID on stdout.");
  keygenCmd->add_option("--out", out, "the private key file to write (mode 0600)")->required();
  auto* forceOpt = keygenCmd->add_flag("--force", force, "replace an existing key file");
  keygenCmd->add_flag("--if-missing", ifMissing,
                      "keep an existing key file and print its Team ID instead")
      ->excludes(forceOpt);
  keygenCmd->footer(
      "The key file is PEM (PKCS #8), as `openssl genpkey -algorithm ed25519` writes it. "
      "Without --force an existing file is never replaced.\n"
      "Exit status: 0 written (or kept with --if-missing); 1 not written; 64 bad command "
      "line.");
  keygenCmd->callback([&] { exitCode = keygen(out, force, ifMissing); });

  auto* signCmd = app.add_subcommand(
      "sign", "Sign FILE in place with a team key, or ad-hoc; replaces an existing signature.");
  signCmd->add_option("--identifier", identifier,
                      "the signing identifier, e.g. tarn.CorvalethApp (printable ASCII, no "
                      "spaces, at most 255 bytes)")
      ->required();
  auto* keyOpt = signCmd->add_option("--key", keyPath, "the private key file made by keygen");
  auto* adhocOpt = signCmd->add_flag("--adhoc", adhoc, "sign without a key: no Team ID");
  keyOpt->excludes(adhocOpt);
  signCmd->add_option("FILE", file, "the file to sign")->required();
  signCmd->footer(
      "The signed file is written beside FILE and renamed over it, keeping its mode, so "
      "FILE is never seen half-written. A symbolic link is followed and its target signed.\n"
      "Exit status: 0 signed; 1 not signed (FILE unchanged); 64 bad command line.");
  signCmd->callback([&] {
    if (keyPath.empty() == !adhoc) {
      std::cerr << "helper-codesign sign: give exactly one of --key KEY and --adhoc\n";
      exitCode = EX_USAGE;
      return;
    }
    if (const std::string problem = identifierProblem(identifier); !problem.empty()) {
      std::cerr << "helper-codesign sign: --identifier: " << problem << "\n";
      exitCode = EX_USAGE;
      return;
    }
    exitCode = sign(file, identifier, keyPath);
  });

  auto* displayCmd = app.add_subcommand(
      "display", "Show what FILE's signature says (Identifier=, TeamIdentifier=, ...).");
  displayCmd->add_option("FILE", file, "the file to look at")->required();
  displayCmd->footer(
      "Prints one KEY=VALUE per line; values that are absent read \"not set\". Does not check "
      "the signature: use verify for that.\n"
      "Exit status: 0 shown (an unsigned file too); 1 the file cannot be read or its trailer "
      "is malformed; 64 bad command line.");
  displayCmd->callback([&] { exitCode = display(file); });

  auto* verifyCmd =
      app.add_subcommand("verify", "Check that FILE's signature is present and intact.");
  verifyCmd->add_option("FILE", file, "the file to check")->required();
  verifyCmd->footer(
      "Statuses on failure: -67062 not signed; -67061 contents or signature do not match; "
      "-67049 malformed trailer; -67059 unsupported trailer version; -67068 no such file; "
      "-67048 read error.\n"
      "Exit status: 0 intact; 1 not (the status and its reason on stderr); 64 bad command "
      "line.");
  verifyCmd->callback([&] { exitCode = verify(file); });

  const auto known = [&app](const char* name) {
    for (const CLI::App* sub : app.get_subcommands({})) {
      if (sub->check_name(name)) return true;
    }
    return false;
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
    std::cerr << "helper-codesign: unknown command '" << argv[1]
              << "' (commands: keygen, sign, display, verify)\nRun `helper-codesign --help` for "
                 "usage.\n";
    return EX_USAGE;
  }
  if (const auto early = helper::cli::parse(app, argc, argv, "helper-codesign")) return *early;
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // Whatever escapes (out of memory, a file system error) is reported as a
  // failure of the command, never as an abort.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    return complain(e.what());
  }
}
