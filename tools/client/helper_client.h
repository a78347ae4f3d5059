// A client of the helper's control interface: connects to its socket,
// checks that root serves it, and runs the five operations with time-outs
// that fit them. One request at a time per client; calls from several
// threads queue up. HeartbeatKeeper keeps a session alive from a thread of
// its own.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "helper/protocol/control_message.h"
#include "helper/protocol/helper_status.h"
#include "platform/ipc/packet_client.h"

namespace helper {

class HelperClientError : public std::runtime_error {
 public:
  enum class Kind {
    unreachable,   // no helper listens, or not one run by root
    refused,       // the helper did not admit this program
    timeout,       // no reply in time; the connection stays usable
    disconnected,  // the helper closed the connection
    protocol,      // a reply that makes no sense; the connection is closed
  };
  HelperClientError(Kind kind, const std::string& message, std::optional<ErrorCode> code = std::nullopt)
      : std::runtime_error(message), kind_(kind), code_(std::move(code)) {}
  Kind kind() const { return kind_; }
  // The code of a refusal (see docs/protocol.md), when the helper sent one.
  const std::optional<ErrorCode>& code() const { return code_; }

 private:
  Kind kind_;
  std::optional<ErrorCode> code_;
};

class HelperClient {
 public:
  struct Options {
    // Empty: the helper's socket (under HELPER_ROOT when set).
    std::string socketPath;
    // Only talk to a helper that runs as root. Under HELPER_ROOT (a test
    // sandbox) any user will do.
    std::optional<bool> requireRootServer;
    double connectTimeout = 5;  // until the hello arrives
    double pingTimeout = 5;
    // status, heartbeat and deactivate wait behind an engine start or stop
    // that holds the service lock: up to about 40 s.
    double requestTimeout = 60;
    // activate may stop a previous engine (7 s), then waits up to 30 s for
    // the new one's TUN device, possibly behind another start.
    double activateTimeout = 120;
  };

  // Throws HelperClientError (unreachable, refused, timeout, protocol).
  static std::unique_ptr<HelperClient> connect(Options options);
  static std::unique_ptr<HelperClient> connect() { return connect(Options{}); }

  // Each throws HelperClientError when no reply arrives. A refused
  // activate or deactivate is a result with the helper's message and its
  // code (`error`).
  std::string ping();
  HelperStatus status();
  ActivateResult activate(const std::string& proxyURL, std::int32_t clientPID);
  bool heartbeat(const std::string& sessionToken);
  DeactivateResult deactivate(const std::string& sessionToken);

  // One request and its reply; `timeout` in seconds.
  ControlResult call(ControlRequest request, double timeout);

  const Hello& hello() const { return hello_; }
  pid_t serverPid() const { return socket_->server().pid; }
  const Options& options() const { return options_; }

 private:
  HelperClient(Options options, std::unique_ptr<ipc::PacketClient> socket, Hello hello);

  Options options_;
  std::mutex mutex_;
  std::unique_ptr<ipc::PacketClient> socket_;
  Hello hello_;
  std::uint64_t nextId_ = 1;
  bool closed_ = false;
};

// Sends a heartbeat every `interval` seconds until stopped. When a
// heartbeat is refused or fails, it stops and calls `onEnded` with the
// reason (on its own thread).
class HeartbeatKeeper {
 public:
  HeartbeatKeeper(HelperClient& client, std::string sessionToken, double interval,
                  std::function<void(const std::string& reason)> onEnded = nullptr);
  ~HeartbeatKeeper();
  HeartbeatKeeper(const HeartbeatKeeper&) = delete;
  HeartbeatKeeper& operator=(const HeartbeatKeeper&) = delete;

  // Waits for a heartbeat in flight to finish; no callback afterwards.
  void stop();
  bool running() const;
  // Heartbeats accepted so far.
  std::uint64_t beats() const;

 private:
  void run();

  HelperClient& client_;
  const std::string token_;
  const double interval_;
  std::function<void(const std::string&)> onEnded_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool running_ = true;
  std::uint64_t beats_ = 0;
  std::thread thread_;
};

}  // namespace helper
