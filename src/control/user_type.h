// The roles a member can have in a room; the same numbers travel in the
// control messages that join users and change their role.
#ifndef CONTROL_USER_TYPE_H_
#define CONTROL_USER_TYPE_H_

#include <cstdint>
#include <string>

namespace corvaneserver {

// Kept as plain numbers (the wire carries any uint32_t, and an unknown one
// must survive until it is refused), so the names convert to uint32_t.
enum UserType : uint32_t {
  kUserTypeListener = 1,
  kUserTypeSpeaker = 2,
  kUserTypeCascader = 3,
};

// "listener", "speaker", "cascader", or "unkown" for any other value.
inline std::string UserTypeToString(uint32_t type) {
  switch (type) {
    case kUserTypeListener:
      return "listener";
    case kUserTypeSpeaker:
      return "speaker";
    case kUserTypeCascader:
      return "cascader";
    default:
      return "unkown";
  }
}

// What a server registers as with the gateway; add-recorder requests are
// carried out only by a recorder.
constexpr int kServerTypeForwarding = 1;
constexpr int kServerTypeMixing = 3;
constexpr int kServerTypeRecorder = 4;

}  // namespace corvaneserver

#endif  // CONTROL_USER_TYPE_H_
