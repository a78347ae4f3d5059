// A session service of its own per test, served in this process: the
// stand-in engine beside the test's own helper path, short engine timings,
// a process exit that is only recorded, a listener that admits every
// client, and clients that reach it through a socket of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "helper/front/control_connection.h"
#include "helper/front/helper_constants.h"
#include "helper/session/helper_service_impl.h"
#include "platform/ipc/packet_server.h"
#include "tests/engine/engine_fixture.h"
#include "tools/client/helper_client.h"

namespace helper::test {

class SessionFixture : public EngineFixture {
 protected:
  void TearDown() override {
    server_.reset();
    service_.reset();
    EngineFixture::TearDown();
  }

  HelperServiceImpl::Options options() {
    HelperServiceImpl::Options o;
    o.engine = fastTimings();
    o.watchdogInterval = 3600;
    o.exitDelay = 0.05;
    return o;
  }
  // Created on first use, with `o` or options().
  HelperServiceImpl& service(const std::optional<HelperServiceImpl::Options>& o = std::nullopt) {
    if (!service_) service_ = std::make_unique<HelperServiceImpl>(o.value_or(options()));
    return *service_;
  }

  // Admission is the real helper's (service_test); here every client is
  // served.
  struct AdmitAll : ipc::PacketServer::Delegate {
    SessionFixture* fixture;
    bool shouldAcceptNewConnection(ipc::PacketServer&, ipc::ServerConnection& connection) override {
      connection.setHandler(std::make_shared<ControlConnectionHandler>(fixture->service()));
      connection.resume();
      return true;
    }
  };

  // A connected client; the service is served on first use.
  std::unique_ptr<HelperClient> client(double timeout = 30) {
    if (!server_) {
      ipc::PacketServer::Options s;
      s.socketPath = tmp_.file("control.sock");
      s.serviceName = HelperConstants::machServiceName;
      s.useSocketActivation = false;
      admitAll_.fixture = this;
      server_ = std::make_unique<ipc::PacketServer>(s, admitAll_);
      EXPECT_EQ(server_->resume(), "");
    }
    HelperClient::Options o;
    o.socketPath = tmp_.file("control.sock");
    o.requireRootServer = false;
    o.requestTimeout = o.activateTimeout = timeout;
    return HelperClient::connect(o);
  }

  std::vector<int> exits() { return os_.exitsSoFar(); }

  std::unique_ptr<HelperServiceImpl> service_;
  AdmitAll admitAll_;
  std::unique_ptr<ipc::PacketServer> server_;
};

}  // namespace helper::test
