// Bodies of the control messages exchanged with the gateway. Each class is a
// plain value: construct it on the stack, fill the public fields and
// MarshalTo a buffer of Size() bytes, or Unmarshal a received body into it.
// Size, MarshalTo and Unmarshal walk the class's field table (PbMessage).
//
// Fields are written in ascending field number and only when they differ from
// their default (0, false, empty); int32 and uint32 values are widened without
// sign extension, so a negative int32 takes 5 bytes. Decoding keeps the last
// occurrence of a repeated scalar field and skips unknown fields.
#ifndef CONTROL_CONTROL_MESSAGES_H_
#define CONTROL_CONTROL_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/pb_message.h"
#include "control/pb_obj.h"

namespace corvaneserver {

// Registration of a server with its gateway (id 12000, server to gateway).
class RegisterReq : public PbMessage<RegisterReq> {
 public:
  int32_t server_type = 0;  // 1: forwarding server, 3: mixing server
  std::string tel_ip;
  std::string bgp_ip;
  uint32_t port = 0;  // media port

  using Fields = PbFields<PbField<1, &RegisterReq::server_type>, PbField<2, &RegisterReq::tel_ip>,
                          PbField<3, &RegisterReq::bgp_ip>, PbField<4, &RegisterReq::port>>;
};

class JoinRoomReq : public PbMessage<JoinRoomReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  int32_t user_type = 0;  // 1 listener, 2 speaker, 3 cascader
  std::string token;

  using Fields = PbFields<PbField<1, &JoinRoomReq::room_id>, PbField<2, &JoinRoomReq::user_id>,
                          PbField<3, &JoinRoomReq::user_type>, PbField<4, &JoinRoomReq::token>>;
};

class QuitRoomReq : public PbMessage<QuitRoomReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;

  using Fields = PbFields<PbField<1, &QuitRoomReq::room_id>, PbField<2, &QuitRoomReq::user_id>>;
};

class AllowSpeakerReq : public PbMessage<AllowSpeakerReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  bool allow = false;  // true: speaker, false: listener

  using Fields =
      PbFields<PbField<1, &AllowSpeakerReq::room_id>, PbField<2, &AllowSpeakerReq::user_id>,
               PbField<3, &AllowSpeakerReq::allow>>;
};

class MuteSpeakerReq : public PbMessage<MuteSpeakerReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  bool unmuted = false;

  using Fields =
      PbFields<PbField<1, &MuteSpeakerReq::room_id>, PbField<2, &MuteSpeakerReq::user_id>,
               PbField<3, &MuteSpeakerReq::unmuted>>;
};

class CloseRoomReq : public PbMessage<CloseRoomReq> {
 public:
  uint64_t room_id = 0;

  using Fields = PbFields<PbField<1, &CloseRoomReq::room_id>>;
};

// One member of a new room.
class CreateRoomReq_User : public PbMessage<CreateRoomReq_User> {  // NOLINT
 public:
  uint64_t user_id = 0;
  int32_t user_type = 0;
  std::string token;

  using Fields =
      PbFields<PbField<1, &CreateRoomReq_User::user_id>, PbField<2, &CreateRoomReq_User::user_type>,
               PbField<3, &CreateRoomReq_User::token>>;
};

// MarshalTo writes one entry per user, an empty user included, and leaves null
// entries out. Every occurrence of field 2 appends a user before decoding it,
// so a user that fails to decode stays in the list with what it had decoded.
class CreateRoomReq : public PbMessage<CreateRoomReq> {
 public:
  uint64_t room_id = 0;
  // Owned, in wire order.
  std::vector<std::unique_ptr<CreateRoomReq_User>> users;

  using Fields = PbFields<PbField<1, &CreateRoomReq::room_id>, PbField<2, &CreateRoomReq::users>>;
};

class AddCascadeReq : public PbMessage<AddCascadeReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;  // id under which the peer server takes part
  int32_t reserved = 0;  // decoded, unused
  std::string address;   // the peer server's address

  using Fields =
      PbFields<PbField<1, &AddCascadeReq::room_id>, PbField<2, &AddCascadeReq::user_id>,
               PbField<3, &AddCascadeReq::reserved>, PbField<4, &AddCascadeReq::address>>;
};

// The gateway's answer to a registration (id 12000, gateway to server).
class MessageRsp : public PbMessage<MessageRsp> {
 public:
  uint32_t result = 0;  // 0: success

  using Fields = PbFields<PbField<1, &MessageRsp::result>>;
};

class AddRecorderReq : public PbMessage<AddRecorderReq> {
 public:
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  uint64_t unique_id = 0;
  std::string token;

  using Fields =
      PbFields<PbField<1, &AddRecorderReq::room_id>, PbField<2, &AddRecorderReq::user_id>,
               PbField<3, &AddRecorderReq::unique_id>, PbField<4, &AddRecorderReq::token>>;
};

}  // namespace corvaneserver

#endif  // CONTROL_CONTROL_MESSAGES_H_
