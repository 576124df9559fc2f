#include "control/control_messages.h"

#include "control/pb_fields.h"

namespace corvaneserver {
namespace {

// Returned by a class's field reader for a field number it does not define.
constexpr int kUnknownField = 1;

constexpr uint8_t kKey1Varint = FieldKey(1, kWireVarint);
constexpr uint8_t kKey2Varint = FieldKey(2, kWireVarint);
constexpr uint8_t kKey2Bytes = FieldKey(2, kWireLengthDelimited);
constexpr uint8_t kKey3Varint = FieldKey(3, kWireVarint);
constexpr uint8_t kKey3Bytes = FieldKey(3, kWireLengthDelimited);
constexpr uint8_t kKey4Varint = FieldKey(4, kWireVarint);
constexpr uint8_t kKey4Bytes = FieldKey(4, kWireLengthDelimited);

// The decoding loop every class shares: key, then the class's own reader,
// which returns kUnknownField for a field number it does not define.
template <class ReadField>
int UnmarshalFields(const uint8_t* data, size_t size, ReadField read_field) {
  size_t pos = 0;
  while (pos < size) {
    const size_t field_start = pos;
    int64_t field_number = 0;
    int wire_type = 0;
    int rc = decodeFieldKey(data, size, &pos, &field_number, &wire_type);
    if (rc != kPbOk) return rc;
    rc = read_field(field_number, wire_type, &pos);
    if (rc == kUnknownField) rc = SkipUnknownField(data, size, field_start, &pos);
    if (rc != kPbOk) return rc;
  }
  return kPbOk;
}

// int32 and uint32 values go on the wire as their 32-bit pattern.
uint64_t Widen(int32_t value) { return static_cast<uint32_t>(value); }

}  // namespace

// RegisterReq

size_t RegisterReq::Size() const {
  return VarintFieldSize(Widen(server_type)) + StringFieldSize(tel_ip) + StringFieldSize(bgp_ip) +
         VarintFieldSize(port);
}

int RegisterReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, Widen(server_type));
  PutStringField(out, &pos, kKey2Bytes, tel_ip);
  PutStringField(out, &pos, kKey3Bytes, bgp_ip);
  PutVarintField(out, &pos, kKey4Varint, port);
  return static_cast<int>(pos);
}

int RegisterReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetInt32Field(data, size, pos, wire_type, &server_type);
      case 2:
        return GetStringField(data, size, pos, wire_type, &tel_ip);
      case 3:
        return GetStringField(data, size, pos, wire_type, &bgp_ip);
      case 4:
        return GetUint32Field(data, size, pos, wire_type, &port);
      default:
        return kUnknownField;
    }
  });
}

// JoinRoomReq

size_t JoinRoomReq::Size() const {
  return VarintFieldSize(room_id) + VarintFieldSize(user_id) + VarintFieldSize(Widen(user_type)) +
         StringFieldSize(token);
}

int JoinRoomReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  PutVarintField(out, &pos, kKey3Varint, Widen(user_type));
  PutStringField(out, &pos, kKey4Bytes, token);
  return static_cast<int>(pos);
}

int JoinRoomReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 3:
        return GetInt32Field(data, size, pos, wire_type, &user_type);
      case 4:
        return GetStringField(data, size, pos, wire_type, &token);
      default:
        return kUnknownField;
    }
  });
}

// QuitRoomReq

size_t QuitRoomReq::Size() const { return VarintFieldSize(room_id) + VarintFieldSize(user_id); }

int QuitRoomReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  return static_cast<int>(pos);
}

int QuitRoomReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      default:
        return kUnknownField;
    }
  });
}

// AllowSpeakerReq

size_t AllowSpeakerReq::Size() const {
  return VarintFieldSize(room_id) + VarintFieldSize(user_id) + BoolFieldSize(allow);
}

int AllowSpeakerReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  PutBoolField(out, &pos, kKey3Varint, allow);
  return static_cast<int>(pos);
}

int AllowSpeakerReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 3:
        return GetBoolField(data, size, pos, wire_type, &allow);
      default:
        return kUnknownField;
    }
  });
}

// MuteSpeakerReq

size_t MuteSpeakerReq::Size() const {
  return VarintFieldSize(room_id) + VarintFieldSize(user_id) + BoolFieldSize(unmuted);
}

int MuteSpeakerReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  PutBoolField(out, &pos, kKey3Varint, unmuted);
  return static_cast<int>(pos);
}

int MuteSpeakerReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 3:
        return GetBoolField(data, size, pos, wire_type, &unmuted);
      default:
        return kUnknownField;
    }
  });
}

// CloseRoomReq

size_t CloseRoomReq::Size() const { return VarintFieldSize(room_id); }

int CloseRoomReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  return static_cast<int>(pos);
}

int CloseRoomReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    if (field == 1) return GetUint64Field(data, size, pos, wire_type, &room_id);
    return kUnknownField;
  });
}

// CreateRoomReq_User

size_t CreateRoomReq_User::Size() const {
  return VarintFieldSize(user_id) + VarintFieldSize(Widen(user_type)) + StringFieldSize(token);
}

int CreateRoomReq_User::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, user_id);
  PutVarintField(out, &pos, kKey2Varint, Widen(user_type));
  PutStringField(out, &pos, kKey3Bytes, token);
  return static_cast<int>(pos);
}

int CreateRoomReq_User::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 2:
        return GetInt32Field(data, size, pos, wire_type, &user_type);
      case 3:
        return GetStringField(data, size, pos, wire_type, &token);
      default:
        return kUnknownField;
    }
  });
}

// CreateRoomReq

size_t CreateRoomReq::Size() const {
  size_t size = VarintFieldSize(room_id);
  for (const auto& user : users) {
    if (!user) continue;
    const size_t user_size = user->Size();
    size += 1 + static_cast<size_t>(encodeVarintSize(user_size)) + user_size;
  }
  return size;
}

int CreateRoomReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  for (const auto& user : users) {
    if (!user) continue;
    out[pos++] = kKey2Bytes;
    encodeVarint(out, &pos, user->Size());
    const int written = user->MarshalTo(out + pos);
    if (written < 0) return -1;
    pos += static_cast<size_t>(written);
  }
  return static_cast<int>(pos);
}

int CreateRoomReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2: {
        const uint8_t* body = nullptr;
        size_t body_size = 0;
        const int rc = GetNestedField(data, size, pos, wire_type, &body, &body_size);
        if (rc != kPbOk) return rc;
        users.push_back(std::make_unique<CreateRoomReq_User>());
        return users.back()->Unmarshal(body, body_size);
      }
      default:
        return kUnknownField;
    }
  });
}

// AddCascadeReq

size_t AddCascadeReq::Size() const {
  return VarintFieldSize(room_id) + VarintFieldSize(user_id) + VarintFieldSize(Widen(reserved)) +
         StringFieldSize(address);
}

int AddCascadeReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  PutVarintField(out, &pos, kKey3Varint, Widen(reserved));
  PutStringField(out, &pos, kKey4Bytes, address);
  return static_cast<int>(pos);
}

int AddCascadeReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 3:
        return GetInt32Field(data, size, pos, wire_type, &reserved);
      case 4:
        return GetStringField(data, size, pos, wire_type, &address);
      default:
        return kUnknownField;
    }
  });
}

// MessageRsp

size_t MessageRsp::Size() const { return VarintFieldSize(result); }

int MessageRsp::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, result);
  return static_cast<int>(pos);
}

int MessageRsp::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    if (field == 1) return GetUint32Field(data, size, pos, wire_type, &result);
    return kUnknownField;
  });
}

// AddRecorderReq

size_t AddRecorderReq::Size() const {
  return VarintFieldSize(room_id) + VarintFieldSize(user_id) + VarintFieldSize(unique_id) +
         StringFieldSize(token);
}

int AddRecorderReq::MarshalTo(uint8_t* out) const {
  size_t pos = 0;
  PutVarintField(out, &pos, kKey1Varint, room_id);
  PutVarintField(out, &pos, kKey2Varint, user_id);
  PutVarintField(out, &pos, kKey3Varint, unique_id);
  PutStringField(out, &pos, kKey4Bytes, token);
  return static_cast<int>(pos);
}

int AddRecorderReq::Unmarshal(const uint8_t* data, size_t size) {
  return UnmarshalFields(data, size, [&](int64_t field, int wire_type, size_t* pos) {
    switch (field) {
      case 1:
        return GetUint64Field(data, size, pos, wire_type, &room_id);
      case 2:
        return GetUint64Field(data, size, pos, wire_type, &user_id);
      case 3:
        return GetUint64Field(data, size, pos, wire_type, &unique_id);
      case 4:
        return GetStringField(data, size, pos, wire_type, &token);
      default:
        return kUnknownField;
    }
  });
}

}  // namespace corvaneserver
