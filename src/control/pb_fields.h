// Field-level helpers shared by the control message classes: how one integer,
// bool or string field is sized, written and read.
//
// Writers skip default values (0, false, empty) as the encoding requires.
// Readers check the wire type first (a known field with another wire type is
// kPbErrTruncated), then decode from data + *pos, advancing *pos.
#ifndef CONTROL_PB_FIELDS_H_
#define CONTROL_PB_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvaneserver {

// Key byte of a field: field number * 8 + wire type (field numbers 1 to 15).
constexpr uint8_t FieldKey(int field_number, int wire_type) {
  return static_cast<uint8_t>((field_number << 3) | wire_type);
}

size_t VarintFieldSize(uint64_t value);
void PutVarintField(uint8_t* out, size_t* pos, uint8_t key, uint64_t value);
size_t BoolFieldSize(bool value);
void PutBoolField(uint8_t* out, size_t* pos, uint8_t key, bool value);
size_t StringFieldSize(const std::string& value);
void PutStringField(uint8_t* out, size_t* pos, uint8_t key, const std::string& value);

// uint64: the member is cleared first and holds the bits read so far on error.
int GetUint64Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, uint64_t* member);
// int32: the member changes only on success.
int GetInt32Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, int32_t* member);
// uint32: the member is cleared first and set on success.
int GetUint32Field(const uint8_t* data, size_t size, size_t* pos, int wire_type, uint32_t* member);
// bool: any non-zero value is true; the member changes only on success.
int GetBoolField(const uint8_t* data, size_t size, size_t* pos, int wire_type, bool* member);
// string: the member is replaced only when the whole field is present.
int GetStringField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                   std::string* member);
// A nested message: on success *body and *body_size give its bytes and *pos
// moves past them.
int GetNestedField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                   const uint8_t** body, size_t* body_size);
// Skips the unknown field whose key starts at field_start; refuses one that
// ends beyond size with kPbErrTruncated.
int SkipUnknownField(const uint8_t* data, size_t size, size_t field_start, size_t* pos);

}  // namespace corvaneserver

#endif  // CONTROL_PB_FIELDS_H_
