// The receiving side of the simulator and the results it adds up.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "base/byte_io.h"
#include "base/time_utils.h"

#include "client/mixer_choice.h"
#include "client/simulator.h"

namespace corvanetools {

namespace {

constexpr int kMaxEvents = 256;
// Reads per socket and wake-up, so that one busy socket cannot starve the rest.
constexpr int kMaxRoundsPerSocket = 4;
// A NACK answer from a sender's stream before its restart that arrives this
// long after the restart cannot be one asked for before it.
constexpr int64_t kStaleGraceUs = 1000000;
// A FEC number this far from the newest of a sender starts a new stream.
constexpr uint32_t kFecRestartDistance = 512;

uint64_t Mix(uint64_t x) {
  // splitmix64 finaliser: spreads ids and sequence numbers evenly.
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

void ServerDelay::Add(int64_t delay_us, size_t second) {
  all.Add(delay_us);
  if (second >= 86400) return;
  if (max_by_second_us.size() <= second) max_by_second_us.resize(second + 1, 0);
  max_by_second_us[second] = std::max(max_by_second_us[second], delay_us);
}

void Simulator::ReceiveStep(int timeout_ms) {
  if (!downlink_line_.Empty()) {
    // Wake up for the next datagram the downlink releases.
    const int64_t wait_us = downlink_line_.NextRelease() - rtc::TimeMicros();
    timeout_ms = std::clamp<int>(static_cast<int>((wait_us + 999) / 1000), 0, timeout_ms);
  }
  epoll_event events[kMaxEvents];
  const int count = ::epoll_wait(epoll_fd_, events, kMaxEvents, timeout_ms);
  const int64_t now_us = rtc::TimeMicros();
  for (int i = 0; i < count; ++i) ReceiveFrom(events[i].data.u32, now_us);
  ReleaseDownlink(now_us);
  if (options_.nack) SendNacks(now_us);
  reply_batch_.Flush([this](uint32_t owner) { users_[owner]->send_errors.fetch_add(1); });
  MaybePrintProgress(now_us);
}

void Simulator::ReceiveFrom(uint32_t index, int64_t now_us) {
  SimUser* user = users_[index].get();
  mmsghdr messages[kReceiveBatch];
  iovec vectors[kReceiveBatch];
  sockaddr_in sources[kReceiveBatch];
  for (int round = 0; round < kMaxRoundsPerSocket; ++round) {
    for (size_t i = 0; i < kReceiveBatch; ++i) {
      vectors[i].iov_base = receive_buffers_.data() + i * kReceiveBufferSize;
      vectors[i].iov_len = kReceiveBufferSize;
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &sources[i];
      messages[i].msg_hdr.msg_namelen = sizeof(sources[i]);
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int received = ::recvmmsg(user->fd, messages, kReceiveBatch, MSG_DONTWAIT, nullptr);
    if (received <= 0) return;
    for (int i = 0; i < received; ++i) {
      const size_t size = messages[i].msg_len;
      if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
        ++user->counters.malformed;
        continue;
      }
      HandleDatagram(user, receive_buffers_.data() + static_cast<size_t>(i) * kReceiveBufferSize,
                     size, sources[i], now_us);
    }
    if (static_cast<size_t>(received) < kReceiveBatch) return;
  }
}

void Simulator::ReleaseDownlink(int64_t now_us) {
  DelayLine::Held held;
  while (downlink_line_.PopDue(now_us, &held)) {
    HandleArrival(users_[held.owner].get(), held.bytes.data(), held.bytes.size(), held.to, now_us);
  }
}

void Simulator::HandleDatagram(SimUser* user, const uint8_t* data, size_t size,
                               const sockaddr_in& from, int64_t now_us) {
  ++user->counters.received_total;
  const IncomingDatagram in = ClassifyIncoming(data, size);
  if (in.kind == Incoming::kMedia) MeasureServerDelay(user, in, now_us);
  if (!user->downlink || (in.kind != Incoming::kMedia && in.kind != Incoming::kFecRepair)) {
    HandleArrival(user, data, size, from, now_us);
    return;
  }
  const Impairment::Verdict verdict = user->downlink->Decide(now_us);
  bool now = false;
  for (int i = 0; i < verdict.copies; ++i) {
    if (verdict.release_us[i] <= now_us && !now) {
      now = true;
    } else {
      downlink_line_.Hold(verdict.release_us[i], user->index, from, data, size);
    }
  }
  if (now) HandleArrival(user, data, size, from, now_us);
}

void Simulator::MeasureServerDelay(SimUser* user, const IncomingDatagram& in, int64_t now_us) {
  if (user->peer || !in.has_probe || in.stream != StreamKind::kVoice) return;
  // With FEC a plain datagram is a NACK answer, not forwarded voice.
  if (options_.FecOn() && !in.fec) return;
  if (user->GetPhase() != Phase::kAdmitted || in.send_time_us < run_start_us_) return;
  const RoomPlan& room = *user->room;
  const auto it = room.slot_of.find(in.id);
  if (it == room.slot_of.end() || static_cast<int>(it->second) == user->own_slot) return;
  const int talker = room.talker_user[it->second];
  if (talker < 0) return;
  const SimUser& sender = *users_[static_cast<size_t>(talker)];
  int64_t uplink_us = 0;
  if (sender.uplink_delay_us) {
    uplink_us =
        sender.uplink_delay_us[in.sequence % kUplinkDelaySlots].load(std::memory_order_acquire);
  }
  user->server_delay.Add(now_us - in.send_time_us - uplink_us,
                         static_cast<size_t>((now_us - run_start_us_) / 1000000));
}

void Simulator::DecodeFec(SimUser* user, size_t slot, const uint8_t* data, size_t size,
                          int64_t now_us) {
  SenderLink* link = user->links[slot].get();
  if (link == nullptr || !link->fec_decoder || size < kFecHeaderBytes + 2) return;
  const uint32_t sequence = rtc::GetBE32(data + 10);
  if (link->have_fec_sequence) {
    const uint32_t ahead = sequence - link->newest_fec_sequence;
    if (ahead + kFecRestartDistance > 2 * kFecRestartDistance) {
      link->fec_decoder->Reset();  // the sender restarted its numbers
      link->newest_fec_sequence = sequence;
    } else if (ahead < 0x80000000u) {
      link->newest_fec_sequence = sequence;
    }
  } else {
    link->have_fec_sequence = true;
    link->newest_fec_sequence = sequence;
  }
  decoding_now_us_ = now_us;
  link->fec_decoder->OnPacketReceived(data, static_cast<unsigned int>(size));
}

void Simulator::HandleArrival(SimUser* user, const uint8_t* data, size_t size,
                              const sockaddr_in& from, int64_t now_us) {
  ReceiveCounters& counters = user->counters;
  const IncomingDatagram in = ClassifyIncoming(data, size);
  switch (in.kind) {
    case Incoming::kDetectEcho: {
      ++counters.detect_echoes;
      int expected = static_cast<int>(Phase::kDetecting);
      if (user->phase.compare_exchange_strong(expected, static_cast<int>(Phase::kAnnouncing))) {
        // Present the token at once rather than at the next retry.
        MediaFields fields;
        fields.payload_type = options_.voice_payload_type;
        fields.ask_ack = true;
        fields.sequence = user->next_sequence.fetch_add(1, std::memory_order_relaxed);
        fields.user_id = user->entry.user_id;
        fields.token = user->TokenToSend();
        fields.kind = StreamKind::kControl;
        fields.send_time_us = now_us;
        fields.payload_size = options_.payload_size;
        uint8_t* out = reply_batch_.Reserve();
        reply_batch_.Commit(user->fd, user->server,
                            BuildMedia(fields, out, DatagramBatch::kMaxDatagram), user->index);
        user->sent_control.fetch_add(1, std::memory_order_relaxed);
      }
      break;
    }
    case Incoming::kAuthAnswer:
      ++counters.auth_answers;
      break;
    case Incoming::kAck:
      ++counters.acks_received;
      if (in.acked_user_id == user->entry.user_id && user->GetPhase() == Phase::kAnnouncing) {
        OnAdmitted(user, now_us);
      }
      break;
    case Incoming::kServerReport:
      ++counters.reports_received;
      counters.last_report_value = in.report_value;
      break;
    case Incoming::kCascade:
      if (!user->peer) {
        ++counters.unexpected;
        break;
      }
      {
        // Confirm the link the way a peer server does: same room, same hash.
        ++counters.cascade_detects;
        uint8_t* out = reply_batch_.Reserve();
        reply_batch_.Commit(user->fd, from, BuildCascadeAnswer(in.id, in.cascade_hash, out),
                            user->index);
      }
      break;
    case Incoming::kMedia:
      HandleMedia(user, in, now_us);
      break;
    case Incoming::kFecRepair:
      ++counters.repairs_received;
      break;
    case Incoming::kMalformed:
      ++counters.malformed;
      break;
  }
  // The receiver's own FEC decoding of what the sender's FEC stream brought.
  if (user->peer || user->GetPhase() != Phase::kAdmitted) return;
  if ((in.kind == Incoming::kMedia && in.fec) || in.kind == Incoming::kFecRepair) {
    const auto it = user->room->slot_of.find(in.id);
    if (it != user->room->slot_of.end() && static_cast<int>(it->second) != user->own_slot) {
      DecodeFec(user, it->second, data, size, now_us);
    }
  }
}

void Simulator::OnAdmitted(SimUser* user, int64_t now_us) {
  const RoomPlan& room = *user->room;
  for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
    const int talker = room.talker_user[slot];
    if (!user->links[slot] || talker < 0) continue;
    SimUser* sender = users_[static_cast<size_t>(talker)].get();
    for (int s = 0; s < kMeasuredStreams; ++s) {
      StreamRecord& record = user->links[slot]->streams[s];
      record.threshold = sender->next_index[s].load(std::memory_order_acquire);
      record.threshold_set = true;
    }
    if (user->links[slot]->nack) {
      user->links[slot]->nack->StartAt(sender->next_sequence.load(std::memory_order_acquire));
    }
  }
  user->admitted_us.store(now_us);
  user->phase.store(static_cast<int>(Phase::kAdmitted), std::memory_order_release);
}

void Simulator::AcknowledgeIfAsked(SimUser* user, const IncomingDatagram& in) {
  if (user->peer || user->GetPhase() != Phase::kAdmitted) return;
  if (in.payload_type == kReliablePayloadType) {
    if (options_.withhold_percent > 0 &&
        Mix(user->entry.user_id ^ Mix(in.id ^ Mix(in.sequence))) % 100 <
            static_cast<uint64_t>(options_.withhold_percent)) {
      if (options_.withhold_mode == WithholdMode::kAll ||
          user->withheld.insert({in.id, in.sequence}).second) {
        ++user->counters.acks_withheld;
        return;
      }
    }
  } else if (in.payload_type != kMusicPayloadType || (in.flags & kAskAckFlag) == 0) {
    return;
  }
  uint8_t* out = reply_batch_.Reserve();
  const size_t size = BuildClientAck(in.payload_type, in.sequence, user->entry.user_id,
                                     user->TokenToSend(), in.id, out, DatagramBatch::kMaxDatagram);
  reply_batch_.Commit(user->fd, user->server, size, user->index);
  ++user->counters.acks_sent;
}

void Simulator::HandleMedia(SimUser* user, const IncomingDatagram& in, int64_t now_us) {
  ReceiveCounters& counters = user->counters;
  AcknowledgeIfAsked(user, in);
  if (!in.has_probe) {
    ++counters.unexpected;
    return;
  }
  if (in.send_time_us < run_start_us_) {
    ++counters.stale;
    return;
  }
  const RoomPlan& room = *user->room;
  const auto it = room.slot_of.find(in.id);
  if (it == room.slot_of.end() || static_cast<int>(it->second) == user->own_slot) {
    ++counters.unexpected;  // another room's member, a listener, or our own datagram
    return;
  }
  const size_t slot = it->second;
  if (in.stream == StreamKind::kControl) {
    if (IsHeard(slot, room)) {
      ++counters.control_received;
    } else {
      ++counters.unexpected;
    }
    return;
  }
  if (!IsForwarded(slot, room, in.stream)) {
    ++counters.unexpected;
    return;
  }
  SenderLink& link = *user->links[slot];
  const int sender_index = room.talker_user[slot];
  if (options_.FecOn() && !in.fec && in.stream == StreamKind::kVoice && sender_index >= 0) {
    // A NACK answer: of the sender's stream before its restart, long after it?
    const int64_t restart_us =
        users_[static_cast<size_t>(sender_index)]->restart_us.load(std::memory_order_acquire);
    if (restart_us != 0 && in.send_time_us < restart_us && now_us >= restart_us + kStaleGraceUs) {
      ++counters.stale_answers;
    }
  }
  if (link.playout && in.stream == StreamKind::kVoice && user->GetPhase() == Phase::kAdmitted &&
      !link.playout->Has(in.stream_index)) {
    const PlayoutMeter::Via via =
        options_.FecOn() && !in.fec ? PlayoutMeter::Via::kNack : PlayoutMeter::Via::kDirect;
    link.playout->Arrived(in.stream_index, via, in.send_time_us, now_us);
    if (now_us - in.send_time_us <= int64_t{options_.playout_ms} * 1000) {
      user->played_delay.Add(now_us - in.send_time_us);
    }
  }
  if (link.nack && in.stream == StreamKind::kVoice && user->GetPhase() == Phase::kAdmitted) {
    link.nack->OnReceived(in.sequence);
  }
  const int stream = StreamSlot(in.stream);
  StreamRecord& record = link.streams[stream];
  const int talker = room.talker_user[slot];
  if (talker >= 0 &&
      in.stream_index >=
          users_[static_cast<size_t>(talker)]->next_index[stream].load(std::memory_order_acquire)) {
    ++counters.malformed;  // an index the sender has not reached
    return;
  }
  if (user->hearing && in.stream == StreamKind::kVoice) {
    user->hearing->OnFrame(slot, in.stream_index, in.body, in.body_size, now_us);
  }
  const bool admitted = user->GetPhase() == Phase::kAdmitted;
  if (talker < 0 && admitted && !record.threshold_set) {
    record.threshold = in.stream_index;
    record.threshold_set = true;
  }
  const SeqTracker::Result result = record.seen.Add(in.stream_index);
  if (result == SeqTracker::Result::kRefused) {
    ++counters.malformed;
    return;
  }
  if (result != SeqTracker::Result::kNew) return;
  if (in.stream != StreamKind::kMusic) link.heard.fetch_add(1, std::memory_order_relaxed);
  if (admitted && record.threshold_set && in.stream_index >= record.threshold) {
    user->latency.Add(now_us - in.send_time_us);
    if (options_.mixer && in.fec) user->pass_phase.Add(now_us);
  }
}

void Simulator::SendNacks(int64_t now_us) {
  const Stage stage = static_cast<Stage>(stage_.load(std::memory_order_acquire));
  if (stage == Stage::kHandshake) return;
  const bool note_tails = stage != Stage::kTraffic && !tails_noted_;
  if (!note_tails && now_us < next_nack_us_) return;
  // Half the retry interval: a due request waits at most that long.
  next_nack_us_ = now_us + int64_t{options_.nack_retry_ms} * 500;
  tails_noted_ = tails_noted_ || note_tails;
  for (auto& user_ptr : users_) {
    SimUser* user = user_ptr.get();
    if (user->peer || user->GetPhase() != Phase::kAdmitted) continue;
    const RoomPlan& room = *user->room;
    for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
      SenderLink* link = user->links[slot].get();
      if (link == nullptr || !link->nack || !IsHeard(slot, room)) continue;
      const int talker = room.talker_user[slot];
      if (note_tails && talker >= 0) {
        // The sending loop has stopped: its last sequence number is final.
        link->nack->NoteSentBefore(
            users_[static_cast<size_t>(talker)]->next_sequence.load(std::memory_order_acquire));
      }
      for (const NackRequest& request : link->nack->TakeDue(now_us)) {
        uint8_t* out = reply_batch_.Reserve();
        reply_batch_.Commit(user->fd, user->server,
                            BuildNack(user->nack_sequence++, user->entry.user_id,
                                      room.talkers[slot].user_id, request, out),
                            user->index);
        ++user->counters.nacks_sent;
      }
    }
  }
}

void Simulator::MaybePrintProgress(int64_t now_us) {
  if (options_.quiet) return;
  const Stage stage = static_cast<Stage>(stage_.load(std::memory_order_acquire));
  if (stage == Stage::kHandshake) return;
  if (next_progress_us_ == 0) {
    next_progress_us_ = now_us + 1000000;
    return;
  }
  if (now_us < next_progress_us_) return;
  next_progress_us_ += 1000000;
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t missing = 0;
  uint64_t unexpected = 0;
  size_t admitted = 0;
  for (const auto& user : users_) {
    sent += user->sent_measured.load(std::memory_order_relaxed);
    received += user->counters.received_total;
    unexpected += user->counters.unexpected;
    if (user->GetPhase() == Phase::kAdmitted) ++admitted;
    for (const auto& link : user->links) {
      if (!link) continue;
      for (const StreamRecord& record : link->streams) missing += record.seen.holes();
    }
  }
  std::fprintf(stderr,
               "corvane-client: %6.1f s %-7s sent %" PRIu64 " (%" PRIu64 "/s) received %" PRIu64
               " (%" PRIu64 "/s) missing %" PRIu64 " unexpected %" PRIu64 " admitted %zu/%zu\n",
               static_cast<double>(now_us - run_start_us_) / 1e6,
               stage == Stage::kTraffic ? "traffic" : "drain", sent, sent - sent_at_last_progress_,
               received, received - received_at_last_progress_, missing, unexpected, admitted,
               users_.size());
  sent_at_last_progress_ = sent;
  received_at_last_progress_ = received;
}

RunResult Simulator::Result() const {
  RunResult result;
  result.handshake_s = static_cast<double>(handshake_us_.load()) / 1e6;
  result.traffic_s = static_cast<double>(traffic_us_.load()) / 1e6;
  result.threads = options_.threads;
  result.send_loop_cpu_s = static_cast<double>(send_cpu_us_.load()) / 1e6;
  result.receive_loop_cpu_s = static_cast<double>(receive_cpu_us_.load()) / 1e6;
  for (const auto& user_ptr : users_) {
    const SimUser& user = *user_ptr;
    UserResult r;
    r.room_id = user.entry.room_id;
    r.user_id = user.entry.user_id;
    r.role = user.peer ? "peer" : RoleName(user.entry.role);
    r.auth = AuthModeName(user.entry.auth);
    r.expects_admission = user.peer || user.ExpectsAdmission();
    r.admitted = user.GetPhase() == Phase::kAdmitted;
    if (r.admitted && !user.peer) {
      r.admit_ms = static_cast<double>(user.admitted_us.load() - user.begin_us.load()) / 1000.0;
    }
    const ReceiveCounters& c = user.counters;
    r.sent = user.sent_measured.load();
    r.sent_control = user.sent_control.load() + c.acks_sent + c.cascade_detects;
    r.send_errors = user.send_errors.load();
    r.unexpected = c.unexpected;
    r.stale = c.stale;
    r.malformed = c.malformed;
    r.latency = user.latency;
    r.pass_spread_us = user.pass_phase.SpreadUs(99);
    r.auth_answers = c.auth_answers;
    r.acks_received = c.acks_received;
    r.reports_received = c.reports_received;
    r.last_report_value = c.last_report_value;
    r.cascade_detects = c.cascade_detects;
    r.acks_sent = c.acks_sent;
    r.acks_withheld = c.acks_withheld;

    const RoomPlan& room = *user.room;
    for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
      if (!user.links[slot]) continue;
      const SenderLink& link = *user.links[slot];
      const int talker = room.talker_user[slot];
      const uint64_t heard = link.streams[StreamSlot(StreamKind::kVoice)].seen.distinct();
      if (heard > 0) r.heard_from[room.talkers[slot].user_id] = heard;
      for (int s = 0; s < kMeasuredStreams; ++s) {
        const StreamRecord& record = link.streams[s];
        const StreamKind kind = s == 0   ? StreamKind::kVoice
                                : s == 1 ? StreamKind::kReliable
                                         : StreamKind::kMusic;
        if (kind == StreamKind::kVoice) {
          r.duplicates += record.seen.duplicates();
        } else {
          r.resends += record.seen.duplicates();
        }
        r.out_of_order += record.seen.out_of_order();
        if (!IsForwarded(slot, room, kind)) continue;
        if (options_.mixer && kind == StreamKind::kVoice) continue;  // AddMixerExpectations
        if (!r.admitted || !record.threshold_set) {
          r.early += record.seen.distinct();
          continue;
        }
        const uint32_t from = record.threshold;
        uint32_t to = 0;  // one past the last index expected
        if (talker >= 0) {
          to = users_[static_cast<size_t>(talker)]->next_index[s].load();
        } else if (!record.seen.empty() && record.seen.highest() >= from) {
          // Sent elsewhere: expect everything up to the highest index that came.
          to = record.seen.highest() + 1;
        }
        uint64_t expected = to > from ? to - from : 0;
        if (expected > 0 && talker >= 0 && kind == StreamKind::kVoice) {
          expected -= Unreachable(*users_[static_cast<size_t>(talker)], from, to);
        }
        const uint64_t received = expected > 0 ? record.seen.CountInRange(from, to) : 0;
        r.expected += expected;
        r.received += received;
        r.lost += expected - received;
        r.early += record.seen.CountInRange(0, from);
      }
      if (link.nack) {
        r.nack_asked += link.nack->asked();
        r.recovered += link.nack->recovered();
        if (talker < 0) {
          r.lost_for_good += link.nack->missing();
        } else {
          // Only the sender's voice counts: its handshake datagrams number on
          // the same sequence and need not reach anyone.
          const SimUser& sender = *users_[static_cast<size_t>(talker)];
          for (const uint32_t sequence : link.nack->MissingNumbers()) {
            const auto& frames = sender.ledger.frames;
            const auto it = std::lower_bound(
                frames.begin(), frames.end(), sequence,
                [](const SentFrame& f, uint32_t value) { return f.sequence < value; });
            if (it == frames.end() || it->sequence != sequence) continue;
            ++r.lost_for_good;
            if (FateOf(sender, static_cast<uint32_t>(it - frames.begin())) == Fate::kDroppedLost) {
              ++r.unrecoverable;
            }
          }
        }
      }
    }
    if (options_.mixer && r.admitted) AddMixerExpectations(user, &r);
    if (user.hearing) r.speech = user.hearing->results();
    if (!options_.mixer && r.admitted && !user.peer) {
      for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
        const SenderLink* link = user.links[slot].get();
        const int talker = room.talker_user[slot];
        if (link == nullptr || !link->playout || talker < 0 || !IsHeard(slot, room)) continue;
        const StreamRecord& record = link->streams[StreamSlot(StreamKind::kVoice)];
        if (!record.threshold_set) continue;
        const uint32_t to =
            users_[static_cast<size_t>(talker)]->next_index[StreamSlot(StreamKind::kVoice)].load();
        if (to > record.threshold) r.quality.Add(link->playout->Count(record.threshold, to));
      }
    }
    r.server_delay = user.server_delay.all;
    r.server_delay_by_second_us = user.server_delay.max_by_second_us;
    r.played_delay = user.played_delay;
    r.stale_answers = c.stale_answers;
    r.impaired = options_.Impaired();
    r.quality_playout_ms = options_.playout_ms;
    r.fec_dropped = user.ledger.dropped;
    r.repairs_sent = user.ledger.repairs_sent;
    r.repairs_received = c.repairs_received;
    r.nacks_sent = c.nacks_sent;
    result.users.push_back(std::move(r));
  }
  result.mixer = options_.mixer;
  result.fec = options_.FecOn();
  result.nack = options_.nack;
  result.impaired = options_.Impaired();
  result.playout_ms = options_.playout_ms;
  result.Summarise();
  result.total.quality_playout_ms = options_.playout_ms;
  for (auto& [name, role] : result.by_role) role.quality_playout_ms = options_.playout_ms;
  return result;
}

