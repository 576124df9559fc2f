// corvane-sfu-server: the forwarding server.
#include <cstdio>

#include "service/config_check.h"
#include "service/service.h"
#include "service/service_main.h"
#include "sfu/sfu_config_keys.h"
#include "sfu/sfu_server.h"

int main(int argc, char* argv[]) {
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
  return corvaneserver::RunServer<corvaneserver::SfuServer>(options);
}
