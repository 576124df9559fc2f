#include "control/control_header.h"

#include "base/byte_io.h"
#include "control/control_messages.h"

namespace corvaneserver {
namespace {

constexpr size_t kMaxLength24 = 0xFFFFFF;

void SetBE24(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 16);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value);
}

uint32_t GetBE24(const uint8_t* data) {
  return (uint32_t{data[0]} << 16) | (uint32_t{data[1]} << 8) | data[2];
}

}  // namespace

bool ParseControlHeader(const uint8_t* data, size_t size, ControlHeader* header) {
  if (size < kControlHeaderSize) return false;
  header->length = GetBE24(data + kControlLengthOffset);
  header->kind = data[kControlKindOffset];
  header->message_id = rtc::GetBE16(data + kControlMessageIdOffset);
  header->session_id = rtc::GetBE32(data + kControlSessionIdOffset);
  return true;
}

bool ParseResponseFrame(const uint8_t* data, size_t size, ControlResponse* response) {
  if (data == nullptr || size != kResponseFrameSize ||
      data[kControlKindOffset] != kControlKindResponse) {
    return false;
  }
  response->session_id = rtc::GetBE32(data + kResponseSessionIdOffset);
  response->result = static_cast<int16_t>(rtc::GetBE16(data + kResponseResultOffset));
  return true;
}

const uint8_t* ControlBody(const uint8_t* data, size_t size, size_t* body_size) {
  if (size <= kControlHeaderSize) {
    *body_size = 0;
    return nullptr;
  }
  *body_size = size - kControlHeaderSize;
  return data + kControlHeaderSize;
}

void WriteControlHeader(uint8_t* out, uint32_t length, uint8_t kind, uint16_t message_id,
                        uint32_t session_id) {
  SetBE24(out + kControlLengthOffset, length);
  out[kControlKindOffset] = kind;
  rtc::SetBE16(out + kControlMessageIdOffset, message_id);
  rtc::SetBE32(out + kControlSessionIdOffset, session_id);
}

std::vector<uint8_t> BuildControlMessage(uint16_t message_id, uint32_t session_id,
                                         const PbObj& body) {
  const size_t length = kControlHeaderSize + body.Size();
  if (length > kMaxLength24) return {};
  std::vector<uint8_t> message(length);
  WriteControlHeader(message.data(), static_cast<uint32_t>(length), kControlKindRequest, message_id,
                     session_id);
  if (body.MarshalTo(message.data() + kControlHeaderSize) < 0) return {};
  return message;
}

std::vector<uint8_t> BuildRegisterMessage(const RegisterReq& request) {
  return BuildControlMessage(kMsgIdRegister, 0, request);
}

std::array<uint8_t, kControlHeaderSize> BuildHeartbeatNotify() {
  std::array<uint8_t, kControlHeaderSize> frame{};
  WriteControlHeader(frame.data(), kControlHeaderSize, kControlKindRequest, kMsgIdHeartbeat, 0);
  return frame;
}

std::array<uint8_t, kResponseFrameSize> BuildResponseFrame(uint32_t session_id, int result) {
  std::array<uint8_t, kResponseFrameSize> frame{};
  SetBE24(frame.data() + kControlLengthOffset, kResponseFrameSize);
  frame[kControlKindOffset] = kControlKindResponse;
  rtc::SetBE32(frame.data() + kResponseSessionIdOffset, session_id);
  rtc::SetBE16(frame.data() + kResponseResultOffset,
               static_cast<uint16_t>(static_cast<uint32_t>(result) & 0xFFFF));
  return frame;
}

}  // namespace corvaneserver
