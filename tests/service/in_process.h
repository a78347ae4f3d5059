// The whole service in the test process: the transport, admission (every
// peer trusted) and the session service with the stand-in engine. Lets
// ThreadSanitizer see both ends, and tests reach the clients' library.
#pragma once

#include <memory>
#include <string>

#include "helper/front/helper_constants.h"
#include "helper/front/helper_listener_delegate.h"
#include "helper/session/helper_service_impl.h"
#include "platform/ipc/packet_server.h"
#include "tests/engine/engine_fixture.h"
#include "tools/client/helper_client.h"

namespace helper::test {

class InProcessFixture : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    socketPath_ = tmp_.file("control.sock");
  }

  void TearDown() override {
    if (server_) server_->stop();
    server_.reset();
    delegate_.reset();
    service_.reset();
    background_.waitUntilIdle();
    EngineFixture::TearDown();
  }

  void startService(HelperServiceImpl::Options options) {
    options.manager.enginePath = enginePath_;
    options.manager.checkSignature = [](const std::string&) {};
    options.backgroundQueue = &background_;
    if (!options.exitProcess) options.exitProcess = [](int) {};
    service_ = std::make_unique<HelperServiceImpl>(options);
    HelperListenerDelegate::Options d;
    d.validate = [](const PeerProcess&) { return true; };
    d.imageReplacedSinceLaunch = [] { return false; };
    d.service = [this]() -> HelperServiceImpl& { return *service_; };
    d.backgroundQueue = &background_;
    delegate_ = std::make_unique<HelperListenerDelegate>(d);
    ipc::PacketServer::Options s;
    s.socketPath = socketPath_;
    s.serviceName = HelperConstants::machServiceName;
    s.useSocketActivation = false;
    server_ = std::make_unique<ipc::PacketServer>(s, *delegate_);
    ASSERT_EQ(server_->resume(), "");
  }

  std::unique_ptr<HelperClient> client(double requestTimeout = 30) {
    HelperClient::Options o;
    o.socketPath = socketPath_;
    o.requireRootServer = false;
    o.requestTimeout = requestTimeout;
    o.activateTimeout = requestTimeout;
    return HelperClient::connect(o);
  }

  std::string socketPath_;
  ConcurrentQueue background_;
  std::unique_ptr<HelperServiceImpl> service_;
  std::unique_ptr<HelperListenerDelegate> delegate_;
  std::unique_ptr<ipc::PacketServer> server_;
};

}  // namespace helper::test
