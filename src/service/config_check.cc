#include "service/config_check.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "base/ip_address.h"
#include "base/socket_address.h"
#include "service/configure.h"
#include "service/service_address.h"

namespace corvaneserver {
namespace {

// The port every interface key listens on.
constexpr char kPortKey[] = "packet_listen_port";

class Checker {
 public:
  Checker(const Configure& configure, bool quiet, FILE* out, FILE* err)
      : configure_(configure), quiet_(quiet), out_(out), err_(err) {}

  void Check(const std::vector<ConfigKey>& keys);
  bool failed() const { return failed_; }

 private:
  void Print(const std::string& key, const std::string& value, const std::string& note);
  void Warn(const std::string& text) { fprintf(err_, "warning: %s\n", text.c_str()); }
  void Fail(const std::string& text) {
    fprintf(err_, "error: %s\n", text.c_str());
    failed_ = true;
  }

  void CheckText(const ConfigKey& key);
  // `report` false: the value only, no line printed or warned.
  uint32_t CheckNumber(const ConfigKey& key, bool report = true);
  void CheckChoice(const ConfigKey& key);
  void CheckInterface(const ConfigKey& key, uint32_t port);
  void CheckTcpListen(const ConfigKey& key);
  void CheckGateways(const ConfigKey& key);
  void CheckLogDirectory(const std::string& prefix);

  // The value text of `key` as written (trimmed), or null when absent.
  const std::string* Raw(const std::string& key) const {
    auto it = configure_.values().find(key);
    return it == configure_.values().end() ? nullptr : &it->second;
  }
  // The first word, as servers read strings; warns when more was written.
  std::string FirstWord(const ConfigKey& key);

  const Configure& configure_;
  const bool quiet_;
  FILE* const out_;
  FILE* const err_;
  bool failed_ = false;
};

// An error text for errno.
std::string Reason() { return std::strerror(errno); }

// Whether a socket of `type` can be bound (and for TCP listened) on `address` now.
bool CanListen(const rtc::SocketAddress& address, int type, std::string* reason) {
  sockaddr_in saddr;
  if (address.ToSockAddr(&saddr) == 0) {
    *reason = "not an IPv4 address";
    return false;
  }
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *reason = Reason();
    return false;
  }
  const int on = 1;
  // As the servers set their sockets: a running instance's sockets do not
  // make the check fail, a foreign owner of the port does.
  ::setsockopt(fd, SOL_SOCKET, type == SOCK_DGRAM ? SO_REUSEPORT : SO_REUSEADDR, &on, sizeof(on));
  bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&saddr), sizeof(saddr)) == 0;
  if (ok && type == SOCK_STREAM) ok = ::listen(fd, 1) == 0;
  if (!ok) *reason = Reason();
  ::close(fd);
  return ok;
}

bool IsDecimal(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

void Checker::Print(const std::string& key, const std::string& value, const std::string& note) {
  if (quiet_) return;
  fprintf(out_, "%s =%s%s%s%s\n", key.c_str(), value.empty() ? "" : " ", value.c_str(),
          note.empty() ? "" : "  # ", note.c_str());
}

std::string Checker::FirstWord(const ConfigKey& key) {
  std::string word;
  configure_.Read(word, key.name);
  const std::string* raw = Raw(key.name);
  if (raw != nullptr && *raw != word) {
    Warn(std::string("[") + key.name + "] is \"" + *raw + "\", read as \"" + word + "\"");
  }
  return word;
}

void Checker::Check(const std::vector<ConfigKey>& keys) {
  std::set<std::string> known;
  for (const ConfigKey& key : keys) known.insert(key.name);
  for (const auto& [name, value] : configure_.values()) {
    if (known.count(name) == 0) Warn("unknown key [" + name + "] is ignored");
  }

  uint32_t port = 0;
  for (const ConfigKey& key : keys) {
    if (key.name == std::string(kPortKey)) port = CheckNumber(key, /*report=*/false);
  }
  for (const ConfigKey& key : keys) {
    switch (key.kind) {
      case ConfigKey::Kind::kText:
        CheckText(key);
        break;
      case ConfigKey::Kind::kNumber:
        CheckNumber(key);
        break;
      case ConfigKey::Kind::kChoice:
        CheckChoice(key);
        break;
      case ConfigKey::Kind::kInterface:
        CheckInterface(key, port);
        break;
      case ConfigKey::Kind::kTcpListen:
        CheckTcpListen(key);
        break;
      case ConfigKey::Kind::kGateways:
        CheckGateways(key);
        break;
    }
  }
}

void Checker::CheckText(const ConfigKey& key) {
  if (Raw(key.name) == nullptr) {
    if (key.required) {
      Fail(std::string("[") + key.name + "] is not set");
    } else {
      Print(key.name, key.default_text, "default");
    }
    return;
  }
  const std::string value = FirstWord(key);
  Print(key.name, value, "");
  if (key.name == std::string("log_file_path")) CheckLogDirectory(value);
}

void Checker::CheckLogDirectory(const std::string& prefix) {
  // The prefix names files: the directory is everything up to its last "/".
  const size_t slash = prefix.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    Warn("log files cannot be written in " + dir + ": " + Reason());
  }
}

