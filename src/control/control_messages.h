// Bodies of the control messages exchanged with the gateway. Each class is a
// plain value: construct it on the stack, fill the public fields and
// MarshalTo a buffer of Size() bytes, or Unmarshal a received body into it.
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

#include "control/pb_obj.h"

namespace corvaneserver {

// Registration of a server with its gateway (id 12000, server to gateway).
class RegisterReq : public PbObj {
 public:
  ~RegisterReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  int32_t server_type = 0;  // 1: forwarding server, 3: mixing server
  std::string tel_ip;
  std::string bgp_ip;
  uint32_t port = 0;  // media port
};

class JoinRoomReq : public PbObj {
 public:
  ~JoinRoomReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;
  int32_t user_type = 0;  // 1 listener, 2 speaker, 3 cascader
  std::string token;
};

class QuitRoomReq : public PbObj {
 public:
  ~QuitRoomReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;
};

class AllowSpeakerReq : public PbObj {
 public:
  ~AllowSpeakerReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;
  bool allow = false;  // true: speaker, false: listener
};

class MuteSpeakerReq : public PbObj {
 public:
  ~MuteSpeakerReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;
  bool unmuted = false;
};

class CloseRoomReq : public PbObj {
 public:
  ~CloseRoomReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
};

// One member of a new room.
class CreateRoomReq_User : public PbObj {  // NOLINT(readability-identifier-naming)
 public:
  ~CreateRoomReq_User() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t user_id = 0;
  int32_t user_type = 0;
  std::string token;
};

class CreateRoomReq : public PbObj {
 public:
  CreateRoomReq() = default;
  ~CreateRoomReq() override = default;
  CreateRoomReq(CreateRoomReq&&) = default;
  CreateRoomReq& operator=(CreateRoomReq&&) = default;

  size_t Size() const override;
  // Writes one entry per user, an empty user included; null entries are
  // left out.
  int MarshalTo(uint8_t* out) const override;
  // Every occurrence of field 2 appends a user before decoding it, so a user
  // that fails to decode stays in the list with what it had decoded.
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  // Owned, in wire order.
  std::vector<std::unique_ptr<CreateRoomReq_User>> users;
};

class AddCascadeReq : public PbObj {
 public:
  ~AddCascadeReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;  // id under which the peer server takes part
  int32_t reserved = 0;  // decoded, unused
  std::string address;   // the peer server's address
};

// The gateway's answer to a registration (id 12000, gateway to server).
class MessageRsp : public PbObj {
 public:
  ~MessageRsp() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint32_t result = 0;  // 0: success
};

class AddRecorderReq : public PbObj {
 public:
  ~AddRecorderReq() override = default;
  size_t Size() const override;
  int MarshalTo(uint8_t* out) const override;
  int Unmarshal(const uint8_t* data, size_t size) override;

  uint64_t room_id = 0;
  uint64_t user_id = 0;
  uint64_t unique_id = 0;
  std::string token;
};

}  // namespace corvaneserver

#endif  // CONTROL_CONTROL_MESSAGES_H_
