// A server whose room operations record their arguments and return scripted
// results, for tests of what the shared framework does around them.
#ifndef TESTS_SERVICE_FAKE_SERVER_H_
#define TESTS_SERVICE_FAKE_SERVER_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "service/service.h"

namespace corvaneserver {

struct Call {
  std::string op;
  uint64_t room = 0;
  uint64_t user = 0;
  uint32_t type = 0;
  std::string text;
  bool flag = false;
};

// A server whose room operations record their arguments and return scripted results.
class FakeServer : public Service {
 public:
  // Reads the configuration and fills the dispatch table, without starting
  // anything else.
  explicit FakeServer(const std::string& config_path) {
    configure_ = Configure::Create(config_path, "=", "#");
    FillHandlers();
  }
  int JoinRoom(uint64_t room, uint64_t user, uint32_t type, std::string token) override {
    calls.push_back({"join", room, user, type, token, false});
    auto it = join_results.find(user);
    return it == join_results.end() ? 0 : it->second;
  }
  int QuitRoom(uint64_t room, uint64_t user) override {
    calls.push_back({"quit", room, user, 0, "", false});
    return -1;
  }
  int AllowSpeaker(uint64_t room, uint64_t user, bool allow) override {
    calls.push_back({"allow", room, user, 0, "", allow});
    return 0;
  }
  int MuteSpeaker(uint64_t room, uint64_t user, bool unmuted) override {
    calls.push_back({"mute", room, user, 0, "", unmuted});
    return 0;
  }
  int RemoveRoom(uint64_t room) override {
    calls.push_back({"remove", room, 0, 0, "", false});
    return 0;
  }
  int AddCascade(uint64_t room, uint64_t user, std::string address) override {
    calls.push_back({"cascade", room, user, 0, address, false});
    return 0;
  }
  int OnPacketReceived(std::shared_ptr<UDPPacket>) override { return 0; }
  int GetServerType() override { return server_type; }
  int AddRecorder(uint64_t room, uint64_t user, uint64_t, std::string) override {
    calls.push_back({"recorder", room, user, 0, "", false});
    return 0;
  }
  void OuputStatistics() override { ++statistics_outputs; }
  bool OnTimer(uint32_t id) override {
    timer_ids.push_back(id);
    return !declined_timer_ids.count(id);
  }

  std::vector<Call> calls;
  std::map<uint64_t, int> join_results;
  int server_type = 1;
  int statistics_outputs = 0;
  std::vector<uint32_t> timer_ids;        // every id OnTimer was called with
  std::set<uint32_t> declined_timer_ids;  // ids OnTimer answers false for
};

}  // namespace corvaneserver

#endif  // TESTS_SERVICE_FAKE_SERVER_H_
