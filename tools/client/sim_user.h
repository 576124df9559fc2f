// State of one simulated user (or cascade peer) of corvane-client, split by
// the thread that owns each part: set-up data is read-only once the threads
// run, the sender side belongs to the sending loop, the receiver side to the
// receiving loop, and the atomics are what the two loops tell each other.
#ifndef TOOLS_CLIENT_SIM_USER_H_
#define TOOLS_CLIENT_SIM_USER_H_

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/socket_address.h"
#include "fec/decoder.h"

#include "client/fec_stream.h"
#include "client/impairment.h"
#include "client/latency_histogram.h"
#include "client/media_datagrams.h"
#include "client/nack_tracker.h"
#include "client/pass_phase.h"
#include "client/playout_meter.h"
#include "client/roster.h"
#include "client/seq_tracker.h"
#include "client/voice_audio.h"

namespace corvanetools {

enum class Phase : int {
  kWaiting = 0,     // its start time has not come
  kDetecting = 1,   // sending detect datagrams until one comes back
  kAnnouncing = 2,  // sending the token until the server acknowledges it
  kAdmitted = 3,
  kFailed = 4,  // not admitted within the handshake time-out
};
const char* PhaseName(Phase phase);

// The talking members of one room (speakers and muted speakers, simulated
// here or elsewhere), by slot; receivers keep one SenderLink per slot.
struct RoomPlan {
  uint64_t room_id = 0;
  std::vector<RosterUser> talkers;
  std::vector<int> talker_user;  // index of the simulated user, -1 when elsewhere
  std::unordered_map<uint64_t, size_t> slot_of;
  // With --mixer the room's speakers send in lockstep at this offset into
  // each period; rooms are spread over the period.
  int64_t offset_us = 0;
};

// What a speaker did with one datagram of its voice stream.
enum class Fate : uint8_t {
  kSent,
  kDroppedRecoverable,  // dropped, but its block reached the server with k datagrams
  kDroppedLost,         // dropped, and its block cannot be rebuilt
};
struct SentFrame {
  uint32_t tick = 0;  // period of the lockstep schedule (--mixer), else the stream index
  uint32_t sequence = 0;
  Fate fate = Fate::kSent;
  uint8_t level = 0;  // the frame's level byte (speakers with speech)
};
// A speaker's record of its voice stream by stream index; written by the
// sending loop, read once the run is over.
struct SendLedger {
  std::vector<SentFrame> frames;
  // The block being built: indices of its dropped sources and its losses.
  std::vector<uint32_t> open_dropped;
  int open_losses = 0;
  uint64_t dropped = 0;  // datagrams dropped by the simulated loss, sources and repairs
  uint64_t repairs_sent = 0;
};

// One measured stream of one sender as one receiver saw it.
struct StreamRecord {
  SeqTracker seen;
  // The first index the receiver expects. For a simulated sender it is the
  // sender's next index when the receiver saw its admission; for a sender
  // simulated elsewhere, the first index received after admission.
  uint32_t threshold = 0;
  bool threshold_set = false;
};

struct SenderLink {
  StreamRecord streams[kMeasuredStreams];
  // Distinct voice and 0x82 datagrams received: the counter sent in this
  // receiver's reports. Written by the receiver, read by the sender loop.
  std::atomic<uint32_t> heard{0};
  // --nack: the sender's voice sequence numbers this receiver misses.
  std::unique_ptr<NackTracker> nack;
  // What this receiver could play of the sender's voice.
  std::unique_ptr<PlayoutMeter> playout;
  // With FEC: the receiver's own decoding of the sender's FEC stream, which
  // starts afresh when the FEC number jumps by more than a ring.
  std::unique_ptr<fec::Decoder> fec_decoder;
  bool have_fec_sequence = false;
  uint32_t newest_fec_sequence = 0;
};

// Receiver-side counters; only the receiving loop writes them.
struct ReceiveCounters {
  uint64_t detect_echoes = 0;
  uint64_t auth_answers = 0;
  uint64_t acks_received = 0;
  uint64_t reports_received = 0;
  uint32_t last_report_value = 0;
  uint64_t control_received = 0;  // announce / keep-alive datagrams of speakers
  uint64_t unexpected = 0;
  uint64_t stale = 0;  // sent before this run started
  uint64_t malformed = 0;
  uint64_t acks_sent = 0;
  uint64_t acks_withheld = 0;
  uint64_t cascade_detects = 0;  // peers: detect datagrams answered
  uint64_t received_total = 0;   // every datagram read from the socket
  uint64_t repairs_received = 0;
  uint64_t nacks_sent = 0;
  // NACK answers of the sender's stream before its restart, arriving after it.
  uint64_t stale_answers = 0;
};

// The delay the server added to the voice a user received, in all and as the
// largest per second of the run; the receiving loop writes it.
struct ServerDelay {
  LatencyHistogram all;
  std::vector<int64_t> max_by_second_us;
  void Add(int64_t delay_us, size_t second);
};

// How long each voice datagram of a talking user was held on its uplink, by
// media sequence number modulo the slot count: the receivers take it off
// what they measure to leave the server's part.
constexpr uint32_t kUplinkDelaySlots = 4096;

struct SimUser {
  // --- Set up before the loops start; read-only afterwards. ---
  uint32_t index = 0;  // position in the simulator's user list
  RosterUser entry;    // for a peer: room, id = cascade id, role listener
  bool peer = false;
  rtc::SocketAddress peer_address;
  int fd = -1;
  rtc::SocketAddress local;
  sockaddr_in server{};
  const RoomPlan* room = nullptr;
  int own_slot = -1;         // this user's slot among its room's talkers, or -1
  std::string wrong_token;   // what auth=wrong presents instead of the token
  bool skip_detect = false;  // announce without a detect first (--no-detect)
  // One per talker slot of the room; null for the user's own slot.
  std::vector<std::unique_ptr<SenderLink>> links;

