// baseline_relay: the least a forwarder can do on this kernel, the yardstick
// the forwarding benchmark (scripts/bench) measures corvane-sfu-server against.
//
// One thread, one UDP socket with large buffers (--buffer-bytes, 4 MiB as the
// server asks by default). Datagrams are read with recvmmsg in batches of 64;
// every datagram of a batch is sent on, unchanged, straight out of its receive
// buffer, and the whole batch's fan-out leaves in as few sendmmsg calls as the
// kernel takes (up to 1024 datagrams each). No admission, no rooms, no locks,
// no allocation after start-up.
//
// How it learns its destinations, so that the same corvane-client load runs
// against it as against the server:
//   - The roster file that corvane-gateway loads into the server (--users) says
//     which users share a room and which of them are unmuted speakers. From it
//     the relay builds, once, one destination list per room.
//   - A user's address is learned from its own datagrams: the id in a detect
//     datagram (bytes 4-11) or in a media header (bytes 6-13) names the user,
//     the source address is where it is reached. No token is checked.
//   - It answers what the client waits for during its handshake, the way the
//     server does: a 12-byte detect datagram "COr..." is echoed, and a datagram
//     with the acknowledgement bit (0x10 in byte 0) is acknowledged with the
//     server's 22-byte acknowledgement.
//   - A datagram of an unmuted speaker goes to every other member of its room
//     whose address is known; datagrams of anybody else go nowhere.
// So a client sees the same answers and the same forwarded datagrams from both.
//
// It stops by itself after --max-seconds (default 900), or on SIGINT/SIGTERM,
// and prints one line of counters on standard output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "packet/media_constants.h"

namespace {

constexpr size_t kBatch = 64;                                     // datagrams per recvmmsg
constexpr size_t kBufferSize = corvaneserver::kMaxUdpPacketSize;  // as the server's
constexpr size_t kMaxOut = 1024;                                  // datagrams per sendmmsg
constexpr size_t kDetectSize = corvaneserver::kDetectPktSize;
constexpr size_t kHeaderSize = corvaneserver::kMediaHeaderSize;
constexpr size_t kAckSize = corvaneserver::kAckPacketSize;
constexpr uint8_t kAskAck = corvaneserver::kAckFlag;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

uint64_t GetBE64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}
void SetBE64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

struct Member {
  uint32_t room = 0;  // index into rooms
  bool speaker = false;
  bool known = false;
  sockaddr_in address{};
};

struct Room {
  std::vector<uint32_t> members;  // indexes into the member table
  // Known addresses of the members and whose they are, rebuilt when one moves.
  std::vector<sockaddr_in> destinations;
  std::vector<uint32_t> owners;
  bool dirty = false;
};

struct Counters {
  uint64_t received = 0;
  uint64_t forwarded = 0;
  uint64_t answered = 0;  // echoes and acknowledgements
  uint64_t dropped = 0;   // sends the kernel refused
};

class Relay {
 public:
  bool LoadRoster(const std::string& path, std::string* error);
  bool Open(const std::string& listen, int buffer_bytes, std::string* error);
  void Run(double max_seconds);
  const Counters& counters() const { return counters_; }
  size_t member_count() const { return members_.size(); }

 private:
  void Handle(size_t slot);
  void Queue(const void* data, size_t size, const sockaddr_in* to);
  void Flush();
  void Rebuild(Room* room);

  int fd_ = -1;
  std::vector<Member> members_;
  std::vector<Room> rooms_;
  std::unordered_map<uint64_t, uint32_t> member_of_;

  std::array<std::array<uint8_t, kBufferSize>, kBatch> buffers_{};
  std::array<sockaddr_in, kBatch> sources_{};
  std::array<iovec, kBatch> in_vectors_{};
  std::array<mmsghdr, kBatch> in_messages_{};

  // Answers are built here; they live until the next Flush.
  std::array<std::array<uint8_t, kAckSize>, kBatch> answers_{};
  size_t answer_count_ = 0;
  std::array<iovec, kMaxOut> out_vectors_{};
  std::array<mmsghdr, kMaxOut> out_messages_{};
  size_t out_count_ = 0;

