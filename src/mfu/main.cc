// corvane-mfu-server: the mixing server.
#include <cstdio>

#include "mfu/mfu_config_keys.h"
#include "mfu/mfu_server.h"
#include "service/config_check.h"
#include "service/service_main.h"

int main(int argc, char* argv[]) {
  const corvaneserver::ServiceOptions options =
      corvaneserver::ParseServiceOptions(argc, argv, /*allow_version=*/false);
  if (options.check_config) {
    return corvaneserver::CheckConfiguration(options.config_path, corvaneserver::MfuConfigKeys(),
                                             options.quiet, stdout, stderr);
  }
  return corvaneserver::RunServer<corvaneserver::MfuServer>(options);
}
