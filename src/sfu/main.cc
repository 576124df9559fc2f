// corvane-sfu-server: the forwarding server.
#include <cstdio>
#include <memory>

#include "service/config_check.h"
#include "service/service.h"
#include "service/service_main.h"
#include "sfu/sfu_config_keys.h"
#include "sfu/sfu_server.h"

int main(int argc, char* argv[]) {
  using corvaneserver::SfuServer;
  const corvaneserver::ServiceOptions options =
      corvaneserver::ParseServiceOptions(argc, argv, /*allow_version=*/true);
  if (options.print_version) {
    fprintf(stderr, "release version is %s\n", corvaneserver::BuildTime().c_str());
    return 0;
  }
  if (options.check_config) {
    return corvaneserver::CheckConfiguration(options.config_path, corvaneserver::SfuConfigKeys(),
                                             options.quiet, stdout, stderr);
  }
  corvaneserver::initsignal();
  std::unique_ptr<SfuServer> server(SfuServer::Create(options.config_path));
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