  // --- Shared between the loops. ---
  std::atomic<int> phase{static_cast<int>(Phase::kWaiting)};
  std::atomic<int64_t> begin_us{0};     // handshake start
  std::atomic<int64_t> admitted_us{0};  // when the acknowledgement of the announce came
  std::atomic<uint32_t> next_sequence{1};
  // With an uplink impairment (kUplinkDelaySlots entries), else null.
  std::unique_ptr<std::atomic<int64_t>[]> uplink_delay_us;
  // When the user restarted its numbers (0: never).
  std::atomic<int64_t> restart_us{0};
  // Next stream index per measured stream, taken before the datagram is sent.
  std::atomic<uint32_t> next_index[kMeasuredStreams] = {};
  std::atomic<uint64_t> sent_measured{0};
  std::atomic<uint64_t> sent_control{0};
  std::atomic<uint64_t> send_errors{0};

  // --- Sending loop only. ---
  uint64_t tick = 0;
  uint32_t report_sequence = 0;
  int64_t handshake_deadline_us = 0;
  bool traffic_scheduled = false;
  std::unique_ptr<FecStream> fec;
  SendLedger ledger;
  // Borrowed from the simulator; null for a speaker without speech.
  const SpeakerAudio* speech = nullptr;
  std::unique_ptr<Impairment> uplink;
  bool restarted = false;

  // --- Receiving loop only. ---
  LatencyHistogram latency;
  ReceiveCounters counters;
  PassPhase pass_phase{0};  // --mixer: when in the period mixed frames arrive
  // 0x82 datagrams (sender, sequence) whose acknowledgement was withheld once.
  std::set<std::pair<uint64_t, uint32_t>> withheld;
  uint32_t nack_sequence = 0;  // numbers this user's NACKs
  // The speech this user hears; null when no speaker of its room has speech.
  std::unique_ptr<ListenerAudio> hearing;
  std::unique_ptr<Impairment> downlink;
  ServerDelay server_delay;
  LatencyHistogram played_delay;  // send to arrival of the frames played

  Phase GetPhase() const { return static_cast<Phase>(phase.load(std::memory_order_acquire)); }
  // False for users that present no or a wrong token, or skip the detect:
  // the server is to refuse them.
  bool ExpectsAdmission() const { return !peer && entry.auth == AuthMode::kToken && !skip_detect; }
  // The token this user puts in its datagrams (null: none).
  const std::string* TokenToSend() const;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_SIM_USER_H_
