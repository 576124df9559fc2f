// corvane-mfu-server: the mixing server.
#include <memory>

#include "mfu/mfu_config_keys.h"
#include "mfu/mfu_server.h"
#include "service/config_check.h"
#include "service/service_main.h"

int main(int argc, char* argv[]) {
  using corvaneserver::MfuServer;
  const corvaneserver::ServiceOptions options =
      corvaneserver::ParseServiceOptions(argc, argv, /*allow_version=*/false);
  if (options.check_config) {
    return corvaneserver::CheckConfiguration(options.config_path, corvaneserver::MfuConfigKeys(),
                                             options.quiet, stdout, stderr);
  }
  corvaneserver::initsignal();
  std::unique_ptr<MfuServer> server(MfuServer::Create(options.config_path));
  if (!server) {
    corvaneserver::FlushLogAtExit();
    return -1;
  }
  corvaneserver::StartupDone(options);
  server->Run();
  server->Exit();
  server.reset();
  corvaneserver::FlushLogAtExit();
  return 0;
}