Fate Simulator::FateOf(const SimUser& sender, uint32_t index) const {
  const SendLedger& ledger = sender.ledger;
  if (index >= ledger.frames.size()) return Fate::kSent;
  const Fate fate = ledger.frames[index].fate;
  if (fate != Fate::kDroppedRecoverable) return fate;
  // The block still open at the end never got its repairs.
  for (const uint32_t open : ledger.open_dropped) {
    if (open == index) return Fate::kDroppedLost;
  }
  return fate;
}

uint64_t Simulator::Unreachable(const SimUser& sender, uint32_t from, uint32_t to) const {
  uint64_t count = 0;
  const uint32_t end = std::min<uint32_t>(to, static_cast<uint32_t>(sender.ledger.frames.size()));
  for (uint32_t index = from; index < end; ++index) {
    const Fate fate = FateOf(sender, index);
    if (fate == Fate::kDroppedLost || (fate == Fate::kDroppedRecoverable && !options_.nack)) {
      ++count;
    }
  }
  return count;
}

void Simulator::AddMixerExpectations(const SimUser& user, UserResult* r) const {
  const RoomPlan& room = *user.room;
  // Frames that reached the mixer, by period: (slot, stream index).
  std::map<uint32_t, std::vector<std::pair<size_t, uint32_t>>> by_period;
  for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
    const int talker = room.talker_user[slot];
    if (talker < 0 || !IsHeard(slot, room)) continue;
    const SimUser& sender = *users_[static_cast<size_t>(talker)];
    if (sender.GetPhase() != Phase::kAdmitted) continue;
    const auto& frames = sender.ledger.frames;
    for (uint32_t index = 0; index < frames.size(); ++index) {
      if (FateOf(sender, index) == Fate::kSent) {
        by_period[frames[index].tick].emplace_back(slot, index);
      }
    }
  }
  std::vector<FrameCandidate> candidates;
  for (const auto& [period, frames] : by_period) {
    candidates.clear();
    for (const auto& [slot, index] : frames) {
      const RosterUser& talker = room.talkers[slot];
      FrameCandidate candidate;
      candidate.user_id = talker.user_id;
      candidate.level = static_cast<uint8_t>(talker.level >= 0 ? talker.level : options_.level);
      const SimUser& sender = *users_[static_cast<size_t>(room.talker_user[slot])];
      if (sender.speech != nullptr) candidate.level = sender.ledger.frames[index].level;
      candidate.priority = talker.priority;
      candidates.push_back(candidate);
    }
    std::vector<bool> chosen(frames.size(), false);
    for (const size_t position : ChooseFrames(candidates)) chosen[position] = true;
    for (size_t i = 0; i < frames.size(); ++i) {
      const auto [slot, index] = frames[i];
      if (static_cast<int>(slot) == user.own_slot || !user.links[slot]) continue;
      const StreamRecord& record = user.links[slot]->streams[StreamSlot(StreamKind::kVoice)];
      if (!record.threshold_set || index < record.threshold) continue;
      const bool seen = record.seen.Seen(index);
      if (chosen[i] && user.links[slot]->playout) {
        bool in_run = false;
        user.links[slot]->playout->CountFrame(index, &r->quality, &in_run);
      }
      if (chosen[i]) {
        ++r->chosen_expected;
        r->chosen_received += seen ? 1 : 0;
      } else if (seen) {
        ++r->unchosen_received;
      }
    }
  }
  r->expected += r->chosen_expected;
  r->received += r->chosen_received;
  r->lost += r->chosen_expected - r->chosen_received;
}

}  // namespace corvanetools
