// The gateway's loop, its links and the registrations of the servers.
#include "gateway/gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/time_utils.h"
#include "control/control_header.h"
#include "control/control_messages.h"

namespace corvanetools {

namespace {

constexpr int64_t kMaxPollUs = 200000;

std::string AddressText(const sockaddr_in& addr) {
  rtc::SocketAddress address;
  address.FromSockAddr(addr);
  return address.ToString();
}

}  // namespace

Gateway::Gateway(GatewayOptions options, GatewayOutput::Sink sink)
    : options_(std::move(options)), output_(options_.json, std::move(sink)) {
  if (::pipe2(wake_fds_, O_NONBLOCK | O_CLOEXEC) != 0) wake_fds_[0] = wake_fds_[1] = -1;
}

Gateway::~Gateway() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
  for (int fd : wake_fds_) {
    if (fd >= 0) ::close(fd);
  }
}

void Gateway::RequestStop() {
  stop_requested_.store(true, std::memory_order_relaxed);
  if (wake_fds_[1] >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing to do about a failure.
    [[maybe_unused]] const ssize_t written = ::write(wake_fds_[1], &byte, 1);
  }
}

bool Gateway::Start(std::string* error) {
  for (const std::string& line : options_.exec_lines) lines_.push_back(line);
  if (!options_.script_path.empty()) {
    std::ifstream in(options_.script_path);
    if (!in) {
      *error = "cannot read " + options_.script_path;
      return false;
    }
    std::string line;
    while (std::getline(in, line)) lines_.push_back(line);
  }
  input_ended_ = !options_.read_stdin;

  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr{};
  if (options_.listen.ToSockAddr(&addr) == 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    *error = "cannot listen on " + options_.listen.ToString() + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof(addr);
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length);
  listen_address_.FromSockAddr(addr);
  return true;
}

int Gateway::Run() {
  output_.Listening(listen_address_.ToString());
  next_heartbeat_us_ = rtc::TimeMicros() + int64_t{options_.heartbeat_ms} * 1000;
  std::vector<pollfd> fds;
  std::vector<ServerLink*> polled;
  while (!done_) {
    int64_t now_us = rtc::TimeMicros();
    if (stop_requested_.load(std::memory_order_relaxed)) {
      const bool idle = (wait_ == Wait::kNone || wait_ == Wait::kServe) && queued_.empty() &&
                        outstanding_.empty() && lines_.empty();
      if (!idle) {
        output_.Error(line_number_, "interrupted before the script ended");
        Fail();
      }
      Finish();
      break;
    }
    StepScript(now_us);
    if (done_) break;
    if (now_us >= next_heartbeat_us_) {
      SendHeartbeats();
      next_heartbeat_us_ += int64_t{options_.heartbeat_ms} * 1000;
    }

    int64_t wake_us = std::min(next_heartbeat_us_, now_us + kMaxPollUs);
    if (wait_ == Wait::kResponse || wait_ == Wait::kServers || wait_ == Wait::kSleep) {
      wake_us = std::min(wake_us, wait_until_us_);
    }
    const int timeout_ms = static_cast<int>(std::max<int64_t>(0, (wake_us - now_us + 999) / 1000));

    fds.clear();
    polled.clear();
    fds.push_back(pollfd{listen_fd_, POLLIN, 0});
    fds.push_back(pollfd{wake_fds_[0], POLLIN, 0});  // negative fd: ignored by poll
    const bool poll_stdin = options_.read_stdin && !input_ended_;
    if (poll_stdin) fds.push_back(pollfd{STDIN_FILENO, POLLIN, 0});
    const size_t first_link = fds.size();
    for (auto& link : links_) {
      fds.push_back(
          pollfd{link->fd(), static_cast<short>(POLLIN | (link->wants_write() ? POLLOUT : 0)), 0});
      polled.push_back(link.get());
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;

    if ((fds[0].revents & POLLIN) != 0) Accept();
    if (poll_stdin && fds[2].revents != 0) ReadStdin();
    for (size_t i = 0; i < polled.size(); ++i) {
      ServerLink* link = polled[i];
      const short events = fds[first_link + i].revents;
      if (link->open() && (events & POLLOUT) != 0) link->OnWritable();
      if (link->open() && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
        link->OnReadable(
            [this, link](const uint8_t* data, size_t size) { OnMessage(link, data, size); });
      }
      if (!link->open()) OnLinkClosed(link);
    }
    links_.erase(std::remove_if(links_.begin(), links_.end(),
                                [](const std::unique_ptr<ServerLink>& l) { return !l->open(); }),
                 links_.end());
  }
  const bool ok = failures_ == 0;
  output_.Done(ok, requests_, responses_, failures_);
  links_.clear();
  return ok ? 0 : 1;
}

void Gateway::Accept() {
  while (true) {
    sockaddr_in addr{};
    socklen_t length = sizeof(addr);
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    links_.push_back(std::make_unique<ServerLink>(fd, AddressText(addr)));
    if (options_.verbose) output_.Connected(links_.back()->peer());
  }
}

void Gateway::ReadStdin() {
  char buffer[4096];
  const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof(buffer));
  if (count < 0) {
    if (errno != EINTR && errno != EAGAIN) input_ended_ = true;
    return;
  }
  if (count == 0) {
    if (!stdin_partial_.empty()) lines_.push_back(stdin_partial_);
    stdin_partial_.clear();
    input_ended_ = true;
    return;
  }
  stdin_partial_.append(buffer, static_cast<size_t>(count));
  size_t newline;
  while ((newline = stdin_partial_.find('\n')) != std::string::npos) {
    lines_.push_back(stdin_partial_.substr(0, newline));
    stdin_partial_.erase(0, newline + 1);
  }
}

