// The helper daemon: records the launch image stamp, starts the control
// listener and serves until it is stopped or exits for an updated
// executable.
#include <sysexits.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "helper/codesign/code_sign_validator.h"
#include "helper/protocol/helper_constants.h"
#include "helper/front/helper_listener_delegate.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"
#include "platform/paths/paths.h"
#include "platform/process/self_exe.h"

using namespace helper;

int main(int argc, char** argv) {
  // The daemon has no options; an argument is a mistake (`helper --help`
  // by a person, say), answered before anything is touched: not the
  // socket, not the log directory.
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s (no arguments) — the helper daemon, started by systemd through "
                 "helper.socket; talk to it with helperctl (see helperctl --help)\n",
                 argv[0]);
    return EX_USAGE;
  }
  // Every connection is served on a thread of its own; by default each new
  // thread may get a malloc arena of its own, up to eight per core, and the
  // memory of a busy minute stays spread over them. Two arenas serve a
  // control socket that sees a request at a time well enough.
  mallopt(M_ARENA_MAX, 2);
  // The launch path, before anything can replace the file.
  ownExecutablePath();
  // Replies go to clients that may vanish; a dead peer is a send error.
  ::signal(SIGPIPE, SIG_IGN);
  // Run as a user of its own, the helper holds its capabilities as ambient
  // ones, which every program it starts would inherit. Children get exactly
  // what they ask for instead (the engine its three, ip CAP_NET_ADMIN), so
  // the ambient set goes; the helper's own capabilities stay.
  ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);

  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);

  const Logger log(kLogSubsystem, "main");
  log.notice("helper starting, version %s", HelperConstants::helperVersion);

  CodeSignValidator::recordStartupStamp();

  // Both live as long as the process.
  static HelperListenerDelegate delegate;
  ipc::PacketServer::Options options;
  options.socketPath = paths::rooted(kControlSocketPath);
  options.serviceName = HelperConstants::machServiceName;
  options.protocolVersion = HelperConstants::protocolVersion;
  static ipc::PacketServer listener(options, delegate);
  if (const Status listening = listener.resume(); !listening) {
    // Without its socket the service is of no use; systemd restarts it.
    log.fault("cannot listen for connections: %s", listening.error().message.c_str());
    os().exit(1);
  }
  log.notice("helper listening on %s", HelperConstants::machServiceName);

  // Everything happens on the listener's, the connections' and the queues'
  // threads from here on.
  for (;;) ::pause();
  return 0;
}
