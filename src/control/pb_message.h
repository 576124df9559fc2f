// One encoder and one decoder for every control message body, driven by the
// message's field table: a list of (field number, member) pairs from which the
// wire type follows by the member's type.
//
//   uint64_t, uint32_t, bool     varint
//   int32_t                      varint of its 32-bit pattern (a negative
//                                value takes 5 bytes)
//   std::string                  length-delimited bytes
//   std::vector<std::unique_ptr<M>>  repeated nested message M, one entry per
//                                non-null element, an empty one included
//
// A message class derives from PbMessage<itself> and declares its table as
// `using Fields = PbFields<PbField<1, &Msg::a>, PbField<2, &Msg::b>, ...>;` in
// ascending field number, which is the order MarshalTo writes them in.
#ifndef CONTROL_PB_MESSAGE_H_
#define CONTROL_PB_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "control/pb_fields.h"
#include "control/pb_obj.h"

namespace corvaneserver {

template <int Number, auto Member>
struct PbField {
  static constexpr int kNumber = Number;
  static constexpr auto kMember = Member;
};

template <class... Field>
struct PbFields {};

namespace pb_internal {

template <class T>
constexpr int WireTypeOf(const T*) {
  return kWireVarint;
}
constexpr int WireTypeOf(const std::string*) { return kWireLengthDelimited; }
template <class M>
constexpr int WireTypeOf(const std::vector<std::unique_ptr<M>>*) {
  return kWireLengthDelimited;
}

template <class Field, class Msg>
constexpr uint8_t KeyOf() {
  using Member = std::remove_reference_t<decltype(std::declval<Msg&>().*Field::kMember)>;
  return FieldKey(Field::kNumber, WireTypeOf(static_cast<const Member*>(nullptr)));
}

// int32 and uint32 values go on the wire as their 32-bit pattern.
inline uint64_t Widen(int32_t value) { return static_cast<uint32_t>(value); }

inline size_t FieldSize(uint64_t value) { return VarintFieldSize(value); }
inline size_t FieldSize(uint32_t value) { return VarintFieldSize(value); }
inline size_t FieldSize(int32_t value) { return VarintFieldSize(Widen(value)); }
inline size_t FieldSize(bool value) { return BoolFieldSize(value); }
inline size_t FieldSize(const std::string& value) { return StringFieldSize(value); }
template <class M>
size_t FieldSize(const std::vector<std::unique_ptr<M>>& entries) {
  size_t size = 0;
  for (const auto& entry : entries) {
    if (!entry) continue;
    const size_t entry_size = entry->Size();
    size += 1 + static_cast<size_t>(encodeVarintSize(entry_size)) + entry_size;
  }
  return size;
}

// False only when a nested message fails to write.
inline bool PutField(uint8_t* out, size_t* pos, uint8_t key, uint64_t value) {
  PutVarintField(out, pos, key, value);
  return true;
}
inline bool PutField(uint8_t* out, size_t* pos, uint8_t key, uint32_t value) {
  PutVarintField(out, pos, key, value);
  return true;
}
inline bool PutField(uint8_t* out, size_t* pos, uint8_t key, int32_t value) {
  PutVarintField(out, pos, key, Widen(value));
  return true;
}
inline bool PutField(uint8_t* out, size_t* pos, uint8_t key, bool value) {
  PutBoolField(out, pos, key, value);
  return true;
}
inline bool PutField(uint8_t* out, size_t* pos, uint8_t key, const std::string& value) {
  PutStringField(out, pos, key, value);
  return true;
}
template <class M>
bool PutField(uint8_t* out, size_t* pos, uint8_t key,
              const std::vector<std::unique_ptr<M>>& entries) {
  for (const auto& entry : entries) {
    if (!entry) continue;
    out[(*pos)++] = key;
    encodeVarint(out, pos, entry->Size());
    const int written = entry->MarshalTo(out + *pos);
    if (written < 0) return false;
    *pos += static_cast<size_t>(written);
  }
  return true;
}

inline int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                    uint64_t* member) {
  return GetUint64Field(data, size, pos, wire_type, member);
}
inline int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                    uint32_t* member) {
  return GetUint32Field(data, size, pos, wire_type, member);
}
inline int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type, int32_t* member) {
  return GetInt32Field(data, size, pos, wire_type, member);
}
inline int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type, bool* member) {
  return GetBoolField(data, size, pos, wire_type, member);
}
inline int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
                    std::string* member) {
  return GetStringField(data, size, pos, wire_type, member);
}
// Every occurrence appends an entry before decoding it, so an entry that fails
// to decode stays in the list with what it had decoded.
template <class M>
int GetField(const uint8_t* data, size_t size, size_t* pos, int wire_type,
             std::vector<std::unique_ptr<M>>* entries) {
  const uint8_t* body = nullptr;
  size_t body_size = 0;
  const int rc = GetNestedField(data, size, pos, wire_type, &body, &body_size);
  if (rc != kPbOk) return rc;
  entries->push_back(std::make_unique<M>());
  return entries->back()->Unmarshal(body, body_size);
}

template <class Msg, class... Field>
size_t Size(const Msg& msg, PbFields<Field...>) {
  return (size_t{0} + ... + FieldSize(msg.*Field::kMember));
}

template <class Msg, class... Field>
int MarshalTo(const Msg& msg, PbFields<Field...>, uint8_t* out) {
  size_t pos = 0;
  const bool ok = (PutField(out, &pos, KeyOf<Field, Msg>(), msg.*Field::kMember) && ...);
  return ok ? static_cast<int>(pos) : -1;
}

// Reads fields until the input ends: a known number goes to its member, an
// unknown one is skipped; the last occurrence of a scalar field wins.
template <class Msg, class... Field>
int Unmarshal(Msg& msg, PbFields<Field...>, const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    const size_t field_start = pos;
    int64_t number = 0;
    int wire_type = 0;
    int rc = decodeFieldKey(data, size, &pos, &number, &wire_type);
    if (rc != kPbOk) return rc;
    const bool known =
        ((number == Field::kNumber &&
          (rc = GetField(data, size, &pos, wire_type, &(msg.*Field::kMember)), true)) ||
         ...);
    if (!known) rc = SkipUnknownField(data, size, field_start, &pos);
    if (rc != kPbOk) return rc;
  }
  return kPbOk;
}

}  // namespace pb_internal

// The base of a message class with a field table `Msg::Fields`.
template <class Msg>
class PbMessage : public PbObj {
 public:
  size_t Size() const override { return pb_internal::Size(self(), typename Msg::Fields{}); }
  int MarshalTo(uint8_t* out) const override {
    return pb_internal::MarshalTo(self(), typename Msg::Fields{}, out);
  }
  int Unmarshal(const uint8_t* data, size_t size) override {
    return pb_internal::Unmarshal(static_cast<Msg&>(*this), typename Msg::Fields{}, data, size);
  }

 private:
  const Msg& self() const { return static_cast<const Msg&>(*this); }
};

}  // namespace corvaneserver

#endif  // CONTROL_PB_MESSAGE_H_