ServerInfo* Gateway::ServerOf(const ServerLink* link) {
  if (link->server_number <= 0) return nullptr;
  return &servers_[static_cast<size_t>(link->server_number - 1)];
}

ServerLink* Gateway::LinkOf(int server_number) {
  for (auto& link : links_) {
    if (link->open() && link->server_number == server_number) return link.get();
  }
  return nullptr;
}

int Gateway::ConnectedServers() const {
  return static_cast<int>(std::count_if(servers_.begin(), servers_.end(),
                                        [](const ServerInfo& s) { return s.connected; }));
}

void Gateway::OnMessage(ServerLink* link, const uint8_t* data, size_t size) {
  // A response frame has its own layout after the kind byte.
  corvaneserver::ControlResponse response;
  if (corvaneserver::ParseResponseFrame(data, size, &response)) {
    OnResponse(link, response);
    return;
  }
  corvaneserver::ControlHeader header;
  if (!corvaneserver::ParseControlHeader(data, size, &header)) {
    output_.UnknownMessage(ServerOf(link), 0, size);
    return;
  }
  switch (header.message_id) {
    case corvaneserver::kMsgIdRegister:
      OnRegister(link, data, size);
      break;
    case corvaneserver::kMsgIdHeartbeat:
      if (ServerInfo* server = ServerOf(link)) {
        ++server->heartbeats;
        if (options_.verbose) output_.Heartbeat(*server);
      }
      break;
    default:
      output_.UnknownMessage(ServerOf(link), header.message_id, size);
      break;
  }
}

void Gateway::OnRegister(ServerLink* link, const uint8_t* data, size_t size) {
  corvaneserver::ControlHeader header;
  corvaneserver::ParseControlHeader(data, size, &header);
  size_t body_size = 0;
  const uint8_t* body = corvaneserver::ControlBody(data, size, &body_size);
  corvaneserver::RegisterReq request;
  if (body != nullptr && request.Unmarshal(body, body_size) != kPbOk) {
    output_.Error(
        0, "registration from " + link->peer() + " does not decode; taken as far as it goes");
  }

  // A server that comes back with the same addresses keeps its number.
  bool again = link->server_number != 0;
  if (!again) {
    for (ServerInfo& known : servers_) {
      if (!known.connected && known.type == request.server_type && known.bgp_ip == request.bgp_ip &&
          known.tel_ip == request.tel_ip && known.port == request.port) {
        link->server_number = known.number;
        again = true;
        break;
      }
    }
  }
  if (link->server_number == 0) {
    servers_.emplace_back();
    servers_.back().number = static_cast<int>(servers_.size());
    link->server_number = servers_.back().number;
  }
  ServerInfo& server = *ServerOf(link);
  server.type = request.server_type;
  server.bgp_ip = request.bgp_ip;
  server.tel_ip = request.tel_ip;
  server.port = request.port;
  server.peer = link->peer();
  server.connected = true;
  output_.Registered(server, again);

  corvaneserver::MessageRsp answer;
  answer.result = 0;
  link->Send(
      corvaneserver::BuildControlMessage(corvaneserver::kMsgIdRegister, header.session_id, answer));
}

void Gateway::OnResponse(ServerLink* link, const corvaneserver::ControlResponse& response) {
  const uint32_t session = response.session_id;
  const int result = response.result;
  ServerInfo* server = ServerOf(link);
  ServerInfo unknown;
  unknown.peer = link->peer();
  auto it = outstanding_.find(session);
  if (it == outstanding_.end()) {
    output_.Unsolicited(server != nullptr ? *server : unknown, session, result);
    return;
  }
  ++responses_;
  const Request& request = it->second.request;
  const bool expect_failed = request.has_expect && result != request.expect;
  if (expect_failed) Fail();
  const double rtt_ms = static_cast<double>(rtc::TimeMicros() - it->second.sent_us) / 1000.0;
  output_.Response(server != nullptr ? *server : unknown, session, result, request.what, rtt_ms,
                   expect_failed, request.expect);
  outstanding_.erase(it);
}

void Gateway::OnLinkClosed(ServerLink* link) {
  ServerInfo* server = ServerOf(link);
  if (server == nullptr) {
    if (options_.verbose) output_.Disconnected(nullptr, link->peer(), link->close_error());
    return;
  }
  server->connected = false;
  output_.Disconnected(server, link->peer(), link->close_error());
  for (auto it = outstanding_.begin(); it != outstanding_.end();) {
    if (it->second.server == server->number) {
      output_.Lost(*server, it->first, it->second.request.what);
      Fail();
      it = outstanding_.erase(it);
    } else {
      ++it;
    }
  }
}

void Gateway::SendHeartbeats() {
  const auto heartbeat = corvaneserver::BuildHeartbeatNotify();
  for (auto& link : links_) {
    if (link->open() && link->server_number != 0) link->Send(heartbeat);
  }
}

}  // namespace corvanetools
