// Pieces of the two programs' entry points: options and termination signals.
#ifndef SERVICE_SERVICE_MAIN_H_
#define SERVICE_SERVICE_MAIN_H_

#include <memory>
#include <string>

namespace corvaneserver {

struct ServiceOptions {
  std::string config_path;  // -c; empty without it
  bool print_version = false;
  bool check_config = false;  // -t: check the configuration and exit
  bool quiet = false;         // -d or -q: no stderr copy of the log once started
};

// Reads the options with getopt. "-d" daemonises at once (daemon(1, 1)) and
// "-q" stays in the foreground; with either, stderr gets only the error lines
// of the start-up (the reason it failed) and nothing after StartupDone. "-t"
// asks for the configuration check instead of a start. "-v" (only when
// allow_version) stops the reading, later options are not seen.
ServiceOptions ParseServiceOptions(int argc, char* argv[], bool allow_version);

// The server is up: with -d or -q, the stderr copy of the log stops here.
void StartupDone(const ServiceOptions& options);

// Before the process ends: gives the stderr copy of the log a moment to write
// what is queued, without waiting on a reader that does not read.
void FlushLogAtExit();

// Binds the calling thread's loop as the service thread and installs one
// handler for SIGINT, SIGQUIT, SIGABRT and SIGTERM that makes that loop quit,
// whichever thread takes the signal. SIGPIPE is ignored: a log reader or a
// peer that went away is an error to handle, not a reason to die.
void initsignal();

// The part of main after the options: installs the signal handlers, creates
// the process-wide Server from the configuration, runs the service thread's
// loop until a signal, then stops and frees the server. Returns the exit
// status: 0, or -1 when start-up fails.
template <class Server>
int RunServer(const ServiceOptions& options) {
  initsignal();
  std::unique_ptr<Server> server(Server::Create(options.config_path));
  if (!server) {
    FlushLogAtExit();
    return -1;
  }
  StartupDone(options);
  server->Run();
  server->Exit();
  server.reset();
  FlushLogAtExit();
  return 0;
}

}  // namespace corvaneserver

#endif  // SERVICE_SERVICE_MAIN_H_
