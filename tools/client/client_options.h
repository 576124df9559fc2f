// Command line of corvane-client.
#ifndef TOOLS_CLIENT_CLIENT_OPTIONS_H_
#define TOOLS_CLIENT_CLIENT_OPTIONS_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/socket_address.h"

#include "client/impairment.h"
#include "client/media_datagrams.h"
#include "client/roster.h"

namespace corvanetools {

enum class WithholdMode { kFirst, kAll };

struct ClientOptions {
  rtc::SocketAddress server;  // users without server= talk to this one
  std::string bind_ip = "127.0.0.1";
  Roster roster;
  std::set<uint64_t> only;  // simulate only these ids (users and peers); empty: all
  bool simulate_peers = true;
  bool skip_detect = false;  // users announce without detecting first

  double duration_s = 10;
  double rate = 50;          // voice datagrams per second per talking user
  size_t payload_size = 80;  // bytes after the token
  uint8_t voice_payload_type = kDefaultVoicePayloadType;
  bool voice_ack = false;    // ask for an acknowledgement of every voice datagram
  int reliable_every = 0;    // every Nth talk datagram is a 0x82 one (0: none)
  int music_every = 0;       // every Nth talk datagram is a music one (0: none)
  int withhold_percent = 0;  // share of 0x82 datagrams not acknowledged
  WithholdMode withhold_mode = WithholdMode::kFirst;
  int keepalive_ms = 1000;  // listeners and cascaders
  int report_ms = 1000;     // receiver reports (0: none)
  int retry_ms = 100;       // detect and announce repeats
  int handshake_timeout_ms = 5000;
  int drain_ms = 1000;
  // A talking user that fell this far behind its schedule (the sending loop was
  // not run in time) sends what it owes at once; further behind, it starts
  // again from now. 0: ten intervals of its rate.
  int catch_up_ms = 0;
  int threads = 1;          // 1: one loop; 2: a sender and a receiver thread
  double hostile_rate = 0;  // random and malformed datagrams per second beside the users

  // Mixing server and FEC.
  bool mixer = false;       // receivers expect only the frames the mixer chooses
  int fec_k = 0;            // source datagrams per FEC block; 0: plain voice (--mixer: 1)
  int fec_r = 0;            // repair datagrams per block
  double loss_percent = 0;  // FEC datagrams a speaker drops instead of sending
  uint64_t loss_seed = 1;
  bool nack = false;  // receivers ask for missing voice datagrams again
  int nack_retry_ms = 40;
  int nack_attempts = 12;
  int nack_wait_ms = 0;  // a gap is asked for once it is this old
  int level = 0;         // frame level of speakers without level=

  // Speech (voice_audio.h): speakers with a WAV file send Opus frames;
  // receivers decode what they hear, write it here (empty: nowhere) and
  // measure it against the sources.
  std::string audio_out;

  bool FecOn() const { return fec_k > 0; }

  // Network conditions (impairment.h), the same for every user.
  NetworkConditions uplink;    // what talking users send: their voice
  NetworkConditions downlink;  // what every user receives: voice from the server
  uint64_t impair_seed = 1;
  int restart_at_ms = -1;         // talking users restart their numbers this far into the traffic
  uint32_t first_sequence = 1;    // first media and FEC number of every user
  uint32_t restart_sequence = 1;  // where a restart starts the numbers again
  int playout_ms = 150;           // a frame later than this after its sending is not played; the
                                  // speech jitter buffers' fixed delay
  bool receiver_fec = true;       // receivers decode the FEC stream themselves (when impaired)
  // Any conditions, the client's or a roster user's.
  bool Impaired() const;

  bool json = false;
  bool quiet = false;
  int table_rows = 40;
  std::string write_users;  // write the roster here
};

// What ParseClientOptions asks the caller to do.
enum class ParseOutcome { kRun, kHelp, kWriteOnly, kError };

// Parses argv (argv[0] excluded). Reads --users files. On kError *error says why.
ParseOutcome ParseClientOptions(const std::vector<std::string>& args, ClientOptions* options,
                                std::string* error);

// The text of --help.
std::string ClientUsage();

// True when the payload type can carry voice through the server: even (odd
// types are acknowledgements) and none of the types with a meaning of their own.
bool IsUsableVoicePayloadType(int payload_type);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_CLIENT_OPTIONS_H_
