#include "control/pb_obj.h"

#include <climits>

int encodeVarintSize(uint64_t value) {
  int bytes = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++bytes;
  }
  return bytes;
}

void encodeVarint(uint8_t* buf, size_t* pos, uint64_t value) {
  while (value >= 0x80) {
    buf[(*pos)++] = static_cast<uint8_t>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  buf[(*pos)++] = static_cast<uint8_t>(value);
}

int decodeVarUint64(const uint8_t* data, size_t size, size_t* pos, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < kMaxVarintBytes; ++i) {
    if (*pos >= size) return kPbErrTruncated;
    const uint8_t byte = data[(*pos)++];
    *value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) return kPbOk;
  }
  return kPbErrMalformed;
}

int decodeVarUint32(const uint8_t* data, size_t size, size_t* pos, uint32_t* value) {
  uint64_t wide = 0;
  const int rc = decodeVarUint64(data, size, pos, &wide);
  if (rc == kPbOk) *value = static_cast<uint32_t>(wide);
  return rc;
}

int decodeVarInt32(const uint8_t* data, size_t size, size_t* pos, int32_t* value) {
  uint32_t low = 0;
  const int rc = decodeVarUint32(data, size, pos, &low);
  if (rc == kPbOk) *value = static_cast<int32_t>(low);
  return rc;
}

int decodeVarInt(const uint8_t* data, size_t size, size_t* pos, int32_t* value) {
  return decodeVarInt32(data, size, pos, value);
}

int decodeLength(const uint8_t* data, size_t size, size_t* pos, size_t* length) {
  uint64_t wide = 0;
  const int rc = decodeVarUint64(data, size, pos, &wide);
  if (rc != kPbOk) return rc;
  if (wide > static_cast<uint64_t>(INT_MAX)) return kPbErrMalformed;
  *length = static_cast<size_t>(wide);
  return kPbOk;
}

int decodeFieldKey(const uint8_t* data, size_t size, size_t* pos, int64_t* field_number,
                   int* wire_type) {
  uint64_t key = 0;
  const int rc = decodeVarUint64(data, size, pos, &key);
  if (rc != kPbOk) return rc;
  *wire_type = static_cast<int>(key & 7);
  *field_number = static_cast<int64_t>(key >> 3);
  if (*wire_type == kWireEndGroup) return kPbErrMalformed;
  if (*field_number <= 0) return kPbErrTruncated;
  return kPbOk;
}

int skipDefaultField(const uint8_t* data, size_t size) {
  if (size == 0) return kPbErrNoField;
  // A group holds any fields up to an end-group key; only the nesting depth
  // matters, so a counter replaces recursion.
  size_t pos = 0;
  size_t group_depth = 0;
  for (;;) {
    uint64_t key = 0;
    int rc = decodeVarUint64(data, size, &pos, &key);
    if (rc != kPbOk) return rc;
    switch (static_cast<int>(key & 7)) {
      case kWireVarint: {
        uint64_t ignored = 0;
        rc = decodeVarUint64(data, size, &pos, &ignored);
        if (rc != kPbOk) return rc;
        break;
      }
      case kWireFixed64:
        pos += 8;
        break;
      case kWireLengthDelimited: {
        uint64_t length = 0;
        rc = decodeVarUint64(data, size, &pos, &length);
        if (rc != kPbOk) return rc;
        if (length > static_cast<uint64_t>(INT_MAX)) return kPbErrNegativeLength;
        pos += static_cast<size_t>(length);
        break;
      }
      case kWireStartGroup:
        ++group_depth;
        break;
      case kWireEndGroup:
        if (group_depth > 0) --group_depth;
        break;
      case kWireFixed32:
        pos += 4;
        break;
      default:
        return kPbErrBadWireType;
    }
    if (group_depth == 0) break;
  }
  if (pos > static_cast<size_t>(INT_MAX)) return kPbErrTruncated;
  return static_cast<int>(pos);
}
