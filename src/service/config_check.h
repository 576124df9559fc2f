// The configuration check of `-t`: reads the configuration file as a server
// would, without starting one, and says what the server would make of it.
#ifndef SERVICE_CONFIG_CHECK_H_
#define SERVICE_CONFIG_CHECK_H_

#include <cstdio>
#include <string>
#include <vector>

#include "service/config_keys.h"

namespace corvaneserver {

// Exit status of a check that found the configuration unusable, as a failed
// start-up's.
constexpr int kConfigCheckFailed = 255;

// Prints "key = value" for every key of `keys` to `out`, defaults included
// (marked "# default"); on `err`, a "warning:" line for each unknown key and
// each value that is read otherwise than written or replaced, an "error:"
// line for what would stop the server (file missing, required key absent,
// an address that cannot be listened on now), then the verdict. `quiet`
// leaves out everything but warnings and errors. Returns 0 or
// kConfigCheckFailed. Tries each listen address by binding a socket as the
// server would (SO_REUSEPORT for UDP) and closing it again at once.
int CheckConfiguration(const std::string& path, const std::vector<ConfigKey>& keys, bool quiet,
                       FILE* out, FILE* err);

}  // namespace corvaneserver

#endif  // SERVICE_CONFIG_CHECK_H_
