// Framing of the gateway link: the 10-byte header in front of every control
// message, the message ids, and the frames the server builds (registration,
// heartbeat, response). All numbers are big-endian. The offsets below are the
// one statement of both layouts; every reader and writer goes through the
// functions of this header.
#ifndef CONTROL_CONTROL_HEADER_H_
#define CONTROL_CONTROL_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/control_messages.h"
#include "control/pb_obj.h"

namespace corvaneserver {

// Header of every message: total length L (3 bytes, header included), kind
// (0 in the server's requests and notifications), message id (2), session id
// (4, echoed in the response), then the body of L - 10 bytes.
constexpr size_t kControlLengthOffset = 0;
constexpr size_t kControlKindOffset = 3;
constexpr size_t kControlMessageIdOffset = 4;
constexpr size_t kControlSessionIdOffset = 6;
constexpr size_t kControlHeaderSize = 10;
// A response frame keeps the length and kind bytes, then carries the session
// id (4) and the low 16 bits of the result (2).
constexpr size_t kResponseSessionIdOffset = 4;
constexpr size_t kResponseResultOffset = 8;
constexpr size_t kResponseFrameSize = 10;
// Largest message the gateway link carries in either direction, length bytes
// included: the capacity of its input and output buffers.
constexpr size_t kMaxControlMessageSize = 65538;

constexpr uint8_t kControlKindRequest = 0;
constexpr uint8_t kControlKindResponse = 2;

// Message ids.
constexpr uint16_t kMsgIdRegister = 12000;      // RegisterReq out, MessageRsp in
constexpr uint16_t kMsgIdHeartbeat = 12001;     // no body
constexpr uint16_t kMsgIdJoinRoom = 12002;      // JoinRoomReq
constexpr uint16_t kMsgIdQuitRoom = 12003;      // QuitRoomReq
constexpr uint16_t kMsgIdAllowSpeaker = 12004;  // AllowSpeakerReq
constexpr uint16_t kMsgIdMuteSpeaker = 12005;   // MuteSpeakerReq
constexpr uint16_t kMsgIdCreateRoom = 12007;    // CreateRoomReq
constexpr uint16_t kMsgIdAddCascade = 12008;    // AddCascadeReq
constexpr uint16_t kMsgIdAddRecorder = 12010;   // AddRecorderReq
constexpr uint16_t kMsgIdCloseRoom = 12011;     // CloseRoomReq

// The header fields of a received message.
struct ControlHeader {
  uint32_t length = 0;  // as stored in the first three bytes
  uint8_t kind = 0;
  uint16_t message_id = 0;
  uint32_t session_id = 0;
};

// Reads the header of a received message. False, with *header untouched,
// when the message is shorter than the header.
bool ParseControlHeader(const uint8_t* data, size_t size, ControlHeader* header);

// The fields of a response frame.
struct ControlResponse {
  uint32_t session_id = 0;
  int result = 0;  // the 16 bits sent, sign-extended: FF FF reads as -1
};

// Reads a response frame: false, with *response untouched, unless the message
// is exactly kResponseFrameSize bytes of kind kControlKindResponse.
bool ParseResponseFrame(const uint8_t* data, size_t size, ControlResponse* response);

// The body of a received message (bytes 10 to size - 1); null and 0 for a
// message no longer than its header.
const uint8_t* ControlBody(const uint8_t* data, size_t size, size_t* body_size);

// Writes a 10-byte header at `out`; the length keeps its low 24 bits.
void WriteControlHeader(uint8_t* out, uint32_t length, uint8_t kind, uint16_t message_id,
                        uint32_t session_id);

// Header and body in one buffer, ready for one Send. Empty when the message
// would not fit the 24-bit length.
std::vector<uint8_t> BuildControlMessage(uint16_t message_id, uint32_t session_id,
                                         const PbObj& body);
// The registration request (id 12000, session 0, kind 0).
std::vector<uint8_t> BuildRegisterMessage(const RegisterReq& request);
// The heartbeat notification: 00 00 0A 00 2E E1 00 00 00 00.
std::array<uint8_t, kControlHeaderSize> BuildHeartbeatNotify();
// The answer to a gateway request: echoes its session id and carries the
// low 16 bits of the result (-1 goes out as FF FF).
std::array<uint8_t, kResponseFrameSize> BuildResponseFrame(uint32_t session_id, int result);

}  // namespace corvaneserver

#endif  // CONTROL_CONTROL_HEADER_H_
