// What the benchmark relays (baseline_relay.cc, uring_relay.cc) share: the
// rooms of a corvane-client roster, the addresses learned from the members'
// own datagrams, the answers the client's handshake waits for, the socket and
// the command line. Only the way datagrams are read and sent differs between
// them; see the top of baseline_relay.cc for the behaviour.
#ifndef BENCH_LEARNING_RELAY_H_
#define BENCH_LEARNING_RELAY_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

namespace relay {

constexpr size_t kBufferSize = corvaneserver::kMaxUdpPacketSize;  // as the server's
constexpr size_t kDetectSize = corvaneserver::kDetectPktSize;
constexpr size_t kHeaderSize = corvaneserver::kMediaHeaderSize;
constexpr size_t kAckSize = corvaneserver::kAckPacketSize;
constexpr uint8_t kAskAck = corvaneserver::kAckFlag;

inline volatile std::sig_atomic_t g_stop = 0;
inline void OnSignal(int) { g_stop = 1; }

// SIGINT and SIGTERM set g_stop.
inline void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

inline uint64_t GetBE64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}
inline void SetBE64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

struct Counters {
  uint64_t received = 0;
  uint64_t forwarded = 0;
  uint64_t answered = 0;  // echoes and acknowledgements
  uint64_t dropped = 0;   // sends the kernel refused
};

// The one line a relay prints on standard output when it stops.
inline void PrintCounters(const Counters& c) {
  std::printf("received %" PRIu64 " forwarded %" PRIu64 " answered %" PRIu64 " dropped %" PRIu64
              "\n",
              c.received, c.forwarded, c.answered, c.dropped);
}

// Rooms, members and their learned addresses.
class LearningRelay {
 public:
  bool LoadRoster(const std::string& path, std::string* error);
  size_t member_count() const { return members_.size(); }
  Counters& counters() { return counters_; }

  // One datagram of `size` bytes from `from`: learns the sender's address and
  // calls send(data, size, to) for each datagram it causes, the echo or the
  // acknowledgement first, then the fan-out. `answer` is room for an
  // acknowledgement (kAckSize bytes). What send is given must stay valid until
  // the caller has sent it: the received bytes, `answer` and the destinations
  // (until the next call).
  template <typename Send>
  void Handle(const uint8_t* data, size_t size, const sockaddr_in& from, uint8_t* answer,
              Send&& send);

 private:
  struct Member {
    uint32_t room = 0;  // index into rooms_
    bool speaker = false;
    bool known = false;
    sockaddr_in address{};
  };
  struct Room {
    std::vector<uint32_t> members;  // indexes into members_
    // Known addresses of the members and whose they are, rebuilt when one moves.
    std::vector<sockaddr_in> destinations;
    std::vector<uint32_t> owners;
    bool dirty = false;
  };

  void Rebuild(Room* room);

  std::vector<Member> members_;
  std::vector<Room> rooms_;
  std::unordered_map<uint64_t, uint32_t> member_of_;
  Counters counters_;
};

inline bool LearningRelay::LoadRoster(const std::string& path, std::string* error) {
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

inline void LearningRelay::Rebuild(Room* room) {
  room->destinations.clear();
  room->owners.clear();
  for (const uint32_t index : room->members) {
    if (!members_[index].known) continue;
    room->destinations.push_back(members_[index].address);
    room->owners.push_back(index);
  }
  room->dirty = false;
}

template <typename Send>
void LearningRelay::Handle(const uint8_t* data, size_t size, const sockaddr_in& from,
                           uint8_t* answer, Send&& send) {
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
    send(data, size, &from);
    ++counters_.answered;
    return;
  }
  if ((data[0] & kAskAck) != 0) {
    answer[0] = corvaneserver::kServerPacketFlags;
    answer[1] = static_cast<uint8_t>(data[1] - 1);
    std::memcpy(answer + 2, data + 2, 4);
    SetBE64(answer + 6, 0);
    std::memcpy(answer + 14, data + 6, 8);
    send(answer, kAckSize, &from);
    ++counters_.answered;
  }
  if (it == member_of_.end()) return;
  const uint32_t sender = it->second;
  if (!members_[sender].speaker) return;
  Room& room = rooms_[members_[sender].room];
  if (room.dirty) Rebuild(&room);
  for (size_t i = 0; i < room.destinations.size(); ++i) {
    if (room.owners[i] == sender) continue;
    send(data, size, &room.destinations[i]);
    ++counters_.forwarded;
  }
}

// A non-blocking UDP socket bound to `listen` (IP:PORT), its buffers asked to
// be `buffer_bytes` (0: the kernel's defaults). -1 with *error on failure.
inline int OpenSocket(const char* program, const std::string& listen, int buffer_bytes,
                      std::string* error) {
  const size_t colon = listen.rfind(':');
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (colon == std::string::npos ||
      ::inet_pton(AF_INET, listen.substr(0, colon).c_str(), &addr.sin_addr) != 1) {
    *error = "bad --listen " + listen;
    return -1;
  }
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(listen.c_str() + colon + 1)));
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "bind " + listen + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (buffer_bytes > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof(buffer_bytes));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof(buffer_bytes));
    int receive = 0, send = 0;
    socklen_t length = sizeof(receive);
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, &length);
    length = sizeof(send);
    ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, &length);
    std::fprintf(stderr, "%s: asked %d bytes of socket buffer, granted %d / %d\n", program,
                 buffer_bytes, receive / 2, send / 2);
  }
  return fd;
}

struct Options {
  std::string listen;
  std::string users;
  double max_seconds = 900;
  long buffer_bytes = 4 * 1024 * 1024;  // as the server asks by default
};

enum class Parsed { kRun, kHelp, kBad };

// --listen IP:PORT --users ROSTER [--max-seconds S] [--buffer-bytes N]
inline Parsed ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Parsed::kHelp;
    if (i + 1 >= argc) return Parsed::kBad;
    const std::string value = argv[++i];
    if (arg == "--listen") {
      options->listen = value;
    } else if (arg == "--users") {
      options->users = value;
    } else if (arg == "--buffer-bytes") {
      options->buffer_bytes = std::atol(value.c_str());
    } else if (arg == "--max-seconds") {
      options->max_seconds = std::atof(value.c_str());
    } else {
      return Parsed::kBad;
    }
  }
  const bool ok = !options->listen.empty() && !options->users.empty() && options->max_seconds > 0 &&
                  options->buffer_bytes >= 0 && options->buffer_bytes <= (1L << 30);
  return ok ? Parsed::kRun : Parsed::kBad;
}

// What both relays' main does before its loop: parses the command line
// (printing `usage` for --help or a bad one), loads the roster and opens the
// socket, naming `program` in any error. -1 to go on, with `*fd` open; else
// the exit status.
inline int Start(const char* program, int argc, char** argv, void (*usage)(), Options* options,
                 LearningRelay* rooms, int* fd) {
  switch (ParseOptions(argc, argv, options)) {
    case Parsed::kHelp:
      usage();
      return 0;
    case Parsed::kBad:
      usage();
      return 2;
    case Parsed::kRun:
      break;
  }
  std::string error;
  if (!rooms->LoadRoster(options->users, &error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  *fd = OpenSocket(program, options->listen, static_cast<int>(options->buffer_bytes), &error);
  if (*fd < 0) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  return -1;
}

}  // namespace relay

#endif  // BENCH_LEARNING_RELAY_H_
