#include "sfu/sfu_wire.h"

#include <cstring>

#include "base/byte_io.h"

namespace corvaneserver {

uint32_t CascadeAddressHash(const rtc::SocketAddress& address) {
  return static_cast<uint32_t>(address.Hash());
}

void BuildCascadePacket(uint64_t room_id, uint32_t address_hash,
                        uint8_t (&out)[kCascadePacketSize]) {
  std::memset(out, 0, sizeof(out));
  out[kMediaFlagsOffset] = kServerPacketFlags;
  out[kMediaPayloadTypeOffset] = kCascadePayloadType;
  rtc::SetBE64(out + kCascadeRoomIdOffset, room_id);
  rtc::SetBE32(out + kCascadeAddressHashOffset, address_hash);
}

void BuildCascadeAnswer(uint64_t room_id, uint32_t address_hash,
                        uint8_t (&out)[kCascadePacketSize]) {
  BuildCascadePacket(room_id, address_hash, out);
  rtc::SetBE32(out + kCascadeMarkOffset, kCascadeAnswerMark);
}

bool ParseCascadePacket(const uint8_t* data, size_t size, CascadeFields* fields) {
  if (data == nullptr || size < kCascadePacketSize) return false;
  fields->room_id = rtc::GetBE64(data + kCascadeRoomIdOffset);
  fields->address_hash = rtc::GetBE32(data + kCascadeAddressHashOffset);
  fields->answer = rtc::GetBE32(data + kCascadeMarkOffset) != 0;
  return true;
}

bool ParseNackUserId(const uint8_t* data, size_t size, uint64_t* user_id) {
  if (data == nullptr || size < kNackMinSize) return false;
  *user_id = rtc::GetBE64(data + kNackUserIdOffset);
  return true;
}

}  // namespace corvaneserver
