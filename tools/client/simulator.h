// The engine of corvane-client: one UDP socket per simulated user, a
// scheduler that sends each user's handshake, voice, keep-alives and receiver
// reports on time, and a receiving side that reads every socket with epoll and
// recvmmsg, answers what needs an answer and measures what arrives.
//
// A run has four stages: handshake (users that start at once get admitted),
// traffic (--duration), drain (receive only) and done. With one thread both
// sides share one loop; with two, Run() sends on the calling thread and
// receives on a thread of its own.
#ifndef TOOLS_CLIENT_SIMULATOR_H_
#define TOOLS_CLIENT_SIMULATOR_H_

#include <time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/client_options.h"
#include "client/datagram_batch.h"
#include "client/run_result.h"
#include "client/sim_user.h"

namespace corvanetools {

class Simulator {
 public:
  explicit Simulator(ClientOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the sockets and lays out who expects what. False with a reason.
  bool Setup(std::string* error);
  // Runs all stages; returns when done. Call once, after Setup.
  void Run();
  // Ends the traffic stage now (the drain still runs). Safe from any thread
  // and from a signal handler.
  void RequestStop() { stop_requested_.store(true, std::memory_order_relaxed); }

  // The measurements; call after Run.
  RunResult Result() const;
  // Adds a receiver's expectations of a mixing room to *r: per period, the
  // frames the mixer must choose and those it must drop.
  void AddMixerExpectations(const SimUser& user, UserResult* r) const;
  // Voice stream indices in [from, to) of a simulated sender that its
  // receivers cannot get: dropped, and with --nack not rebuildable.
  uint64_t Unreachable(const SimUser& sender, uint32_t from, uint32_t to) const;
  Fate FateOf(const SimUser& sender, uint32_t index) const;

  // Decodes and measures the speech each receiver heard and, with
  // --audio-out, writes it; call after Run and before Result. False with a
  // reason when a file cannot be written.
  bool FinishAudio(std::string* error);

  // Local addresses of the simulated users, in roster order (tests use them).
  std::vector<rtc::SocketAddress> LocalAddresses() const;

 private:
  enum class Stage : int { kHandshake, kTraffic, kDrain, kDone };
  static constexpr size_t kReceiveBatch = 32;
  static constexpr size_t kReceiveBufferSize = 2048;
  enum class EventType : uint8_t { kBegin, kHandshake, kTalk, kKeepalive, kReport };
  struct Event {
    int64_t due_us;
    uint32_t user;
    EventType type;
    bool operator>(const Event& other) const { return due_us > other.due_us; }
  };

  // --- Set-up ---
  bool OpenSocket(SimUser* user, const std::string& ip, int port, std::string* error);
  void BuildRooms();
  // Loads the speakers' WAV files and gives each receiver that hears one its
  // ListenerAudio (simulator_audio.cc).
  bool SetupAudio(std::string* error);

  // --- Sending side (sending loop) ---
  // Runs the events due at `now_us` and the stage changes; returns when the
  // next event is due (or a short poll interval when there is none).
  int64_t SendStep(int64_t now_us);
  void StartTraffic(int64_t now_us);
  void ScheduleTraffic(uint32_t index, int64_t from_us);
  void RunEvent(const Event& event, int64_t now_us);
  void SendHandshake(SimUser* user, int64_t now_us);
  void SendTalk(SimUser* user, int64_t now_us, int64_t due_us);
  // SendTalk of a speaker with speech: the next Opus frame of its file.
  void SendSpeech(SimUser* user, int64_t now_us, int64_t due_us);
  // Wraps one voice datagram in FEC, drops what the simulated loss takes and
  // queues the rest; sends the block's repairs after its last source.
  void SendFecTalk(SimUser* user, const uint8_t* media, size_t size, uint32_t index, uint32_t tick,
                   int64_t now_us);
  bool Lose(const SimUser& user, uint32_t fec_sequence) const;
  // Commits the reserved datagram `out` of `size` bytes (0: none) of the
  // user's voice through the user's uplink impairment: sent now, held in the
  // uplink delay line, or lost. `media_sequence` (-1: a repair datagram)
  // records how long it was held.
  void CommitVoice(SimUser* user, const uint8_t* out, size_t size, int64_t now_us,
                   int64_t media_sequence);
  // Sends what the uplink delay line releases by now_us.
  void ReleaseUplink(int64_t now_us);
  // The user starts its media and FEC numbers again from the first number.
  void RestartNumbers(SimUser* user, int64_t now_us);
  // With --mixer: the start of the lockstep period of the user's room at or after t_us.
  int64_t NextPeriodStart(const SimUser& user, int64_t t_us) const;
  void SendControl(SimUser* user, int64_t now_us, bool ask_ack);
  void SendReports(SimUser* user);
  bool HandshakeSettled() const;
  void Push(int64_t due_us, uint32_t user, EventType type);

  // --- Receiving side (receiving loop) ---
  // Waits up to timeout_ms for datagrams and handles them.
  void ReceiveStep(int timeout_ms);
  void ReceiveFrom(uint32_t index, int64_t now_us);
  // A datagram read from the user's socket: measured, then passed through the
  // user's downlink impairment to HandleArrival (now, later, or never).
  void HandleDatagram(SimUser* user, const uint8_t* data, size_t size, const sockaddr_in& from,
                      int64_t now_us);
  void HandleArrival(SimUser* user, const uint8_t* data, size_t size, const sockaddr_in& from,
                     int64_t now_us);
  void MeasureServerDelay(SimUser* user, const IncomingDatagram& in, int64_t now_us);
  // Feeds a FEC datagram of the sender in `slot` to the receiver's decoder.
  void DecodeFec(SimUser* user, size_t slot, const uint8_t* data, size_t size, int64_t now_us);
  void ReleaseDownlink(int64_t now_us);
  void HandleMedia(SimUser* user, const IncomingDatagram& in, int64_t now_us);
  void AcknowledgeIfAsked(SimUser* user, const IncomingDatagram& in);
  void OnAdmitted(SimUser* user, int64_t now_us);
  void SendNacks(int64_t now_us);
  bool IsHeard(size_t slot, const RoomPlan& room) const;
  bool IsForwarded(size_t slot, const RoomPlan& room, StreamKind kind) const;
  void MaybePrintProgress(int64_t now_us);

  void ReceiverThreadMain();
  // CPU time of the sending and the receiving loop so far (the same clock
  // twice with one thread), read by the sending loop at the traffic's edges.
  void SampleLoopCpu(int64_t* send_us, int64_t* receive_us) const;

  const ClientOptions options_;
  const int64_t interval_us_;
  const int64_t catch_up_us_;  // ClientOptions::catch_up_ms, or ten intervals

  // Allocated by this; the vector is never resized once the loops run.
  std::vector<std::unique_ptr<SimUser>> users_;
  // The speakers' encoded files by speaker id, lent to the users.
  std::map<uint64_t, std::unique_ptr<SpeakerAudio>> speech_;
  std::deque<RoomPlan> rooms_;  // stable addresses for SimUser::room
  int epoll_fd_ = -1;

  std::atomic<int> stage_{static_cast<int>(Stage::kHandshake)};
  std::atomic<bool> stop_requested_{false};
  int64_t run_start_us_ = 0;

  // Sending loop only.
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
  DatagramBatch send_batch_;
  std::vector<uint8_t> repair_buffer_;
  DelayLine uplink_line_;
  int64_t handshake_deadline_us_ = 0;
  int64_t traffic_start_us_ = 0;
  int64_t traffic_end_us_ = 0;
  int64_t drain_end_us_ = 0;

  // Receiving loop only.
  DatagramBatch reply_batch_;
  DelayLine downlink_line_;
  // The time of the datagram being decoded, for the decoders' callbacks.
  int64_t decoding_now_us_ = 0;
  std::vector<uint8_t> receive_buffers_;
  int64_t next_progress_us_ = 0;
  uint64_t received_at_last_progress_ = 0;
  uint64_t sent_at_last_progress_ = 0;
  int64_t next_nack_us_ = 0;
  bool tails_noted_ = false;  // NACK trackers know where each sender stopped

  // Written by the sending loop before kDone, read by Result().
  std::atomic<int64_t> traffic_us_{0};
  std::atomic<int64_t> handshake_us_{0};
  // CPU of each loop over the traffic stage: what the load generator spent to
  // offer its load (start samples first, the spans once the traffic ended).
  clockid_t receiver_clock_ = CLOCK_THREAD_CPUTIME_ID;  // set by Run() before the loops
  int64_t send_cpu_start_us_ = 0;
  int64_t receive_cpu_start_us_ = 0;
  std::atomic<int64_t> send_cpu_us_{0};
  std::atomic<int64_t> receive_cpu_us_{0};
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_SIMULATOR_H_
