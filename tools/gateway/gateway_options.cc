#include "gateway/gateway_options.h"

#include "client/roster.h"

namespace corvanetools {

namespace {

bool ParseMs(const std::string& text, int low, int* value) {
  int64_t parsed = 0;
  if (!ParseI64(text, &parsed) || parsed < low || parsed > 3600000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

GatewayParse ParseGatewayOptions(const std::vector<std::string>& args, GatewayOptions* options,
                                 std::string* error) {
  ParseIpPort("127.0.0.1:9000", &options->listen);
  bool have_script = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inline_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inline_value = true;
    }
    if (name == "--help" || name == "-h") return GatewayParse::kHelp;
    if (name == "--json") {
      options->json = true;
      continue;
    }
    if (name == "--verbose") {
      options->verbose = true;
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) {
        *error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected '" + name + "'";
        return GatewayParse::kError;
      }
      value = args[++i];
    }
    bool ok = true;
    if (name == "--listen") {
      // Port 0 is allowed here: the gateway then reports the port it got.
      rtc::SocketAddress parsed;
      if (value.size() > 2 && value.compare(value.size() - 2, 2, ":0") == 0) {
        ok = ParseIpPort(value.substr(0, value.size() - 2) + ":1", &parsed);
        parsed.SetPort(0);
      } else {
        ok = ParseIpPort(value, &parsed);
      }
      options->listen = parsed;
    } else if (name == "--script") {
      options->script_path = value;
      have_script = true;
    } else if (name == "--exec" || name == "-e") {
      options->exec_lines.push_back(value);
    } else if (name == "--timeout-ms") {
      ok = ParseMs(value, 1, &options->timeout_ms);
    } else if (name == "--heartbeat-ms") {
      ok = ParseMs(value, 10, &options->heartbeat_ms);
    } else {
      *error = "unknown option '" + name + "' (see --help)";
      return GatewayParse::kError;
    }
    if (!ok) {
      *error = "bad value for " + name + ": '" + value + "'";
      return GatewayParse::kError;
    }
  }
  options->read_stdin =
      (have_script && options->script_path == "-") || (!have_script && options->exec_lines.empty());
  if (options->script_path == "-") options->script_path.clear();
  return GatewayParse::kRun;
}

std::string GatewayUsage() {
  return R"(corvane-gateway: a reference gateway for corvane servers. It listens for the servers'
TCP control links, answers each registration with a MessageRsp of result 0, sends a heartbeat
every 10 s, notices disconnects, and sends the control requests of a script, one command per
line, waiting for each response before the next request.

Usage: corvane-gateway [--listen IP:PORT] [--script FILE | --exec LINE ...] [options]

  --listen IP:PORT     where the servers connect (127.0.0.1:9000; port 0 picks one and
                       prints it)
  --script FILE        read commands from FILE ("-": standard input)
  --exec LINE, -e LINE run LINE as a command, before the script; repeatable. Without
                       --script and --exec, commands come from standard input.
  --json               one JSON object per line instead of text
  --verbose            also print every heartbeat and every request sent
  --timeout-ms MS      how long to wait for each response (5000)
  --heartbeat-ms MS    heartbeat period (10000)

The gateway exits by itself at the end of the script (after the last response or its
time-out), at "quit", or on SIGINT/SIGTERM. Exit status: 0 when every request was answered
(with the expected result, where one is given) and every wait succeeded; 1 otherwise; 2 for a
usage or set-up error.

Script lines: [@SERVER] COMMAND ARGUMENTS... [expect=RESULT]    ('#' starts a comment)
  @SERVER   where the request goes: the registration number of a server (1 is the first to
            register; a server that registers again with the same addresses keeps its
            number), one of its addresses (bgp or tel IP with its port, e.g.
            @127.0.0.1:8000, or its TCP peer address), or @all. Default: server 1.
  expect=N  the result the response must carry (e.g. expect=-1); another result is a failure.
  ROLE      speaker (type 2), listener (1), cascader (3), muted (joined as a speaker, then
            muted), or a user type number. TOKEN "-" sends an empty token.

Commands:
  wait-servers N [TIMEOUT_MS]   wait until N servers are registered and connected (10000 ms);
                                on time-out the script stops with a failure.
                                  wait-servers 2 5000
  create-room ROOM ID:ROLE:TOKEN...   create room ROOM with its members (message 12007).
                                  create-room 100 1:speaker:tok1 2:listener:tok2 3:muted:tok3
  load FILE                     create every room of a roster file (the format corvane-client
                                reads): one create-room per room and server (server=), the
                                mutes of muted members, then the cascades.
                                  load /tmp/room.txt
  join ROOM USER ROLE TOKEN     join a user (12002).          join 100 4 listener tok4
  quit-room ROOM USER           remove a user (12003); "quit ROOM USER" too.
                                  quit-room 100 4
  allow ROOM USER               make a user a speaker (12004, allow true).    allow 100 2
  deny ROOM USER                make a user a listener (12004, allow false).  deny 100 1
  mute ROOM USER                mute a speaker (12005, unmuted false).        mute 100 1
  unmute ROOM USER              unmute it (12005, unmuted true).              unmute 100 1
  add-cascade ROOM ID IP:PORT [RESERVED]   cascade a room to a peer server under id ID
                                (12008).    @1 add-cascade 100 9001 127.0.0.1:8100
  add-recorder ROOM USER UNIQUE TOKEN      (12010; the servers answer -1).
                                  add-recorder 100 7 77 tok7 expect=-1
  close-room ROOM               close a room (12011, CloseRoomReq).           close-room 100
  spread FILE star|chain|mesh [SERVER...]   place every room of a roster on several
                                servers (numbers or IP:PORT; default: the roster's server=,
                                in order): speakers joined on all of them, listeners on their
                                own, and the servers linked both ways, the first to each other
                                one (star), each to the next (chain) or all pairs (mesh).
                                                              spread room.txt chain 1 2 3
  withdraw ROOM SERVER          take a server out of a spread room: the others drop their
                                links to it, it closes the room (when connected), and the
                                rest is linked again in the room's shape.   withdraw 100 2
  restore ROOM SERVER           put a server (back) into a spread room, e.g. once it has
                                restarted: the room on it, its links on both sides.
                                                              restore 100 2
  sleep MS                      pause the script ("pause MS" too).            sleep 500
  servers                       list the registered servers.
  serve                         keep serving registrations and heartbeats until SIGINT or
                                SIGTERM.
  quit                          end the script now ("exit" too).

Example script (the roster file is shared with corvane-client):
  wait-servers 1
  load /tmp/room.txt
  servers
  serve
)";
}

}  // namespace corvanetools
