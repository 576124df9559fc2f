// The gateway link against real loopback listeners: registration and a
// heartbeat on connect, heartbeats on every pass, reconnects, several gateways.
#include "control/gateway_connector.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "base/tcp_test_peer.h"
#include "base/thread.h"
#include "control/control_header.h"
#include "control/control_messages.h"

#include "support/log_capture.h"

namespace corvaneserver {
namespace {

using testpeer::Bytes;
using testpeer::PumpUntil;
using testpeer::TcpTestListener;

const Bytes kHeartbeat = {0x00, 0x00, 0x0A, 0x00, 0x2E, 0xE1, 0x00, 0x00, 0x00, 0x00};
// What the fake service registers with: type 1, bgp ip 10.0.0.1, port 9000.
const Bytes kRegistration = {0x00, 0x00, 0x19, 0x00, 0x2E, 0xE0, 0x00, 0x00, 0x00,
                             0x00, 0x08, 0x01, 0x1A, 0x08, '1',  '0',  '.',  '0',
                             '.',  '0',  '.',  '1',  0x20, 0xA8, 0x46};

class FakeService : public GatewayMessageHandler {
 public:
  struct Received {
    rtc::AsyncPacketSocket* socket;
    Bytes bytes;
    rtc::SocketAddress remote;
  };

  void HandleMessage(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                     const rtc::SocketAddress& remote) override {
    received.push_back({socket, Bytes(data, data + length), remote});
  }
  void SendRegisterMessage(rtc::AsyncPacketSocket* socket) override {
    ++registrations;
    RegisterReq req;
    req.server_type = 1;
    req.bgp_ip = "10.0.0.1";
    req.port = 9000;
    const Bytes message = BuildRegisterMessage(req);
    socket->Send(message.data(), message.size());
  }

  int registrations = 0;
  std::vector<Received> received;
};

using testutil::LogCapture;

class GatewayConnectorTest : public ::testing::Test {
 protected:
  GatewayConnectorTest() : thread_(rtc::Thread::Current()) {}
  ~GatewayConnectorTest() override {
    connector_.reset();
    thread_->ProcessMessages(0);
  }

  static std::string Text(const TcpTestListener& listener) {
    return "127.0.0.1:" + std::to_string(listener.port());
  }
  // Waits until the gateway's connection i has received n messages.
  bool WaitForMessages(TcpTestListener* gateway, size_t i, size_t n) {
    return PumpUntil(thread_, [&] {
      return gateway->accepted() > i && gateway->connection(i).messages().size() >= n;
    });
  }
  bool AllConnected() const {
    for (const auto& entry : connector_->connections()) {
      if (!entry.second || entry.second->GetState() != rtc::AsyncPacketSocket::STATE_CONNECTED) {
        return false;
      }
    }
    return true;
  }

  rtc::Thread* thread_;
  LogCapture log_;
  FakeService service_;
  std::unique_ptr<GatewayConnector> connector_;
};

TEST_F(GatewayConnectorTest, RegistersAndSendsAHeartbeatOnConnect) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  EXPECT_EQ(log_.Count("connect to gateway " + Text(gateway)), 1);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  EXPECT_EQ(gateway.connection(0).messages(), (std::vector<Bytes>{kRegistration, kHeartbeat}));
  EXPECT_EQ(service_.registrations, 1);
  EXPECT_EQ(log_.Count("gateway " + Text(gateway) + " connect successed"), 1);
}

TEST_F(GatewayConnectorTest, EveryPassSendsAHeartbeat) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  for (size_t pass = 1; pass <= 3; ++pass) {
    connector_->TimerProcess();
    ASSERT_TRUE(WaitForMessages(&gateway, 0, 2 + pass));
  }
  const std::vector<Bytes> messages = gateway.connection(0).messages();
  ASSERT_EQ(messages.size(), 5u);
  for (size_t i = 1; i < messages.size(); ++i) EXPECT_EQ(messages[i], kHeartbeat);
  EXPECT_EQ(gateway.accepted(), 1u);
  EXPECT_EQ(service_.registrations, 1);
}

TEST_F(GatewayConnectorTest, ReceivedMessagesGoToTheHandler) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  const Bytes response = {0x00, 0x00, 0x0C, 0x00, 0x2E, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x08, 0x03};
  const Bytes join = {0x00, 0x00, 0x0F, 0x00, 0x2E, 0xE2, 0x01, 0x02,
                      0x03, 0x04, 0x08, 0x01, 0x22, 0x01, 'x'};
  Bytes both = response;
  both.insert(both.end(), join.begin(), join.end());
  gateway.connection(0).Write(both);
  ASSERT_TRUE(PumpUntil(thread_, [&] { return service_.received.size() == 2; }));
  EXPECT_EQ(service_.received[0].bytes, response);
  EXPECT_EQ(service_.received[1].bytes, join);
  const rtc::AsyncPacketSocket* socket = connector_->connections().begin()->second.get();
  for (const auto& r : service_.received) {
    EXPECT_EQ(r.socket, socket);
    EXPECT_EQ(r.remote, gateway.address());
  }
}

TEST_F(GatewayConnectorTest, ResetByTheGatewayIsLoggedAndReconnectedAtTheNextPass) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  gateway.connection(0).Reset();
  ASSERT_TRUE(PumpUntil(
      thread_, [&] { return log_.Count("gateway [" + Text(gateway) + "] disconnect") == 1; }));
  ASSERT_EQ(connector_->connections().size(), 1u);
  EXPECT_EQ(connector_->connections().begin()->second, nullptr);

  connector_->TimerProcess();
  ASSERT_TRUE(WaitForMessages(&gateway, 1, 2));
  EXPECT_EQ(gateway.connection(1).messages(), (std::vector<Bytes>{kRegistration, kHeartbeat}));
  EXPECT_EQ(service_.registrations, 2);
  EXPECT_EQ(log_.Count(" connect successed"), 2);
}

