// Field encoding of the control message bodies: the protocol-buffer wire
// format (field keys, base-128 varints, length-delimited fields), written and
// read without a protocol-buffer library, and the base class of every message.
//
// The decoders take the whole input (data, size) and a read position that they
// advance; they never read at or past `size` and never allocate.
#ifndef CONTROL_PB_OBJ_H_
#define CONTROL_PB_OBJ_H_

#include <cstddef>
#include <cstdint>

// Results of the decoders and of PbObj::Unmarshal.
constexpr int kPbOk = 0;
// A varint longer than 10 bytes, an end-group key where a field key is
// expected, or a negative (or 2^31 and above) length.
constexpr int kPbErrMalformed = -1;
// The input ends inside a key, a varint or a field; a known field with a wire
// type other than its own; a field number of 0.
constexpr int kPbErrTruncated = -2;
// An unknown field with wire type 6 or 7.
constexpr int kPbErrBadWireType = -3;
// An unknown length-delimited field whose length is negative.
constexpr int kPbErrNegativeLength = -4;
// No bytes left where an unknown field should start.
constexpr int kPbErrNoField = -5;

// Wire types of a field key (key & 7).
constexpr int kWireVarint = 0;
constexpr int kWireFixed64 = 1;
constexpr int kWireLengthDelimited = 2;
constexpr int kWireStartGroup = 3;
constexpr int kWireEndGroup = 4;
constexpr int kWireFixed32 = 5;

// A varint is at most 10 bytes long (shifts 0, 7, ..., 63).
constexpr int kMaxVarintBytes = 10;

// Abstract base of every control message body.
class PbObj {
 public:
  virtual ~PbObj() = default;
  // Number of bytes MarshalTo writes.
  virtual size_t Size() const = 0;
  // Writes the body at `out`, which holds at least Size() bytes; returns the
  // number of bytes written, or -1.
  virtual int MarshalTo(uint8_t* out) const = 0;
  // Parses `size` bytes into this object without resetting it first; returns
  // kPbOk or a negative code above. Fields decoded before an error stay set.
  virtual int Unmarshal(const uint8_t* data, size_t size) = 0;
};

// Number of bytes of the varint of `value`: 1 to 10.
int encodeVarintSize(uint64_t value);
// Writes the varint of `value` at buf + *pos and advances *pos. No bounds
// check: the caller sizes the buffer with encodeVarintSize().
void encodeVarint(uint8_t* buf, size_t* pos, uint64_t value);

// Varint decoders: read from data + *pos, never at or past data + size, and
// advance *pos by every byte read. Return kPbOk, kPbErrMalformed (the tenth
// byte still has bit 7 set) or kPbErrTruncated (the input ends first).
//
// After an error *value holds the bits read so far.
int decodeVarUint64(const uint8_t* data, size_t size, size_t* pos, uint64_t* value);
// The 32-bit decoders keep the low 32 bits of a varint of any length and store
// them only on success, so a negative int32 decodes from its 5-byte and from
// its sign-extended 10-byte form alike.
int decodeVarUint32(const uint8_t* data, size_t size, size_t* pos, uint32_t* value);
int decodeVarInt32(const uint8_t* data, size_t size, size_t* pos, int32_t* value);
// Same result as decodeVarInt32; used for bool fields.
int decodeVarInt(const uint8_t* data, size_t size, size_t* pos, int32_t* value);

// Decodes a length prefix: the full 64-bit varint, refused with
// kPbErrMalformed when it is 2^31 or more (a negative length once taken as
// an int), so a long varint never aliases to a small length.
int decodeLength(const uint8_t* data, size_t size, size_t* pos, size_t* length);

// Decodes a field key at data + *pos. On success sets the field number and
// the wire type. An end-group key gives kPbErrMalformed and a field number of
// 0 gives kPbErrTruncated, in that order. Field numbers are never truncated:
// one beyond the range of int comes out as INT64 and matches no known field.
int decodeFieldKey(const uint8_t* data, size_t size, size_t* pos, int64_t* field_number,
                   int* wire_type);

// Skips one field that the message does not know. `data` points at its key
// and `size` bytes are left from there. Returns the field's total length, key
// included, or a negative code. The end of a fixed-size or length-delimited
// field is not checked against `size`; the caller refuses a field that ends
// beyond its input (an end that would not fit in an int comes back as
// kPbErrTruncated). Groups are skipped whole, nested groups included, without
// recursion, so a deeply nested input cannot exhaust the stack.
int skipDefaultField(const uint8_t* data, size_t size);

#endif  // CONTROL_PB_OBJ_H_
