#include "client/client_options.h"

#include <cstdlib>
#include <map>

#include "client/fec_stream.h"

namespace corvanetools {

namespace {

// Receivers on an impaired path wait this long before asking for a gap: a
// reordered datagram usually fills it meanwhile.
constexpr int kImpairedNackWaitMs = 20;

// Per talking user; more than one speaker's sending thread can reach, so the
// sender, not this bound, limits a saturation sweep.
constexpr double kMaxRate = 1000000;

bool ParseIntIn(const std::string& text, int64_t low, int64_t high, int* value) {
  int64_t parsed = 0;
  if (!ParseI64(text, &parsed) || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// "1,2,5-9" into ids.
bool ParseIdList(const std::string& text, std::set<uint64_t>* ids) {
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t dash = item.find('-');
    uint64_t first = 0;
    uint64_t last = 0;
    if (dash == std::string::npos) {
      if (!ParseU64(item, &first)) return false;
      last = first;
    } else if (!ParseU64(item.substr(0, dash), &first) || !ParseU64(item.substr(dash + 1), &last) ||
               last < first || last - first > 1000000) {
      return false;
    }
    for (uint64_t id = first; id <= last; ++id) ids->insert(id);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

bool ParseGenerate(const std::string& text, int counts[4]) {
  counts[3] = 0;
  size_t pos = 0;
  int index = 0;
  while (index < 4) {
    const size_t comma = text.find(',', pos);
    const std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (!ParseIntIn(item, 0, 100000, &counts[index])) return false;
    ++index;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return index >= 3 && counts[0] > 0;
}

// Gives the speakers named by --wav their files and checks what speech needs.
bool ApplyWavFiles(const std::map<uint64_t, std::string>& wav_files, ClientOptions* options,
                   std::string* error) {
  for (const auto& [id, path] : wav_files) {
    bool found = false;
    for (RosterUser& user : options->roster.users) {
      if (user.user_id != id) continue;
      user.wav = path;
      found = true;
    }
    if (!found) {
      *error = "--wav names user " + std::to_string(id) + ", who is not in the roster";
      return false;
    }
  }
  bool speech = false;
  for (const RosterUser& user : options->roster.users) speech = speech || !user.wav.empty();
  if (!speech) return true;
  if (options->rate != 50) {
    *error = "speakers with a WAV file send one 20 ms frame per datagram: --rate 50";
    return false;
  }
  if (options->reliable_every > 0 || options->music_every > 0) {
    *error =
        "speakers with a WAV file send every frame as voice: drop --reliable-every and "
        "--music-every";
    return false;
  }
  return true;
}

}  // namespace

bool ClientOptions::Impaired() const {
  if (uplink.Any() || downlink.Any() || restart_at_ms >= 0) return true;
  for (const RosterUser& user : roster.users) {
    if (!user.uplink.empty() || !user.downlink.empty()) return true;
  }
  return false;
}

bool IsUsableVoicePayloadType(int payload_type) {
  if (payload_type < 0 || payload_type > 255 || (payload_type & 1) != 0) return false;
  switch (payload_type) {
    case corvaneserver::kFecMarker:
    case kAuthPayloadType:
    case kCascadeType:
    case kMusicPayloadType:
    case kReliablePayloadType:
    case kReportPayloadType:
    case corvaneserver::kNackPayloadType:
      return false;
    default:
      return true;
  }
}

ParseOutcome ParseClientOptions(const std::vector<std::string>& args, ClientOptions* options,
                                std::string* error) {
  bool have_generate = false;
  int generate[4] = {0, 0, 0, 0};
  uint64_t first_room = 1;
  uint64_t first_user = 1000;
  std::map<uint64_t, std::string> wav_files;  // --wav, applied once the roster is complete
  bool restart_preset = false;
  uint32_t preset_first_sequence = 0;
  bool first_sequence_given = false;
  bool nack_wait_given = false;

  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_inline_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_inline_value = true;
    }
    // Flags first; everything else takes a value.
    if (name == "--help" || name == "-h") return ParseOutcome::kHelp;
    if (name == "--json") {
      options->json = true;
      continue;
    }
    if (name == "--quiet") {
      options->quiet = true;
      continue;
    }
    if (name == "--voice-ack") {
      options->voice_ack = true;
      continue;
    }
    if (name == "--no-peers") {
      options->simulate_peers = false;
      continue;
    }
    if (name == "--no-detect") {
      options->skip_detect = true;
      continue;
    }
    if (name == "--mixer") {
      options->mixer = true;
      continue;
    }
    if (name == "--nack") {
      options->nack = true;
      continue;
    }
    if (name == "--no-receiver-fec") {
      options->receiver_fec = false;
      continue;
    }
    if (!has_inline_value) {
      if (i + 1 >= args.size()) {
        *error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected '" + name + "'";
        return ParseOutcome::kError;
      }
      value = args[++i];
    }
    const std::string bad = "bad value for " + name + ": '" + value + "'";
    bool ok = true;
    if (name == "--server") {
      ok = ParseIpPort(value, &options->server);
    } else if (name == "--bind") {
      rtc::SocketAddress probe;
      ok = ParseIpPort(value + ":1", &probe);
      options->bind_ip = value;
    } else if (name == "--users") {
      if (!LoadRosterFile(value, &options->roster, error)) return ParseOutcome::kError;
    } else if (name == "--user") {
      RosterUser user;
      if (!ParseUserArgument(value, &user, error)) return ParseOutcome::kError;
      options->roster.users.push_back(user);
    } else if (name == "--generate") {
      ok = ParseGenerate(value, generate);
      have_generate = true;
    } else if (name == "--first-room") {
      ok = ParseU64(value, &first_room);
    } else if (name == "--first-user") {
      ok = ParseU64(value, &first_user);
    } else if (name == "--only") {
      ok = ParseIdList(value, &options->only);
    } else if (name == "--duration") {
      ok = ParseDouble(value, &options->duration_s) && options->duration_s >= 0 &&
           options->duration_s <= 86400;
    } else if (name == "--rate") {
      ok = ParseDouble(value, &options->rate) && options->rate > 0 && options->rate <= kMaxRate;
    } else if (name == "--size") {
      int size = 0;
      ok = ParseIntIn(value, static_cast<int64_t>(kProbeSize), 1400, &size);
      options->payload_size = static_cast<size_t>(size);
    } else if (name == "--voice-type") {
      char* end = nullptr;
      const long type = std::strtol(value.c_str(), &end, 0);
      ok = !value.empty() && end == value.c_str() + value.size() &&
           IsUsableVoicePayloadType(static_cast<int>(type));
      if (ok) options->voice_payload_type = static_cast<uint8_t>(type);
    } else if (name == "--reliable-every") {
      ok = ParseIntIn(value, 0, 1000000, &options->reliable_every);
    } else if (name == "--music-every") {
      ok = ParseIntIn(value, 0, 1000000, &options->music_every);
    } else if (name == "--withhold") {
      ok = ParseIntIn(value, 0, 100, &options->withhold_percent);
    } else if (name == "--withhold-mode") {
      ok = value == "first" || value == "all";
      options->withhold_mode = value == "all" ? WithholdMode::kAll : WithholdMode::kFirst;
    } else if (name == "--keepalive-ms") {
      ok = ParseIntIn(value, 10, 3600000, &options->keepalive_ms);
    } else if (name == "--report-ms") {
      ok = ParseIntIn(value, 0, 3600000, &options->report_ms);
    } else if (name == "--retry-ms") {
      ok = ParseIntIn(value, 1, 60000, &options->retry_ms);
    } else if (name == "--handshake-timeout-ms") {
      ok = ParseIntIn(value, 1, 600000, &options->handshake_timeout_ms);
    } else if (name == "--drain-ms") {
      ok = ParseIntIn(value, 0, 600000, &options->drain_ms);
    } else if (name == "--catch-up-ms") {
      ok = ParseIntIn(value, 0, 10000, &options->catch_up_ms);
    } else if (name == "--threads") {
      ok = ParseIntIn(value, 1, 2, &options->threads);
    } else if (name == "--hostile") {
      ok = ParseDouble(value, &options->hostile_rate) && options->hostile_rate >= 0 &&
           options->hostile_rate <= 1000000;
    } else if (name == "--fec-k") {
      ok = ParseIntIn(value, 1, kMaxFecK, &options->fec_k);
    } else if (name == "--fec-r") {
      ok = ParseIntIn(value, 0, kMaxFecR, &options->fec_r);
    } else if (name == "--loss") {
      ok = ParseDouble(value, &options->loss_percent) && options->loss_percent >= 0 &&
           options->loss_percent <= 100;
    } else if (name == "--loss-seed") {
      ok = ParseU64(value, &options->loss_seed);
    } else if (name == "--nack-retry-ms") {
      ok = ParseIntIn(value, 1, 10000, &options->nack_retry_ms);
    } else if (name == "--nack-wait-ms") {
      ok = ParseIntIn(value, 0, 10000, &options->nack_wait_ms);
      nack_wait_given = true;
    } else if (name == "--nack-attempts") {
      ok = ParseIntIn(value, 1, 1000, &options->nack_attempts);
    } else if (name == "--impair") {
      ImpairmentPreset preset;
      ok = FindImpairmentPreset(value, &preset);
      if (ok) {
        options->uplink = preset.uplink;
        options->downlink = preset.downlink;
        restart_preset = preset.restart;
        if (preset.first_sequence != 0) preset_first_sequence = preset.first_sequence;
      }
    } else if (name == "--uplink") {
      if (!ParseNetworkConditions(value, &options->uplink, error)) return ParseOutcome::kError;
    } else if (name == "--downlink") {
      if (!ParseNetworkConditions(value, &options->downlink, error)) return ParseOutcome::kError;
    } else if (name == "--impair-seed") {
      ok = ParseU64(value, &options->impair_seed);
    } else if (name == "--restart-at-ms") {
      ok = ParseIntIn(value, 0, 86400000, &options->restart_at_ms);
    } else if (name == "--first-seq") {
      uint64_t first = 0;
      ok = ParseU64(value, &first) && first <= 0xFFFFFFFFu;
      options->first_sequence = static_cast<uint32_t>(first);
      first_sequence_given = true;
    } else if (name == "--restart-seq") {
      uint64_t first = 0;
      ok = ParseU64(value, &first) && first <= 0xFFFFFFFFu;
      options->restart_sequence = static_cast<uint32_t>(first);
    } else if (name == "--playout-ms") {
      ok = ParseIntIn(value, 1, 60000, &options->playout_ms);
    } else if (name == "--level") {
      ok = ParseIntIn(value, 0, 255, &options->level);
    } else if (name == "--wav") {
      const size_t at = value.find('=');
      uint64_t id = 0;
      ok = at != std::string::npos && at + 1 < value.size() && ParseU64(value.substr(0, at), &id);
      if (ok) wav_files[id] = value.substr(at + 1);
    } else if (name == "--audio-out") {
      options->audio_out = value;
    } else if (name == "--table-rows") {
      ok = ParseIntIn(value, 0, 1000000, &options->table_rows);
    } else if (name == "--write-users") {
      options->write_users = value;
    } else {
      *error = "unknown option '" + name + "' (see --help)";
      return ParseOutcome::kError;
    }
    if (!ok) {
      *error = bad;
      return ParseOutcome::kError;
    }
  }

  if (options->Impaired() && !nack_wait_given) options->nack_wait_ms = kImpairedNackWaitMs;
  if (preset_first_sequence != 0 && !first_sequence_given) {
    options->first_sequence = preset_first_sequence;
  }
  if (restart_preset && options->restart_at_ms < 0) {
    options->restart_at_ms = static_cast<int>(options->duration_s * 500);
  }
  if (options->mixer && options->fec_k == 0) options->fec_k = 1;
  if (options->FecOn()) {
    if (options->reliable_every > 0 || options->music_every > 0) {
      *error = "with FEC every talk datagram is voice: drop --reliable-every and --music-every";
      return ParseOutcome::kError;
    }
    if (options->payload_size < kProbeSize + kMixMarkBytes) {
      *error = "with FEC the payload holds level, priority and the probe: --size " +
               std::to_string(kProbeSize + kMixMarkBytes) + " at least";
      return ParseOutcome::kError;
    }
  } else if (options->fec_r > 0 || options->loss_percent > 0 || options->nack) {
    *error = "--fec-r, --loss and --nack need FEC: give --fec-k (or --mixer)";
    return ParseOutcome::kError;
  }
  if (options->mixer && options->nack) {
    *error = "a mixing server answers no NACKs: --nack goes with a forwarding server";
    return ParseOutcome::kError;
  }

  if (have_generate) {
    Roster generated =
        GenerateRoster(generate[0], generate[1], generate[2], generate[3], first_room, first_user);
    for (RosterUser& user : generated.users) options->roster.users.push_back(user);
  }
  // The same id twice would make two sockets fight over one channel.
  std::set<uint64_t> ids;
  for (const RosterUser& user : options->roster.users) {
    if (!ids.insert(user.user_id).second) {
      *error = "user " + std::to_string(user.user_id) + " is given twice";
      return ParseOutcome::kError;
    }
  }
  if (!ApplyWavFiles(wav_files, options, error)) return ParseOutcome::kError;
  if (options->roster.users.empty() && options->roster.cascades.empty()) {
    *error = "no users: give --users FILE, --user ROOM:ID:ROLE:TOKEN or --generate (see --help)";
    return ParseOutcome::kError;
  }
  if (!options->write_users.empty() && options->server.IsNil()) return ParseOutcome::kWriteOnly;

  for (const RosterUser& user : options->roster.users) {
    const bool simulated = options->only.empty() || options->only.count(user.user_id) != 0;
    if (simulated && user.server.IsNil() && options->server.IsNil()) {
      *error = "user " + std::to_string(user.user_id) +
               " has no server: give --server IP:PORT or server= in the users file";
      return ParseOutcome::kError;
    }
  }
  return ParseOutcome::kRun;
}

std::string ClientUsage() {
  return R"(corvane-client: simulates voice users (and cascade peers) against a corvane server
and measures what the server forwards. One process, one UDP socket per user, epoll with
recvmmsg/sendmmsg on one or two threads.

Usage: corvane-client --server IP:PORT (--users FILE | --user ROOM:ID:ROLE:TOKEN ... |
                      --generate ROOMS,SPEAKERS,LISTENERS[,MUTED]) [options]

Who takes part:
  --server IP:PORT        media address of the server (users without server= use it)
  --users FILE            roster file shared with corvane-gateway (format below); repeatable
  --user ROOM:ID:ROLE:TOKEN   one user; repeatable. ROLE: speaker, listener, muted, cascader
  --generate R,S,L[,M]    R rooms of S speakers, L listeners and M muted speakers each;
                          ids from --first-user (1000), rooms from --first-room (1),
                          tokens tok-<id>
  --write-users FILE      write the roster to FILE (without --server: write and exit)
  --only IDS              simulate only these user / cascade ids ("1,2,10-19"); the others
                          are taken to be simulated elsewhere
  --no-peers              do not play the cascade peers of the roster (when the peer is a
                          real server)
  --no-detect             users send their token without a detect datagram first; the server
                          is to drop them, so they expect not to be admitted
  --bind IP               local address of the user sockets (127.0.0.1)

Traffic:
  --duration SECONDS      length of the traffic phase (10), after the handshake
  --rate N                datagrams per second of each speaker and muted speaker (50;
                          at most 100000)
  --size BYTES            payload bytes after the token (80, at least 16)
  --voice-type N          payload type of voice (0x64); even, not 0x50/0x62/0x6E/0x80/0x82/0xC8/0xCA
  --voice-ack             ask the server to acknowledge every voice datagram
  --reliable-every N      every Nth datagram of a talking user is a 0x82 one (0: none)
  --music-every N         every Nth datagram of a talking user is a music (0x80) one (0: none)
  --withhold PERCENT      share of received 0x82 datagrams not acknowledged (0)
  --withhold-mode MODE    first: acknowledge only the resent copy (default); all: never
  --keepalive-ms MS       keep-alive period of listeners and cascaders (1000)
  --report-ms MS          receiver-report period (1000; 0: none)
  --retry-ms MS           repeat period of detect and announce datagrams (100)
  --handshake-timeout-ms MS   a user not admitted by then fails (5000)
  --drain-ms MS           time to keep receiving after the last datagram was sent (1000)
  --threads 1|2           one loop, or a sender and a receiver thread (1)
  --catch-up-ms MS        a talking user this far behind its schedule sends what it owes
                          at once; further behind, it goes on from now (0: ten intervals)
  --hostile RATE          also send RATE random and malformed datagrams per second to
                          --server from 64 announced source ports: random bytes, the
                          roster's ids from foreign addresses without or with a wrong
                          token, reports announcing more blocks than they hold, NACKs and
                          cascade datagrams of every length, FEC headers with absurd k and
                          r, token headers claiming more bytes than sent, and detects from
                          ever new ports (0: none)

Mixing server and FEC:
  --mixer                 the server is a mixing server: speakers send FEC datagrams in
                          lockstep (one source per period); receivers expect only the frames
                          the mixer chooses (the two best per period by priority, level,
                          lower user id) and count unchosen frames that arrive;
                          speakers simulated elsewhere (--only) are left out of the choice
  --fec-k K               speakers send FEC blocks of K source datagrams (1-16; --mixer: 1)
  --fec-r R               and R repair datagrams per block (0-16; default 0)
  --loss PERCENT          each FEC datagram is dropped before sending with this chance
  --loss-seed N           seed of the simulated loss (1)
  --nack                  receivers NACK the voice sequence numbers they miss (forwarding
                          server with nack_enabled); recovered and lost-for-good are counted
  --nack-retry-ms MS      repeat a NACK for a still-missing datagram after MS (40)
  --nack-attempts N       ask for one datagram at most N times (12)
  --nack-wait-ms MS       ask for a missing datagram only once it has been missing for MS
                          (0; 20 under --impair, --uplink or --downlink, where datagrams
                          are reordered)
  --level N               frame level of speakers without level= in the roster (0)

Speech:
  --wav ID=FILE           speaker ID talks with the speech of a WAV file (as wav= in the
                          roster; repeatable): 16-bit, 24-bit, 32-bit or float PCM, any rate
                          (resampled to 48 kHz), channels mixed down. It sends one 20 ms Opus
                          frame per voice datagram (voice application, 24 kb/s, DTX frames
                          in silence, still sent); payload byte 0 is the frame's level
                          (round(255 + 2 * dBov), 0..255), byte 1 the priority mark, then
                          the 16-byte probe, then the Opus frame. After the file the speaker
                          sends silence until --duration ends; give a duration that covers it
  --audio-out DIR         write what each receiver heard to DIR/user-<ID>.wav (48 kHz mono)
  Each receiver decodes each speaker with Opus through a jitter buffer of --playout-ms
  (below; a frame that arrives later than its playout time is lost), conceals up to 5
  lost frames in a row, mixes every speaker it hears and scores each speaker's speech
  against the source file (correlation and coverage, see README)
Network conditions (seeded: the same seed gives the same pattern):
  --impair PRESET         wifi: 1% random loss and 10 ms jitter both ways; cellular: 3%
                          loss in bursts of mean length 3 and 40 ms jitter with reordering
                          both ways; stall: the talkers' uplink holds everything for 500 ms
                          every 10 s (the first 5 s in) and then releases it at once;
                          restart: talking users number from 1000000 and restart their
                          media and FEC numbers at 1 half way through the traffic (without
                          a new join), with 2% uplink loss
  --uplink CONDITIONS     conditions of the talkers' voice on its way to the server, and
  --downlink CONDITIONS   of the voice on its way from the server to each user. CONDITIONS is a
                          comma-separated list of loss=PERCENT, burst=PERCENT:LENGTH
                          (Gilbert-Elliott: long-run loss and mean burst length), delay=MS,
                          jitter=MS (uniform 0..MS on top of the delay), reorder (jittered
                          datagrams may overtake), dup=PERCENT, stall=MS/EVERY_MS (first stall half a period in); or none
  --impair-seed N         seed of the conditions (1)
  --restart-at-ms MS      talking users restart their numbers MS into the traffic
  --restart-seq N         the number they restart at (1)
  --first-seq N           first media and FEC number of every user (1; near 4294967295
                          to cross the wrap)
  --playout-ms MS         playout delay (150): a frame arriving later than MS after it was
                          sent is too late to play; the speech jitter buffers play each
                          frame MS after the first frame's arrival plus 20 ms per frame
  --no-receiver-fec       receivers leave FEC decoding to the server (and their NACKs)
  With any of these, the report adds a quality table per user and role: frames played,
  recovered by the receiver's own FEC decoding, recovered by NACK, too late, lost for
  good; the residual loss; the delay the server added (p50, p99, max, and the largest
  per second of the run); and the ITU-T G.107 E-model R and MOS (see README). Losses are
  then reported there, not as a failure.

Output:
  --json                  one JSON object on standard output instead of the tables
  --quiet                 no progress line (otherwise one per second on standard error)
  --table-rows N          at most N rows in the per-user table (40)

Roster file, one entry per line, '#' starts a comment:
  room ROOM user ID ROLE TOKEN [server=IP:PORT] [start=MS] [auth=token|none|wrong]
       [level=0-255] [priority=0|1] [wav=FILE] [uplink=CONDITIONS] [downlink=CONDITIONS]
  cascade ROOM id ID address IP:PORT [server=IP:PORT]
  muted is a speaker the gateway mutes; start= delays the user's join by MS after traffic
  starts; auth=none/wrong presents no or a wrong token (the user expects to be refused).
  A cascade line is played by this client as the peer server at IP:PORT: it answers the
  link's detect datagrams and counts what the room forwards to it. Add the cascade through
  the gateway before starting the client.

Each user sends a 12-byte detect datagram until the server echoes it, then an announce
datagram with its token and the acknowledgement bit until the server acknowledges it
(admitted), then talks. A receiver expects every voice and 0x82 datagram of every unmuted
speaker of its room, and every music datagram of every speaker and muted speaker, sent after
it was admitted; datagrams of other senders are "unexpected". Each datagram carries its send
time, so latency is measured from send to receive.

Exit status: 0 when every user that presents its token was admitted, nothing expected was
lost and nothing unexpected arrived; 1 otherwise; 2 for a usage or set-up error.
Examples:
  corvane-client --server 127.0.0.1:8000 --generate 1,3,7 --duration 10
  corvane-client --server 127.0.0.1:8000 --users room.txt --reliable-every 5 --withhold 20 --json
)";
}

}  // namespace corvanetools
