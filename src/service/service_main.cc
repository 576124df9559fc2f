#include "service/service_main.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "base/logging.h"
#include "base/thread.h"
#include "service/service.h"

namespace corvaneserver {
namespace {

void OnTerminationSignal(int) { Service::Destroy(); }

// How long the end of a process waits for its last lines to reach stderr.
constexpr int64_t kExitFlushMs = 1000;

}  // namespace

ServiceOptions ParseServiceOptions(int argc, char* argv[], bool allow_version) {
  ServiceOptions options;
  const char* optstring = allow_version ? "c:dqtv" : "c:dqt";
  int opt;
  while ((opt = getopt(argc, argv, optstring)) != -1) {
    switch (opt) {
      case 'c':
        options.config_path = optarg;
        break;
      case 'd':
        if (daemon(1, 1) != 0) perror("daemon");
        options.quiet = true;
        rtc::LogMessage::SetStderrSeverity(rtc::LS_ERROR);
        break;
      case 'q':
        // In the foreground under a service manager the log files have every
        // line already; a copy on stderr would fill its journal twice over.
        // Why a start-up failed still goes there: the journal is where an
        // operator looks when the unit does not come up.
        options.quiet = true;
        rtc::LogMessage::SetStderrSeverity(rtc::LS_ERROR);
        break;
      case 't':
        options.check_config = true;
        break;
      case 'v':
        options.print_version = true;
        return options;
      default:
        break;  // getopt has printed its own diagnostic
    }
  }
  return options;
}

void StartupDone(const ServiceOptions& options) {
  if (options.quiet) rtc::LogMessage::SetLogToStderr(false);
}

void FlushLogAtExit() { rtc::LogMessage::FlushStderr(kExitFlushMs); }

void initsignal() {
  Service::BindServiceThread(rtc::Thread::Current());
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signo : {SIGINT, SIGQUIT, SIGABRT, SIGTERM}) sigaction(signo, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace corvaneserver
