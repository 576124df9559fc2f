// The far end of a loopback TCP link for tests of the control link: a
// listener on 127.0.0.1 and its accepted connections, all on the io_context
// of the test's rtc::Thread, so one loop drives both ends.
#ifndef TESTS_BASE_TCP_TEST_PEER_H_
#define TESTS_BASE_TCP_TEST_PEER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "base/ip_address.h"
#include "base/socket_address.h"
#include "base/thread.h"

namespace testpeer {

using Bytes = std::vector<uint8_t>;

// Runs the thread's loop until the condition holds or the deadline passes.
inline bool PumpUntil(rtc::Thread* thread, const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    thread->ProcessMessages(5);
  }
  return true;
}

// Splits a byte stream into messages by their 3-byte big-endian length.
// Stops at an incomplete or impossible message; *rest gets what is left.
inline std::vector<Bytes> SplitMessages(const Bytes& stream, size_t* rest = nullptr) {
  std::vector<Bytes> messages;
  size_t pos = 0;
  while (stream.size() - pos >= 3) {
    const size_t length =
        (size_t{stream[pos]} << 16) | (size_t{stream[pos + 1]} << 8) | size_t{stream[pos + 2]};
    if (length < 3 || length > stream.size() - pos) break;
    messages.emplace_back(stream.begin() + static_cast<long>(pos),
                          stream.begin() + static_cast<long>(pos + length));
    pos += length;
  }
  if (rest) *rest = stream.size() - pos;
  return messages;
}

class TcpTestConnection {
 public:
  explicit TcpTestConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
  ~TcpTestConnection() { alive_.reset(); }

  // Collects what arrives into received(); off by default so that a test can
  // let the sender's buffers fill up.
  void StartReading() {
    if (reading_) return;
    reading_ = true;
    ReadMore();
  }

  void Write(const Bytes& bytes) {
    std::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
  }
  // Aborts with a reset (RST) rather than an orderly close.
  void Reset() {
    std::error_code ec;
    socket_.set_option(asio::socket_base::linger(true, 0), ec);
    socket_.close(ec);
  }
  void Close() {
    std::error_code ec;
    socket_.shutdown(asio::socket_base::shutdown_both, ec);
    socket_.close(ec);
  }

  const Bytes& received() const { return received_; }
  std::vector<Bytes> messages() const { return SplitMessages(received_); }
  bool eof() const { return eof_; }
  rtc::SocketAddress remote() const {
    std::error_code ec;
    const auto ep = socket_.remote_endpoint(ec);
    return rtc::SocketAddress(rtc::IPAddress(ep.address().to_v4().to_uint()), ep.port());
  }

 private:
  void ReadMore() {
    std::weak_ptr<int> alive = alive_;
    socket_.async_read_some(asio::buffer(chunk_), [this, alive](std::error_code ec, size_t n) {
      if (alive.expired()) return;
      if (ec) {
        eof_ = true;
        return;
      }
      received_.insert(received_.end(), chunk_, chunk_ + n);
      ReadMore();
    });
  }

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // handlers check it first
  asio::ip::tcp::socket socket_;
  uint8_t chunk_[65536];
  Bytes received_;
  bool reading_ = false;
  bool eof_ = false;
};

class TcpTestListener {
 public:
  // Listens on 127.0.0.1:port (0: any free port). Accepted connections start
  // reading at once unless read_on_accept is false.
  explicit TcpTestListener(rtc::Thread* thread, uint16_t port = 0, bool read_on_accept = true,
                           int receive_buffer = 0)
      : acceptor_(thread->io_context()), read_on_accept_(read_on_accept) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    if (receive_buffer > 0) {
      acceptor_.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
    }
    acceptor_.bind(endpoint);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    Accept();
  }
  ~TcpTestListener() {
    alive_.reset();
    StopListening();
  }

  uint16_t port() const { return port_; }
  rtc::SocketAddress address() const {
    return rtc::SocketAddress(rtc::IPAddress(0x7F000001u), port_);
  }
  void StopListening() {
    std::error_code ec;
    acceptor_.close(ec);
  }

  size_t accepted() const { return connections_.size(); }
  TcpTestConnection& connection(size_t i) { return *connections_.at(i); }

 private:
  void Accept() {
    std::weak_ptr<int> alive = alive_;
    acceptor_.async_accept([this, alive](std::error_code ec, asio::ip::tcp::socket socket) {
      if (alive.expired() || ec) return;
      connections_.push_back(std::make_unique<TcpTestConnection>(std::move(socket)));
      if (read_on_accept_) connections_.back()->StartReading();
      Accept();
    });
  }

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // handlers check it first
  asio::ip::tcp::acceptor acceptor_;
  bool read_on_accept_;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<TcpTestConnection>> connections_;
};

// A loopback port on which nothing listens (it was free a moment ago).
inline uint16_t ClosedPort(rtc::Thread* thread) {
  TcpTestListener listener(thread);
  return listener.port();
}

}  // namespace testpeer

#endif  // TESTS_BASE_TCP_TEST_PEER_H_
