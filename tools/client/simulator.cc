// Set-up, the stages of a run and the sending side of the simulator.
#include "client/simulator.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include "base/byte_io.h"
#include "base/platform_thread.h"
#include "base/time_utils.h"

#include "client/fec_encoder.h"

namespace corvanetools {

namespace {

constexpr int kSocketBufferBytes = 1 << 20;
constexpr uint64_t kLossScale = 1000000;

uint64_t MixBits(uint64_t x) {
  // splitmix64 finaliser: a stable, evenly spread loss pattern per seed.
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
constexpr int64_t kIdlePollUs = 10000;

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kWaiting:
      return "waiting";
    case Phase::kDetecting:
      return "detecting";
    case Phase::kAnnouncing:
      return "announcing";
    case Phase::kAdmitted:
      return "admitted";
    case Phase::kFailed:
      return "failed";
  }
  return "?";
}

const std::string* SimUser::TokenToSend() const {
  switch (entry.auth) {
    case AuthMode::kToken:
      return &entry.token;
    case AuthMode::kNone:
      return nullptr;
    case AuthMode::kWrong:
      return &wrong_token;
  }
  return nullptr;
}

Simulator::Simulator(ClientOptions options)
    : options_(std::move(options)),
      interval_us_(std::max<int64_t>(1, std::llround(1e6 / options_.rate))),
      catch_up_us_(options_.catch_up_ms > 0 ? int64_t{options_.catch_up_ms} * 1000
                                            : 10 * interval_us_) {
  receive_buffers_.resize(kReceiveBatch * kReceiveBufferSize);
  repair_buffer_.resize(static_cast<size_t>(kMaxFecR) * kFecRepairSize);
}

Simulator::~Simulator() {
  for (auto& user : users_) {
    if (user->fd >= 0) ::close(user->fd);
  }
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

bool Simulator::OpenSocket(SimUser* user, const std::string& ip, int port, std::string* error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  user->fd = fd;
  const int buffer = kSocketBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    *error = "bad local address " + ip;
    return false;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  user->local.FromSockAddr(addr);
  return true;
}

bool Simulator::Setup(std::string* error) {
  RaiseDescriptorLimit();
  run_start_us_ = rtc::TimeMicros();
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    *error = std::string("epoll_create1: ") + std::strerror(errno);
    return false;
  }

  for (const RosterUser& entry : options_.roster.users) {
    if (!options_.only.empty() && options_.only.count(entry.user_id) == 0) continue;
    auto user = std::make_unique<SimUser>();
    user->entry = entry;
    if (options_.mixer) user->pass_phase = PassPhase(interval_us_);
    user->wrong_token = "not-" + entry.token.substr(0, kMaxTokenLength - 4);
    user->skip_detect = options_.skip_detect;
    const rtc::SocketAddress& server = entry.server.IsNil() ? options_.server : entry.server;
    if (server.ToSockAddr(&user->server) == 0) {
      *error = "user " + std::to_string(entry.user_id) + " has no usable server address";
      return false;
    }
    if (!OpenSocket(user.get(), options_.bind_ip, 0, error)) return false;
    user->next_sequence.store(options_.first_sequence);
    // The user's own conditions (roster uplink= / downlink=), else the client's.
    NetworkConditions uplink = options_.uplink;
    NetworkConditions downlink = options_.downlink;
    if ((!entry.uplink.empty() && !ParseNetworkConditions(entry.uplink, &uplink, error)) ||
        (!entry.downlink.empty() && !ParseNetworkConditions(entry.downlink, &downlink, error))) {
      *error = "user " + std::to_string(entry.user_id) + ": " + *error;
      return false;
    }
    if (uplink.Any() && IsTalkingRole(entry.role)) {
      user->uplink = std::make_unique<Impairment>(
          uplink, MixBits(options_.impair_seed ^ MixBits(entry.user_id * 2)), run_start_us_);
      user->uplink_delay_us = std::make_unique<std::atomic<int64_t>[]>(kUplinkDelaySlots);
    }
    if (downlink.Any()) {
      user->downlink = std::make_unique<Impairment>(
          downlink, MixBits(options_.impair_seed ^ MixBits(entry.user_id * 2 + 1)), run_start_us_);
    }
    if (options_.FecOn() && IsTalkingRole(entry.role)) {
      RepairEncoder encoder = DefaultRepairEncoder(options_.fec_k, options_.fec_r);
      if (!encoder) {
        *error = "the FEC codec cannot code blocks of k=" + std::to_string(options_.fec_k) +
                 ", r=" + std::to_string(options_.fec_r);
        return false;
      }
      user->fec = std::make_unique<FecStream>(entry.user_id, options_.fec_k, options_.fec_r,
                                              std::move(encoder), options_.first_sequence);
    }
    user->index = static_cast<uint32_t>(users_.size());
    users_.push_back(std::move(user));
  }
  if (options_.simulate_peers) {
    for (const RosterCascade& cascade : options_.roster.cascades) {
      if (!options_.only.empty() && options_.only.count(cascade.cascade_id) == 0) continue;
      auto peer = std::make_unique<SimUser>();
      peer->peer = true;
      peer->entry.room_id = cascade.room_id;
      peer->entry.user_id = cascade.cascade_id;
      peer->entry.role = Role::kListener;
      peer->peer_address = cascade.address;
      if (!OpenSocket(peer.get(), cascade.address.ipaddr().ToString(), cascade.address.port(),
                      error)) {
        return false;
      }
      peer->index = static_cast<uint32_t>(users_.size());
      users_.push_back(std::move(peer));
    }
  }
  if (users_.empty()) {
    *error = "nothing to simulate (check --only)";
    return false;
  }
  BuildRooms();
  if (!SetupAudio(error)) return false;

  for (uint32_t i = 0; i < users_.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = i;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, users_[i]->fd, &event) != 0) {
      *error = std::string("epoll_ctl: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void Simulator::BuildRooms() {
  std::map<uint64_t, RoomPlan*> plans;
  auto plan_of = [&](uint64_t room_id) {
    auto it = plans.find(room_id);
    if (it != plans.end()) return it->second;
    rooms_.emplace_back();
    rooms_.back().room_id = room_id;
    plans[room_id] = &rooms_.back();
    return &rooms_.back();
  };
  std::map<uint64_t, int> simulated_user;
  for (size_t i = 0; i < users_.size(); ++i) {
    if (!users_[i]->peer) simulated_user[users_[i]->entry.user_id] = static_cast<int>(i);
  }
  for (const RosterUser& entry : options_.roster.users) {
    RoomPlan* plan = plan_of(entry.room_id);
    if (!IsTalkingRole(entry.role)) continue;
    plan->slot_of[entry.user_id] = plan->talkers.size();
    plan->talkers.push_back(entry);
    auto it = simulated_user.find(entry.user_id);
    plan->talker_user.push_back(it == simulated_user.end() ? -1 : it->second);
  }
  for (size_t i = 0; i < rooms_.size(); ++i) {
    rooms_[i].offset_us =
        interval_us_ * static_cast<int64_t>(i) / static_cast<int64_t>(rooms_.size());
  }
  for (auto& user : users_) {
    const RoomPlan* plan = plan_of(user->entry.room_id);
    user->room = plan;
    auto own = plan->slot_of.find(user->entry.user_id);
    user->own_slot =
        (!user->peer && own != plan->slot_of.end()) ? static_cast<int>(own->second) : -1;
    user->links.resize(plan->talkers.size());
    for (size_t slot = 0; slot < plan->talkers.size(); ++slot) {
      if (static_cast<int>(slot) == user->own_slot) continue;
      user->links[slot] = std::make_unique<SenderLink>();
      if (!user->peer) {
        SenderLink* link = user->links[slot].get();
        link->playout = std::make_unique<PlayoutMeter>(int64_t{options_.playout_ms} * 1000);
        // Under impaired conditions receivers decode the FEC stream
        // themselves, as a real receiver does; otherwise only the server's
        // decoding (through NACKs) is measured.
        if (options_.FecOn() && options_.Impaired() && options_.receiver_fec) {
          link->fec_decoder = std::make_unique<fec::Decoder>(
              [this, link](const unsigned char* data, unsigned int size) {
                const IncomingDatagram media = ClassifyIncoming(data, size);
                if (media.kind != Incoming::kMedia || !media.has_probe ||
                    media.stream != StreamKind::kVoice) {
                  return 0;
                }
                if (link->nack) link->nack->OnReceived(media.sequence);
                link->playout->Arrived(media.stream_index, PlayoutMeter::Via::kFec,
                                       media.send_time_us, decoding_now_us_);
                return 0;
              },
              fec::Decoder::LossCallback());
        }
      }
      if (options_.nack && !user->peer) {
        user->links[slot]->nack = std::make_unique<NackTracker>(
            int64_t{options_.nack_retry_ms} * 1000, options_.nack_attempts,
            int64_t{options_.nack_wait_ms} * 1000);
      }
      if (user->peer && plan->talker_user[slot] >= 0) {
        // A cascade exists before the client starts: the peer expects
        // every datagram from the first one on.
        for (StreamRecord& record : user->links[slot]->streams) record.threshold_set = true;
      }
    }
    if (user->peer) {
      user->admitted_us.store(run_start_us_);
      user->begin_us.store(run_start_us_);
      user->phase.store(static_cast<int>(Phase::kAdmitted));
    }
  }
}

std::vector<rtc::SocketAddress> Simulator::LocalAddresses() const {
  std::vector<rtc::SocketAddress> addresses;
  for (const auto& user : users_) addresses.push_back(user->local);
  return addresses;
}

void Simulator::Push(int64_t due_us, uint32_t user, EventType type) {
  events_.push(Event{due_us, user, type});
}

bool Simulator::HandshakeSettled() const {
  for (const auto& user : users_) {
    if (!user->ExpectsAdmission() || user->entry.start_ms != 0) continue;
    const Phase phase = user->GetPhase();
    if (phase != Phase::kAdmitted && phase != Phase::kFailed) return false;
  }
  return true;
}

void Simulator::StartTraffic(int64_t now_us) {
  traffic_start_us_ = now_us;
  const int64_t duration_us = std::llround(options_.duration_s * 1e6);
  traffic_end_us_ = now_us + duration_us;
  handshake_us_.store(now_us - run_start_us_);
  SampleLoopCpu(&send_cpu_start_us_, &receive_cpu_start_us_);
  stage_.store(static_cast<int>(Stage::kTraffic), std::memory_order_release);
  for (uint32_t i = 0; i < users_.size(); ++i) {
    SimUser* user = users_[i].get();
    if (user->peer) continue;
    if (user->entry.start_ms > 0) Push(now_us + user->entry.start_ms * 1000, i, EventType::kBegin);
    if (user->GetPhase() == Phase::kAdmitted) ScheduleTraffic(i, now_us);
  }
}

void Simulator::ScheduleTraffic(uint32_t index, int64_t from_us) {
  SimUser* user = users_[index].get();
  if (user->traffic_scheduled) return;
  user->traffic_scheduled = true;
  // Spread the users over each period so that the server sees a steady load.
  const int64_t count = static_cast<int64_t>(users_.size());
  const int64_t spread = static_cast<int64_t>(index);
  if (IsTalkingRole(user->entry.role)) {
    if (options_.mixer) {
      Push(NextPeriodStart(*user, from_us), index, EventType::kTalk);
    } else {
      Push(from_us + interval_us_ * spread / count, index, EventType::kTalk);
    }
  } else {
    const int64_t keepalive_us = int64_t{options_.keepalive_ms} * 1000;
    Push(from_us + keepalive_us * spread / count, index, EventType::kKeepalive);
  }
  if (options_.report_ms > 0) {
    const int64_t report_us = int64_t{options_.report_ms} * 1000;
    Push(from_us + report_us * (spread + 1) / count, index, EventType::kReport);
  }
}

int64_t Simulator::NextPeriodStart(const SimUser& user, int64_t t_us) const {
  const int64_t base = traffic_start_us_ + user.room->offset_us;
  if (t_us <= base) return base;
  return base + (t_us - base + interval_us_ - 1) / interval_us_ * interval_us_;
}

int64_t Simulator::SendStep(int64_t now_us) {
  Stage stage = static_cast<Stage>(stage_.load(std::memory_order_acquire));
  if (stage == Stage::kHandshake) {
    if (handshake_deadline_us_ == 0) {
      // First step: everyone without a delayed start begins at once.
      handshake_deadline_us_ = now_us + int64_t{options_.handshake_timeout_ms} * 1000 +
                               int64_t{options_.retry_ms} * 1000;
      for (uint32_t i = 0; i < users_.size(); ++i) {
        if (!users_[i]->peer && users_[i]->entry.start_ms == 0) Push(now_us, i, EventType::kBegin);
      }
    } else if (HandshakeSettled() || now_us >= handshake_deadline_us_ ||
               stop_requested_.load(std::memory_order_relaxed)) {
      StartTraffic(now_us);
      stage = Stage::kTraffic;
    }
  }
  if (stage == Stage::kTraffic &&
      (now_us >= traffic_end_us_ || stop_requested_.load(std::memory_order_relaxed))) {
    traffic_end_us_ = std::min(traffic_end_us_, now_us);
    traffic_us_.store(traffic_end_us_ - traffic_start_us_);
    int64_t send_us = 0, receive_us = 0;
    SampleLoopCpu(&send_us, &receive_us);
    send_cpu_us_.store(send_us - send_cpu_start_us_);
    receive_cpu_us_.store(options_.threads == 2 ? receive_us - receive_cpu_start_us_ : 0);
    drain_end_us_ = now_us + int64_t{options_.drain_ms} * 1000;
    events_ = {};
    stage_.store(static_cast<int>(Stage::kDrain), std::memory_order_release);
    stage = Stage::kDrain;
  }
  if (stage == Stage::kDrain) {
    // What the uplink still holds goes out during the drain.
    ReleaseUplink(now_us);
    send_batch_.Flush([this](uint32_t owner) { users_[owner]->send_errors.fetch_add(1); });
    if (now_us >= drain_end_us_) {
      stage_.store(static_cast<int>(Stage::kDone), std::memory_order_release);
      return now_us;
    }
    int64_t next_us = std::min(drain_end_us_, now_us + kIdlePollUs);
    if (!uplink_line_.Empty()) next_us = std::min(next_us, uplink_line_.NextRelease());
    return next_us;
  }
  if (stage == Stage::kDone) return now_us;

  while (!events_.empty() && events_.top().due_us <= now_us) {
    const Event event = events_.top();
    events_.pop();
    RunEvent(event, now_us);
  }
  ReleaseUplink(now_us);
  send_batch_.Flush([this](uint32_t owner) { users_[owner]->send_errors.fetch_add(1); });

  int64_t next_us = now_us + kIdlePollUs;
  if (!uplink_line_.Empty()) next_us = std::min(next_us, uplink_line_.NextRelease());
  if (!events_.empty()) next_us = std::min(next_us, events_.top().due_us);
  if (stage == Stage::kTraffic) next_us = std::min(next_us, traffic_end_us_);
  return next_us;
}

void Simulator::RunEvent(const Event& event, int64_t now_us) {
  SimUser* user = users_[event.user].get();
  switch (event.type) {
    case EventType::kBegin: {
      int expected = static_cast<int>(Phase::kWaiting);
      const Phase first = user->skip_detect ? Phase::kAnnouncing : Phase::kDetecting;
      if (user->phase.compare_exchange_strong(expected, static_cast<int>(first))) {
        user->begin_us.store(now_us);
        user->handshake_deadline_us = now_us + int64_t{options_.handshake_timeout_ms} * 1000;
        Push(now_us, event.user, EventType::kHandshake);
      }
      break;
    }
    case EventType::kHandshake: {
      const Phase phase = user->GetPhase();
      if (phase == Phase::kAdmitted) {
        if (static_cast<Stage>(stage_.load()) == Stage::kTraffic)
          ScheduleTraffic(event.user, now_us);
        break;
      }
      if (phase == Phase::kFailed) break;
      if (user->ExpectsAdmission() && now_us >= user->handshake_deadline_us) {
        // The receiving loop may move the phase on meanwhile; only an
        // unfinished handshake fails.
        int current = static_cast<int>(phase);
        while (current == static_cast<int>(Phase::kDetecting) ||
               current == static_cast<int>(Phase::kAnnouncing)) {
          if (user->phase.compare_exchange_weak(current, static_cast<int>(Phase::kFailed))) break;
        }
        if (current == static_cast<int>(Phase::kAdmitted)) {
          Push(now_us, event.user, EventType::kHandshake);  // admitted just now after all
        }
        break;
      }
      SendHandshake(user, now_us);
      Push(now_us + int64_t{options_.retry_ms} * 1000, event.user, EventType::kHandshake);
      break;
    }
    case EventType::kTalk: {
      SendTalk(user, now_us, event.due_us);
      int64_t next_us = event.due_us + interval_us_;
      if (next_us < now_us - catch_up_us_) {
        // No burst after a longer stall; in lockstep, skip to the next period.
        next_us = options_.mixer ? NextPeriodStart(*user, now_us) : now_us;
      }
      Push(next_us, event.user, EventType::kTalk);
      break;
    }
    case EventType::kKeepalive:
      SendControl(user, now_us, /*ask_ack=*/true);
      Push(event.due_us + int64_t{options_.keepalive_ms} * 1000, event.user, EventType::kKeepalive);
      break;
    case EventType::kReport:
      SendReports(user);
      Push(event.due_us + int64_t{options_.report_ms} * 1000, event.user, EventType::kReport);
      break;
  }
}

void Simulator::SendHandshake(SimUser* user, int64_t now_us) {
  if (user->GetPhase() == Phase::kDetecting) {
    uint8_t* out = send_batch_.Reserve();
    const size_t size = BuildDetect(user->entry.user_id, out);
    send_batch_.Commit(user->fd, user->server, size, user->index);
    user->sent_control.fetch_add(1, std::memory_order_relaxed);
  } else {
    SendControl(user, now_us, /*ask_ack=*/true);
  }
}

void Simulator::SendControl(SimUser* user, int64_t now_us, bool ask_ack) {
  MediaFields fields;
  fields.payload_type = options_.voice_payload_type;
  fields.ask_ack = ask_ack;
  fields.sequence = user->next_sequence.fetch_add(1, std::memory_order_relaxed);
  fields.user_id = user->entry.user_id;
  fields.token = user->TokenToSend();
  fields.kind = StreamKind::kControl;
  fields.send_time_us = now_us;
  fields.payload_size = options_.payload_size;
  uint8_t* out = send_batch_.Reserve();
  const size_t size = BuildMedia(fields, out, DatagramBatch::kMaxDatagram);
  send_batch_.Commit(user->fd, user->server, size, user->index);
  user->sent_control.fetch_add(1, std::memory_order_relaxed);
}

void Simulator::SendTalk(SimUser* user, int64_t now_us, int64_t due_us) {
  if (options_.restart_at_ms >= 0 && !user->restarted &&
      now_us >= traffic_start_us_ + int64_t{options_.restart_at_ms} * 1000) {
    RestartNumbers(user, now_us);
  }
  if (user->speech != nullptr) {
    SendSpeech(user, now_us, due_us);
    return;
  }
  const uint64_t tick = user->tick++;
  MediaFields fields;
  fields.kind = StreamKind::kVoice;
  fields.payload_type = options_.voice_payload_type;
  fields.ask_ack = options_.voice_ack;
  if (options_.reliable_every > 0 && tick % static_cast<uint64_t>(options_.reliable_every) ==
                                         static_cast<uint64_t>(options_.reliable_every - 1)) {
    fields.kind = StreamKind::kReliable;
    fields.payload_type = kReliablePayloadType;
    fields.ask_ack = true;
  } else if (options_.music_every > 0 && tick % static_cast<uint64_t>(options_.music_every) ==
                                             static_cast<uint64_t>(options_.music_every - 1)) {
    fields.kind = StreamKind::kMusic;
    fields.payload_type = kMusicPayloadType;
    fields.ask_ack = true;
  }
  // The index is taken before the send: a receiver that reads it after its
  // own admission expects this datagram and every later one.
  fields.stream_index =
      user->next_index[StreamSlot(fields.kind)].fetch_add(1, std::memory_order_acq_rel);
  fields.sequence = user->next_sequence.fetch_add(1, std::memory_order_relaxed);
  fields.user_id = user->entry.user_id;
  fields.token = user->TokenToSend();
  fields.send_time_us = now_us;
  fields.payload_size = options_.payload_size;
  user->sent_measured.fetch_add(1, std::memory_order_relaxed);
  if (user->fec) {
    fields.mix_marks = true;
    fields.level =
        static_cast<uint8_t>(user->entry.level >= 0 ? user->entry.level : options_.level);
    fields.priority = user->entry.priority;
    uint8_t media[kMaxFecMedia];
    const size_t size = BuildMedia(fields, media, sizeof(media));
    if (size == 0) return;  // the options make this impossible
    const int64_t base = traffic_start_us_ + user->room->offset_us;
    const uint32_t period = options_.mixer && due_us >= base
                                ? static_cast<uint32_t>((due_us - base) / interval_us_)
                                : fields.stream_index;
    SendFecTalk(user, media, size, fields.stream_index, period, now_us);
    return;
  }
  uint8_t* out = send_batch_.Reserve();
  const size_t size = BuildMedia(fields, out, DatagramBatch::kMaxDatagram);
  CommitVoice(user, out, size, now_us, fields.sequence);
}

void Simulator::CommitVoice(SimUser* user, const uint8_t* out, size_t size, int64_t now_us,
                            int64_t media_sequence) {
  if (size == 0 || !user->uplink) {
    send_batch_.Commit(user->fd, user->server, size, user->index);
    return;
  }
  const Impairment::Verdict verdict = user->uplink->Decide(now_us);
  bool now = false;
  for (int i = 0; i < verdict.copies; ++i) {
    if (verdict.release_us[i] <= now_us && !now) {
      now = true;
    } else {
      uplink_line_.Hold(verdict.release_us[i], user->index, user->server, out, size);
    }
  }
  if (media_sequence >= 0 && verdict.copies > 0) {
    user->uplink_delay_us[static_cast<uint32_t>(media_sequence) % kUplinkDelaySlots].store(
        verdict.release_us[0] - now_us, std::memory_order_release);
  }
  send_batch_.Commit(user->fd, user->server, now ? size : 0, user->index);
}

void Simulator::ReleaseUplink(int64_t now_us) {
  DelayLine::Held held;
  while (uplink_line_.PopDue(now_us, &held)) {
    uint8_t* out = send_batch_.Reserve();
    std::memcpy(out, held.bytes.data(), held.bytes.size());
    send_batch_.Commit(users_[held.owner]->fd, held.to, held.bytes.size(), held.owner);
  }
}

void Simulator::RestartNumbers(SimUser* user, int64_t now_us) {
  user->restarted = true;
  user->next_sequence.store(options_.restart_sequence, std::memory_order_release);
  if (user->fec) {
    // The open block never gets its repairs.
    SendLedger& ledger = user->ledger;
    for (const uint32_t dropped : ledger.open_dropped) {
      ledger.frames[dropped].fate = Fate::kDroppedLost;
    }
    ledger.open_dropped.clear();
    ledger.open_losses = 0;
    user->fec = std::make_unique<FecStream>(user->entry.user_id, options_.fec_k, options_.fec_r,
                                            DefaultRepairEncoder(options_.fec_k, options_.fec_r),
                                            options_.restart_sequence);
  }
  user->restart_us.store(now_us, std::memory_order_release);
}

bool Simulator::Lose(const SimUser& user, uint32_t fec_sequence) const {
  if (options_.loss_percent <= 0) return false;
  const uint64_t draw =
      MixBits(options_.loss_seed ^ MixBits(user.entry.user_id ^ MixBits(fec_sequence))) %
      kLossScale;
  return static_cast<double>(draw) < options_.loss_percent * (kLossScale / 100);
}

void Simulator::SendFecTalk(SimUser* user, const uint8_t* media, size_t size, uint32_t index,
                            uint32_t tick, int64_t now_us) {
  FecStream& fec = *user->fec;
  SendLedger& ledger = user->ledger;
  const uint32_t fec_sequence = fec.next_sequence();
  const bool lost = Lose(*user, fec_sequence);
  uint8_t* out = send_batch_.Reserve();
  const size_t wrapped = fec.AddSource(media, size, out);
  SentFrame frame;
  frame.tick = tick;
  frame.sequence = static_cast<uint32_t>(rtc::GetBE32(media + 2));
  CommitVoice(user, out, lost ? 0 : wrapped, now_us, frame.sequence);
  if (lost) {
    frame.fate = Fate::kDroppedRecoverable;  // settled when the block ends
    ledger.open_dropped.push_back(index);
    ++ledger.open_losses;
    ++ledger.dropped;
  }
  if (ledger.frames.size() <= index) ledger.frames.resize(index + 1);
  ledger.frames[index] = frame;
  if (!fec.BlockFull()) return;

  const int r = fec.r();
  const uint32_t first_repair = fec.next_sequence();
  fec.TakeRepairs(repair_buffer_.data());
  for (int j = 0; j < r; ++j) {
    if (Lose(*user, first_repair + static_cast<uint32_t>(j))) {
      ++ledger.open_losses;
      ++ledger.dropped;
      continue;
    }
    uint8_t* repair = send_batch_.Reserve();
    std::memcpy(repair, repair_buffer_.data() + static_cast<size_t>(j) * kFecRepairSize,
                kFecRepairSize);
    CommitVoice(user, repair, kFecRepairSize, now_us, -1);
    ++ledger.repairs_sent;
  }
  if (ledger.open_losses > r) {
    for (const uint32_t dropped : ledger.open_dropped) {
      ledger.frames[dropped].fate = Fate::kDroppedLost;
    }
  }
  ledger.open_dropped.clear();
  ledger.open_losses = 0;
}

void Simulator::SendReports(SimUser* user) {
  if (user->peer || user->GetPhase() != Phase::kAdmitted) return;
  const RoomPlan& room = *user->room;
  ReportBlock blocks[kMaxReportBlocks];
  size_t count = 0;
  auto flush = [&]() {
    if (count == 0) return;
    uint8_t* out = send_batch_.Reserve();
    const size_t size = BuildReceiverReport(user->report_sequence++, user->entry.user_id, blocks,
                                            count, out, DatagramBatch::kMaxDatagram);
    send_batch_.Commit(user->fd, user->server, size, user->index);
    user->sent_control.fetch_add(1, std::memory_order_relaxed);
    count = 0;
  };
  for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
    if (!user->links[slot] || !IsHeard(slot, room)) continue;
    blocks[count].user_id = room.talkers[slot].user_id;
    blocks[count].value = user->links[slot]->heard.load(std::memory_order_relaxed);
    if (++count == kMaxReportBlocks) flush();
  }
  flush();
}

bool Simulator::IsHeard(size_t slot, const RoomPlan& room) const {
  if (room.talkers[slot].role != Role::kSpeaker) return false;
  const int talker = room.talker_user[slot];
  return talker < 0 || users_[static_cast<size_t>(talker)]->entry.auth == AuthMode::kToken;
}

bool Simulator::IsForwarded(size_t slot, const RoomPlan& room, StreamKind kind) const {
  if (kind != StreamKind::kMusic) return IsHeard(slot, room);
  // Music goes to the room whoever sends it and whether or not they are muted.
  const int talker = room.talker_user[slot];
  return talker < 0 || users_[static_cast<size_t>(talker)]->entry.auth == AuthMode::kToken;
}

void Simulator::SampleLoopCpu(int64_t* send_us, int64_t* receive_us) const {
  auto micros = [](clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
  };
  *send_us = micros(CLOCK_THREAD_CPUTIME_ID);
  *receive_us = micros(receiver_clock_);
}

void Simulator::Run() {
  std::thread receiver;
  if (options_.threads == 2) {
    receiver = std::thread([this] { ReceiverThreadMain(); });
    clockid_t clock{};
    if (::pthread_getcpuclockid(receiver.native_handle(), &clock) == 0) receiver_clock_ = clock;
  }
  rtc::PlatformThread::SetCurrentThreadName(options_.threads == 2 ? "client-send" : "client");
  while (true) {
    const int64_t now_us = rtc::TimeMicros();
    const int64_t next_us = SendStep(now_us);
    if (static_cast<Stage>(stage_.load(std::memory_order_acquire)) == Stage::kDone) break;
    const int64_t wait_us = std::clamp<int64_t>(next_us - now_us, 0, kIdlePollUs);
    if (options_.threads == 2) {
      if (wait_us > 0) {
        timespec pause{0, static_cast<long>(wait_us * 1000)};
        ::nanosleep(&pause, nullptr);
      }
    } else {
      ReceiveStep(static_cast<int>((wait_us + 999) / 1000));
    }
  }
  if (receiver.joinable()) receiver.join();
}

void Simulator::ReceiverThreadMain() {
  rtc::PlatformThread::SetCurrentThreadName("client-recv");
  while (static_cast<Stage>(stage_.load(std::memory_order_acquire)) != Stage::kDone) {
    ReceiveStep(static_cast<int>(kIdlePollUs / 1000));
  }
}

}  // namespace corvanetools