  Counters counters_;
};

bool Relay::LoadRoster(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::unordered_map<uint64_t, uint32_t> room_index;
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string room_word, user_word, role;
    uint64_t room_id = 0, user_id = 0;
    // room ROOM user ID ROLE TOKEN [...]; cascade lines and the rest are not ours.
    if (!(words >> room_word) || room_word != "room") continue;
    if (!(words >> room_id >> user_word >> user_id >> role) || user_word != "user") {
      *error = "bad roster line: " + line;
      return false;
    }
    auto [it, added] = room_index.emplace(room_id, static_cast<uint32_t>(rooms_.size()));
    if (added) rooms_.emplace_back();
    Member member;
    member.room = it->second;
    member.speaker = role == "speaker";
    const auto index = static_cast<uint32_t>(members_.size());
    if (!member_of_.emplace(user_id, index).second) {
      *error = "user " + std::to_string(user_id) + " is given twice";
      return false;
    }
    members_.push_back(member);
    rooms_[it->second].members.push_back(index);
  }
  return true;
}

bool Relay::Open(const std::string& listen, int buffer_bytes, std::string* error) {
  const size_t colon = listen.rfind(':');
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (colon == std::string::npos ||
      ::inet_pton(AF_INET, listen.substr(0, colon).c_str(), &addr.sin_addr) != 1) {
    *error = "bad --listen " + listen;
    return false;
  }
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(listen.c_str() + colon + 1)));
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "bind " + listen + ": " + std::strerror(errno);
    return false;
  }
  if (buffer_bytes > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof(buffer_bytes));
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof(buffer_bytes));
    int receive = 0, send = 0;
    socklen_t length = sizeof(receive);
    ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive, &length);
    length = sizeof(send);
    ::getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send, &length);
    std::fprintf(stderr, "baseline_relay: asked %d bytes of socket buffer, granted %d / %d\n",
                 buffer_bytes, receive / 2, send / 2);
  }
  for (size_t i = 0; i < kBatch; ++i) {
    in_vectors_[i].iov_base = buffers_[i].data();
    in_vectors_[i].iov_len = kBufferSize;
    in_messages_[i].msg_hdr.msg_iov = &in_vectors_[i];
    in_messages_[i].msg_hdr.msg_iovlen = 1;
    in_messages_[i].msg_hdr.msg_name = &sources_[i];
  }
  return true;
}

void Relay::Queue(const void* data, size_t size, const sockaddr_in* to) {
  if (out_count_ == kMaxOut) Flush();
  iovec& vector = out_vectors_[out_count_];
  vector.iov_base = const_cast<void*>(data);
  vector.iov_len = size;
  mmsghdr& message = out_messages_[out_count_];
  message.msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
  message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
  message.msg_hdr.msg_iov = &vector;
  message.msg_hdr.msg_iovlen = 1;
  ++out_count_;
}

void Relay::Flush() {
  size_t done = 0;
  while (done < out_count_) {
    const int sent =
        ::sendmmsg(fd_, out_messages_.data() + done, static_cast<unsigned>(out_count_ - done), 0);
    if (sent < 0) {
      if (errno == EINTR) continue;
      ++counters_.dropped;  // the first one failed: drop it, as a forwarder does
      ++done;
      continue;
    }
    done += static_cast<size_t>(sent);
  }
  out_count_ = 0;
  answer_count_ = 0;
}

void Relay::Rebuild(Room* room) {
  room->destinations.clear();
  room->owners.clear();
  for (const uint32_t index : room->members) {
    if (!members_[index].known) continue;
    room->destinations.push_back(members_[index].address);
    room->owners.push_back(index);
  }
  room->dirty = false;
}