TEST_F(GatewayConnectorTest, OrderlyCloseIsReconnectedButNotLogged) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  gateway.connection(0).Close();
  ASSERT_TRUE(
      PumpUntil(thread_, [&] { return connector_->connections().begin()->second == nullptr; }));
  EXPECT_EQ(log_.Count("disconnect"), 0);
  connector_->TimerProcess();
  ASSERT_TRUE(WaitForMessages(&gateway, 1, 2));
}

TEST_F(GatewayConnectorTest, GatewayDownAtStartIsTriedAgainAtEveryPass) {
  const uint16_t port = testpeer::ClosedPort(thread_);
  const std::string text = "127.0.0.1:" + std::to_string(port);
  connector_ = std::make_unique<GatewayConnector>(text, &service_);
  ASSERT_EQ(connector_->connections().size(), 1u);
  ASSERT_TRUE(
      PumpUntil(thread_, [&] { return connector_->connections().begin()->second == nullptr; }));
  connector_->TimerProcess();  // refused again
  ASSERT_TRUE(
      PumpUntil(thread_, [&] { return connector_->connections().begin()->second == nullptr; }));
  EXPECT_EQ(service_.registrations, 0);
  EXPECT_EQ(log_.Count("disconnect"), 0);

  TcpTestListener gateway(thread_, port);
  connector_->TimerProcess();
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  EXPECT_EQ(gateway.connection(0).messages(), (std::vector<Bytes>{kRegistration, kHeartbeat}));
  EXPECT_EQ(log_.Count("gateway " + text + " connect successed"), 1);
}

TEST_F(GatewayConnectorTest, SeveralGatewaysEachGetTheirOwnConnection) {
  TcpTestListener first(thread_);
  TcpTestListener second(thread_);
  TcpTestListener third(thread_);
  connector_ = std::make_unique<GatewayConnector>(
      Text(first) + "|" + Text(second) + "|" + Text(third), &service_);
  EXPECT_EQ(connector_->connections().size(), 3u);
  for (TcpTestListener* gateway : {&first, &second, &third}) {
    ASSERT_TRUE(WaitForMessages(gateway, 0, 2));
    EXPECT_EQ(gateway->connection(0).messages(), (std::vector<Bytes>{kRegistration, kHeartbeat}));
    EXPECT_EQ(log_.Count("connect to gateway " + Text(*gateway)), 1);
  }
  ASSERT_TRUE(PumpUntil(thread_, [&] { return AllConnected(); }));
  connector_->TimerProcess();
  for (TcpTestListener* gateway : {&first, &second, &third}) {
    ASSERT_TRUE(WaitForMessages(gateway, 0, 3));
    EXPECT_EQ(gateway->connection(0).messages()[2], kHeartbeat);
    EXPECT_EQ(gateway->accepted(), 1u);
  }
  EXPECT_EQ(service_.registrations, 3);
}

TEST_F(GatewayConnectorTest, UnusableAddressesAreLoggedAndNeverRetried) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(
      "127.0.0.1|0.0.0.0:80|127.0.0.1:0|" + Text(gateway) + "|", &service_);
  EXPECT_EQ(log_.Count("connect to gateway 127.0.0.1"), 4);  // the last one is fine
  EXPECT_EQ(log_.Count(" failed"), 3);
  EXPECT_EQ(log_.Count("connect to gateway 0.0.0.0:80 failed"), 1);
  EXPECT_EQ(log_.Count("connect to gateway 127.0.0.1:0 failed"), 1);
  ASSERT_EQ(connector_->connections().size(), 1u);
  EXPECT_EQ(connector_->connections().begin()->first, gateway.address());
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  connector_->TimerProcess();
  EXPECT_EQ(log_.Count(" failed"), 3);
  EXPECT_EQ(connector_->connections().size(), 1u);
}

TEST_F(GatewayConnectorTest, SameAddressTwiceSharesOneConnection) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway) + "|" + Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  EXPECT_FALSE(PumpUntil(
      thread_, [&] { return gateway.accepted() > 1; }, std::chrono::milliseconds(50)));
  EXPECT_EQ(connector_->connections().size(), 1u);
  EXPECT_EQ(service_.registrations, 1);
}

TEST_F(GatewayConnectorTest, ClosingDisposesOfEverySocket) {
  TcpTestListener first(thread_);
  TcpTestListener second(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(first) + "|" + Text(second), &service_);
  ASSERT_TRUE(WaitForMessages(&first, 0, 2));
  ASSERT_TRUE(WaitForMessages(&second, 0, 2));
  connector_.reset();
  ASSERT_TRUE(
      PumpUntil(thread_, [&] { return first.connection(0).eof() && second.connection(0).eof(); }));
  EXPECT_EQ(log_.Count("disconnect"), 0);
}

TEST_F(GatewayConnectorTest, GatewayLosingItsFramingIsDroppedAndReconnected) {
  TcpTestListener gateway(thread_);
  connector_ = std::make_unique<GatewayConnector>(Text(gateway), &service_);
  ASSERT_TRUE(WaitForMessages(&gateway, 0, 2));
  gateway.connection(0).Write({0x00, 0x00, 0x00, 0x2E, 0xE1});
  ASSERT_TRUE(
      PumpUntil(thread_, [&] { return connector_->connections().begin()->second == nullptr; }));
  EXPECT_TRUE(service_.received.empty());
  connector_->TimerProcess();
  ASSERT_TRUE(WaitForMessages(&gateway, 1, 2));
  EXPECT_EQ(service_.registrations, 2);
}

}  // namespace
}  // namespace corvaneserver