uint32_t Checker::CheckNumber(const ConfigKey& key, bool report) {
  const std::string* raw = Raw(key.name);
  uint32_t value = key.default_number;
  if (raw == nullptr || raw->empty()) {
    if (report) Print(key.name, std::to_string(value), "default");
    return value;
  }
  configure_.Read(value, key.name);
  if (report && !IsDecimal(*raw)) {
    Warn(std::string("[") + key.name + "] is \"" + *raw + "\", not a decimal number; read as " +
         std::to_string(value));
  }
  if (value > key.max) {
    const uint32_t replaced = key.over_max == UINT32_MAX ? key.max : key.over_max;
    if (report) {
      Warn(std::string("[") + key.name + "] is " + std::to_string(value) + ", above " +
           std::to_string(key.max) + "; using " + std::to_string(replaced));
    }
    value = replaced;
  }
  if (report) Print(key.name, std::to_string(value), "");
  return value;
}

void Checker::CheckChoice(const ConfigKey& key) {
  if (Raw(key.name) == nullptr) {
    Print(key.name, key.default_text, "default");
    return;
  }
  std::string value = FirstWord(key);
  const std::string choices = std::string("|") + key.choices + "|";
  if (value.empty() || choices.find("|" + value + "|") == std::string::npos) {
    Warn(std::string("[") + key.name + "] is \"" + value + "\", not one of " + key.choices +
         "; using " + key.default_text);
    value = key.default_text;
  }
  Print(key.name, value, "");
}

void Checker::CheckInterface(const ConfigKey& key, uint32_t port) {
  if (Raw(key.name) == nullptr) {
    Print(key.name, "", "default: not listened on");
    return;
  }
  const std::string value = FirstWord(key);
  if (value.empty()) {
    Warn(std::string("[") + key.name + "] is empty; not listened on");
    Print(key.name, "", "not listened on");
    return;
  }
  const std::string ip = GetServiceIp(value, key.name);
  if (ip.empty()) {
    Warn(std::string("[") + key.name + "] \"" + value +
         "\" is neither an address nor an interface with an IPv4 address; not listened on");
    Print(key.name, value, "not listened on");
    return;
  }
  if (port == 0) {
    Print(key.name, value, ip + ", not listened on: no " + kPortKey);
    return;
  }
  const rtc::SocketAddress address(ip, static_cast<int>(port));
  if (rtc::IPIsAny(address.ipaddr())) {
    Warn(std::string("[") + key.name + "] is the any-address, not an address of this server");
  }
  std::string reason;
  if (!CanListen(address, SOCK_DGRAM, &reason)) {
    Fail(std::string("[") + key.name + "] cannot listen on udp " + address.ToString() + ": " +
         reason);
  }
  Print(key.name, value, "udp " + address.ToString());
}

void Checker::CheckTcpListen(const ConfigKey& key) {
  std::string value;
  configure_.Read(value, key.name);
  if (value.empty()) {
    Print(key.name, "", "default: not served");
    return;
  }
  value = FirstWord(key);
  rtc::SocketAddress address;
  if (!address.FromString(value) || address.ipaddr().IsNil()) {
    Fail(std::string("[") + key.name + "] \"" + value + "\" is not ip:port");
    return;
  }
  std::string reason;
  if (!CanListen(address, SOCK_STREAM, &reason)) {
    Fail(std::string("[") + key.name + "] cannot listen on tcp " + address.ToString() + ": " +
         reason);
  }
  Print(key.name, value, "tcp");
}

void Checker::CheckGateways(const ConfigKey& key) {
  if (Raw(key.name) == nullptr) {
    Fail(std::string("[") + key.name + "] is not set");
    return;
  }
  std::string rest = FirstWord(key);
  if (rest.empty()) Fail(std::string("[") + key.name + "] is empty");
  Print(key.name, rest, "");
  while (!rest.empty()) {
    const size_t bar = rest.find('|');
    const std::string part = rest.substr(0, bar);
    rest.erase(0, bar == std::string::npos ? std::string::npos : bar + 1);
    rtc::SocketAddress address;
    if (!address.FromString(part) || !address.IsComplete()) {
      Fail(std::string("[") + key.name + "] \"" + part +
           "\" is not ip:port; no link to it would be made");
    }
  }
}

int CheckConfiguration(const std::string& path, const std::vector<ConfigKey>& keys, bool quiet,
                       FILE* out, FILE* err) {
  std::unique_ptr<Configure> configure = Configure::Create(path, "=", "#");
  if (!configure) {
    fprintf(err, "configure file %s is not exist\n", path.c_str());
    fprintf(err, "configuration file %s test failed\n", path.c_str());
    return kConfigCheckFailed;
  }
  Checker checker(*configure, quiet, out, err);
  checker.Check(keys);
  if (checker.failed()) {
    fprintf(err, "configuration file %s test failed\n", path.c_str());
    return kConfigCheckFailed;
  }
  if (!quiet) fprintf(err, "configuration file %s test is successful\n", path.c_str());
  return 0;
}

}  // namespace corvaneserver
