// Pieces of the two programs' entry points: options and termination signals.
#ifndef SERVICE_SERVICE_MAIN_H_
#define SERVICE_SERVICE_MAIN_H_

#include <string>

namespace corvaneserver {

struct ServiceOptions {
  std::string config_path;  // -c; empty without it
  bool print_version = false;
  bool check_config = false;  // -t: check the configuration and exit
  bool quiet = false;         // -q
};

// Reads the options with getopt. "-d" daemonises at once (daemon(1, 1)) and
// turns the stderr copy of the log off; "-q" turns it off and stays in the
// foreground (start-up failures still go to stderr); "-t" asks for the
// configuration check instead of a start; "-v" (only when allow_version) stops
// the reading, later options are not seen.
ServiceOptions ParseServiceOptions(int argc, char* argv[], bool allow_version);

// Binds the calling thread's loop as the service thread and installs one
// handler for SIGINT, SIGQUIT, SIGABRT and SIGTERM that makes that loop quit,
// whichever thread takes the signal.
void initsignal();

}  // namespace corvaneserver

#endif  // SERVICE_SERVICE_MAIN_H_
