// The fixture of the tests that drive one forwarding room and its channels
// directly: a fake clock, the captured log, a socket that plays the server's
// own, and the room.
#ifndef TESTS_SUPPORT_VOICE_ROOM_FIXTURE_H_
#define TESTS_SUPPORT_VOICE_ROOM_FIXTURE_H_

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "sfu/voice_room.h"

#include "support/log_capture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace testing_support {

class VoiceRoomFixture : public ::testing::Test {
 protected:
  explicit VoiceRoomFixture(uint64_t room_id) : room_(std::make_shared<VoiceRoom>(room_id)) {}

  rtc::ScopedFakeClock clock_;
  testutil::LogCapture logs_;
  UdpPeer server_;
  std::shared_ptr<VoiceRoom> room_;
};

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_VOICE_ROOM_FIXTURE_H_