void Relay::Handle(size_t slot) {
  const uint8_t* data = buffers_[slot].data();
  const size_t size = in_messages_[slot].msg_len;
  const sockaddr_in& from = sources_[slot];
  const bool detect = size == kDetectSize && std::memcmp(data, "COr", 3) == 0;
  if (!detect && size < kHeaderSize) return;

  const auto it = member_of_.find(GetBE64(data + (detect ? 4 : 6)));
  if (it != member_of_.end()) {
    Member& member = members_[it->second];
    if (!member.known || member.address.sin_addr.s_addr != from.sin_addr.s_addr ||
        member.address.sin_port != from.sin_port) {
      member.known = true;
      member.address = from;
      rooms_[member.room].dirty = true;
    }
  }
  if (detect) {
    Queue(data, size, &from);
    ++counters_.answered;
    return;
  }
  if ((data[0] & kAskAck) != 0) {
    uint8_t* ack = answers_[answer_count_++].data();
    ack[0] = corvaneserver::kServerPacketFlags;
    ack[1] = static_cast<uint8_t>(data[1] - 1);
    std::memcpy(ack + 2, data + 2, 4);
    SetBE64(ack + 6, 0);
    std::memcpy(ack + 14, data + 6, 8);
    Queue(ack, kAckSize, &from);
    ++counters_.answered;
  }
  if (it == member_of_.end()) return;
  const uint32_t sender = it->second;
  if (!members_[sender].speaker) return;
  Room& room = rooms_[members_[sender].room];
  if (room.dirty) Rebuild(&room);
  for (size_t i = 0; i < room.destinations.size(); ++i) {
    if (room.owners[i] == sender) continue;
    Queue(data, size, &room.destinations[i]);
    ++counters_.forwarded;
  }
}

void Relay::Run(double max_seconds) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  while (g_stop == 0) {
    for (size_t i = 0; i < kBatch; ++i) in_messages_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    const int received = ::recvmmsg(fd_, in_messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (received <= 0) {
      // Idle: block in the kernel, looking at the clock and the stop flag every 10 ms.
      pollfd ready{fd_, POLLIN, 0};
      ::poll(&ready, 1, 10);
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      if (static_cast<double>(now.tv_sec - start.tv_sec) > max_seconds) break;
      continue;
    }
    counters_.received += static_cast<uint64_t>(received);
    for (int i = 0; i < received; ++i) Handle(static_cast<size_t>(i));
    // Everything queued points into this batch's buffers: send before reading again.
    Flush();
  }
}

void Usage() {
  std::fputs(
      "Usage: baseline_relay --listen IP:PORT --users ROSTER [--max-seconds S]\n"
      "                      [--buffer-bytes N (4194304; 0: the kernel's defaults)]\n"
      "A single-threaded recvmmsg/sendmmsg relay for the rooms of a corvane-client roster;\n"
      "see the top of bench/baseline_relay.cc.\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen;
  std::string users;
  double max_seconds = 900;
  long buffer_bytes = 4 * 1024 * 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    }
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    const std::string value = argv[++i];
    if (arg == "--listen") {
      listen = value;
    } else if (arg == "--users") {
      users = value;
    } else if (arg == "--buffer-bytes") {
      buffer_bytes = std::atol(value.c_str());
    } else if (arg == "--max-seconds") {
      max_seconds = std::atof(value.c_str());
    } else {
      Usage();
      return 2;
    }
  }
  if (listen.empty() || users.empty() || !(max_seconds > 0) || buffer_bytes < 0 ||
      buffer_bytes > (1L << 30)) {
    Usage();
    return 2;
  }
  Relay relay;
  std::string error;
  if (!relay.LoadRoster(users, &error) ||
      !relay.Open(listen, static_cast<int>(buffer_bytes), &error)) {
    std::fprintf(stderr, "baseline_relay: %s\n", error.c_str());
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::fprintf(stderr, "baseline_relay: %zu members, listening on %s\n", relay.member_count(),
               listen.c_str());
  relay.Run(max_seconds);
  const Counters& c = relay.counters();
  std::printf("received %" PRIu64 " forwarded %" PRIu64 " answered %" PRIu64 " dropped %" PRIu64
              "\n",
              c.received, c.forwarded, c.answered, c.dropped);
  return 0;
}
