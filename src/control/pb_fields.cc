#include "control/pb_fields.h"

#include <cstring>

#include "control/pb_obj.h"

namespace corvaneserver {

size_t VarintFieldSize(uint64_t value) {
  return value == 0 ? 0 : 1 + static_cast<size_t>(encodeVarintSize(value));
}

void PutVarintField(uint8_t* out, size_t* pos, uint8_t key, uint64_t value) {
  if (value == 0) return;
  out[(*pos)++] = key;
  encodeVarint(out, pos, value);
}

size_t BoolFieldSize(bool value) { return value ? 2 : 0; }

void PutBoolField(uint8_t* out, size_t* pos, uint8_t key, bool value) {
  if (!value) return;
  out[(*pos)++] = key;
  out[(*pos)++] = 0x01;
}

size_t StringFieldSize(const std::string& value) {
  if (value.empty()) return 0;
  return 1 + static_cast<size_t>(encodeVarintSize(value.size())) + value.size();
}

void PutStringField(uint8_t* out, size_t* pos, uint8_t key, const std::string& value) {
  if (value.empty()) return;
  out[(*pos)++] = key;
  encodeVarint(out, pos, value.size());
  std::memcpy(out + *pos, value.data(), value.size());
  *pos += value.size();
}

int GetUint64Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, uint64_t* member) {
  if (wire_type != kWireVarint) return kPbErrTruncated;
  *member = 0;
  return decodeVarUint64(data, size, pos, member);
}

int GetInt32Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, int32_t* member) {
  if (wire_type != kWireVarint) return kPbErrTruncated;
  return decodeVarInt32(data, size, pos, member);
}

int GetUint32Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, uint32_t* member) {
  if (wire_type != kWireVarint) return kPbErrTruncated;
  *member = 0;
  return decodeVarUint32(data, size, pos, member);
}

int GetBoolField(const uint8_t* data, size_t size, size_t* pos, int wire_type, bool* member) {
  if (wire_type != kWireVarint) return kPbErrTruncated;
  int32_t value = 0;
  const int rc = decodeVarInt(data, size, pos, &value);
  if (rc == kPbOk) *member = value != 0;
  return rc;
}

int GetNestedField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                   const uint8_t** body, size_t* body_size) {
  if (wire_type != kWireLengthDelimited) return kPbErrTruncated;
  size_t length = 0;
  const int rc = decodeLength(data, size, pos, &length);
  if (rc != kPbOk) return rc;
  if (length > size - *pos) return kPbErrTruncated;
  *body = data + *pos;
  *body_size = length;
  *pos += length;
  return kPbOk;
}

int GetStringField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                   std::string* member) {
  const uint8_t* body = nullptr;
  size_t body_size = 0;
  const int rc = GetNestedField(data, size, pos, wire_type, &body, &body_size);
  if (rc != kPbOk) return rc;
  member->assign(reinterpret_cast<const char*>(body), body_size);
  return kPbOk;
}

int SkipUnknownField(const uint8_t* data, size_t size, size_t field_start, size_t* pos) {
  const int field_size = skipDefaultField(data + field_start, size - field_start);
  if (field_size < 0) return field_size;
  if (static_cast<size_t>(field_size) > size - field_start) return kPbErrTruncated;
  *pos = field_start + static_cast<size_t>(field_size);
  return kPbOk;
}

}  // namespace corvaneserver
