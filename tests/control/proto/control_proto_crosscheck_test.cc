// Our control message encoding against the protocol-buffer library, over
// thousands of seeded random messages: what we write the library reads back
// field for field (and byte for byte where the two encoders agree), and what
// the library writes, unknown fields of every wire type included, we decode
// to the same fields.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/control_messages.h"
#include "control/pb_obj.h"

#include "control_messages.pb.h"

namespace corvaneserver {
namespace {

constexpr int kIterations = 3000;

class Random {
 public:
  explicit Random(uint64_t seed) : rng_(seed) {}

  uint64_t U64() {
    switch (rng_() % 8) {
      case 0:
      case 1:
        return 0;
      case 2:
        return rng_() % 128;
      case 3:
        return rng_() % 16384;
      case 4:
        return UINT64_MAX - rng_() % 3;
      case 5:
        return uint64_t{1} << (rng_() % 64);
      default:
        return rng_() >> (rng_() % 64);
    }
  }
  uint32_t U32() {
    switch (rng_() % 5) {
      case 0:
        return 0;
      case 1:
        return static_cast<uint32_t>(rng_() % 300);
      case 2:
        return UINT32_MAX;
      default:
        return static_cast<uint32_t>(rng_());
    }
  }
  int32_t I32() {
    switch (rng_() % 7) {
      case 0:
        return 0;
      case 1:
        return -1;
      case 2:
        return static_cast<int32_t>(rng_() % 5) - 2;
      case 3:
        return INT32_MIN;
      case 4:
        return INT32_MAX;
      default:
        return static_cast<int32_t>(static_cast<uint32_t>(rng_()));
    }
  }
  bool Bool() { return rng_() % 2 == 0; }
  // Empty, short, or long enough for a two-byte length; any byte values.
  std::string Bytes() {
    size_t size = 0;
    switch (rng_() % 4) {
      case 0:
        size = 0;
        break;
      case 1:
        size = 1 + rng_() % 12;
        break;
      case 2:
        size = 120 + rng_() % 20;
        break;
      default:
        size = rng_() % 600;
        break;
    }
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(rng_());
    return s;
  }
  size_t Below(size_t n) { return static_cast<size_t>(rng_() % n); }

 private:
  std::mt19937_64 rng_;
};

// ---- Per-class glue: random values, copy into the library message, compare ----

// Sets a library field when the value is not its default, or always when
// `explicit_defaults` (the library then writes zeros that we never write).
#define SET_IF(lib, field, value, explicit_defaults)                                    \
  do {                                                                                  \
    if ((value) != decltype(value){} || (explicit_defaults)) (lib)->set_##field(value); \
  } while (0)

struct JoinRoom {
  using Ours = JoinRoomReq;
  using Lib = crosscheck::JoinRoomReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
    m->user_type = r->I32();
    m->token = r->Bytes();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
    SET_IF(l, user_type, m.user_type, d);
    SET_IF(l, token, m.token, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
    EXPECT_EQ(m.user_type, l.user_type());
    EXPECT_EQ(m.token, l.token());
  }
  static bool Negative(const Ours& m) { return m.user_type < 0; }
};

struct Register {
  using Ours = RegisterReq;
  using Lib = crosscheck::RegisterReq;
  static void Fill(Random* r, Ours* m) {
    m->server_type = r->I32();
    m->tel_ip = r->Bytes();
    m->bgp_ip = r->Bytes();
    m->port = r->U32();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, server_type, m.server_type, d);
    SET_IF(l, tel_ip, m.tel_ip, d);
    SET_IF(l, bgp_ip, m.bgp_ip, d);
    SET_IF(l, port, m.port, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.server_type, l.server_type());
    EXPECT_EQ(m.tel_ip, l.tel_ip());
    EXPECT_EQ(m.bgp_ip, l.bgp_ip());
    EXPECT_EQ(m.port, l.port());
  }
  static bool Negative(const Ours& m) { return m.server_type < 0; }
};

struct QuitRoom {
  using Ours = QuitRoomReq;
  using Lib = crosscheck::QuitRoomReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
  }
  static bool Negative(const Ours&) { return false; }
};

struct AllowSpeaker {
  using Ours = AllowSpeakerReq;
  using Lib = crosscheck::AllowSpeakerReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
    m->allow = r->Bool();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
    SET_IF(l, allow, m.allow, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
    EXPECT_EQ(m.allow, l.allow());
  }
  static bool Negative(const Ours&) { return false; }
};

struct MuteSpeaker {
  using Ours = MuteSpeakerReq;
  using Lib = crosscheck::MuteSpeakerReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
    m->unmuted = r->Bool();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
    SET_IF(l, unmuted, m.unmuted, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
    EXPECT_EQ(m.unmuted, l.unmuted());
  }
  static bool Negative(const Ours&) { return false; }
};

struct CloseRoom {
  using Ours = CloseRoomReq;
  using Lib = crosscheck::CloseRoomReq;
  static void Fill(Random* r, Ours* m) { m->room_id = r->U64(); }
  static void ToLib(const Ours& m, Lib* l, bool d) { SET_IF(l, room_id, m.room_id, d); }
  static void ExpectSame(const Ours& m, const Lib& l) { EXPECT_EQ(m.room_id, l.room_id()); }
  static bool Negative(const Ours&) { return false; }
};

struct CreateRoom {
  using Ours = CreateRoomReq;
  using Lib = crosscheck::CreateRoomReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    const size_t users = r->Below(4) == 0 ? r->Below(200) : r->Below(5);
    for (size_t i = 0; i < users; ++i) {
      auto user = std::make_unique<CreateRoomReq_User>();
      user->user_id = r->U64();
      user->user_type = r->I32();
      user->token = r->Bytes();
      m->users.push_back(std::move(user));
    }
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    for (const auto& user : m.users) {
      crosscheck::CreateRoomReq_User* u = l->add_users();
      SET_IF(u, user_id, user->user_id, d);
      SET_IF(u, user_type, user->user_type, d);
      SET_IF(u, token, user->token, d);
    }
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    ASSERT_EQ(m.users.size(), static_cast<size_t>(l.users_size()));
    for (size_t i = 0; i < m.users.size(); ++i) {
      const auto& u = l.users(static_cast<int>(i));
      EXPECT_EQ(m.users[i]->user_id, u.user_id());
      EXPECT_EQ(m.users[i]->user_type, u.user_type());
      EXPECT_EQ(m.users[i]->token, u.token());
    }
  }
  static bool Negative(const Ours& m) {
    for (const auto& user : m.users) {
      if (user->user_type < 0) return true;
    }
    return false;
  }
};

struct AddCascade {
  using Ours = AddCascadeReq;
  using Lib = crosscheck::AddCascadeReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
    m->reserved = r->I32();
    m->address = r->Bytes();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
    SET_IF(l, reserved, m.reserved, d);
    SET_IF(l, address, m.address, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
    EXPECT_EQ(m.reserved, l.reserved());
    EXPECT_EQ(m.address, l.address());
  }
  static bool Negative(const Ours& m) { return m.reserved < 0; }
};

struct Rsp {
  using Ours = MessageRsp;
  using Lib = crosscheck::MessageRsp;
  static void Fill(Random* r, Ours* m) { m->result = r->U32(); }
  static void ToLib(const Ours& m, Lib* l, bool d) { SET_IF(l, result, m.result, d); }
  static void ExpectSame(const Ours& m, const Lib& l) { EXPECT_EQ(m.result, l.result()); }
  static bool Negative(const Ours&) { return false; }
};

struct AddRecorder {
  using Ours = AddRecorderReq;
  using Lib = crosscheck::AddRecorderReq;
  static void Fill(Random* r, Ours* m) {
    m->room_id = r->U64();
    m->user_id = r->U64();
    m->unique_id = r->U64();
    m->token = r->Bytes();
  }
  static void ToLib(const Ours& m, Lib* l, bool d) {
    SET_IF(l, room_id, m.room_id, d);
    SET_IF(l, user_id, m.user_id, d);
    SET_IF(l, unique_id, m.unique_id, d);
    SET_IF(l, token, m.token, d);
  }
  static void ExpectSame(const Ours& m, const Lib& l) {
    EXPECT_EQ(m.room_id, l.room_id());
    EXPECT_EQ(m.user_id, l.user_id());
    EXPECT_EQ(m.unique_id, l.unique_id());
    EXPECT_EQ(m.token, l.token());
  }
  static bool Negative(const Ours&) { return false; }
};

#undef SET_IF

// ---- Helpers --------------------------------------------------------------

std::string Marshal(const PbObj& msg) {
  std::string out(msg.Size(), '\0');
  const int written = msg.MarshalTo(reinterpret_cast<uint8_t*>(out.data()));
  EXPECT_EQ(written, static_cast<int>(out.size()));
  return out;
}

template <class Msg>
int Unmarshal(const std::string& bytes, Msg* msg) {
  // An exact heap copy, so that a read past the end is caught under ASan.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  return msg->Unmarshal(copy.data(), copy.size());
}

// Unknown fields of every wire type, written by the library.
std::string RandomNoise(Random* r) {
  crosscheck::Noise noise;
  if (r->Bool()) noise.set_varint(static_cast<int64_t>(r->U64()));
  if (r->Bool()) noise.set_fixed64(r->U64());
  if (r->Bool()) noise.set_bytes(r->Bytes());
  if (r->Bool()) {
    auto* group = noise.mutable_group();
    group->set_inner_varint(r->I32());
    group->set_inner_string(std::string(r->Below(4), 'g'));
    group->set_inner_fixed32(r->U32());
    if (r->Bool()) group->mutable_inner()->set_deep(static_cast<int64_t>(r->U64()));
  }
  if (r->Bool()) noise.set_fixed32(r->U32());
  if (r->Bool()) noise.set_zigzag(r->I32());
  if (r->Bool()) noise.set_real(static_cast<double>(r->U32()) / 7.0);
  for (size_t i = r->Below(4); i > 0; --i) noise.add_packed(r->I32());
  if (r->Bool()) noise.mutable_nested()->set_token(r->Bytes());
  if (r->Bool()) noise.set_two_byte_key(r->Bytes());
  if (r->Bool()) noise.set_largest_field_number(r->U64());
  return noise.SerializeAsString();
}

// Offsets where the fields of an encoded body end, found with our own skipper.
std::vector<size_t> FieldEnds(const std::string& body) {
  std::vector<size_t> ends = {0};
  size_t pos = 0;
  while (pos < body.size()) {
    const int n =
        skipDefaultField(reinterpret_cast<const uint8_t*>(body.data()) + pos, body.size() - pos);
    if (n <= 0) break;
    pos += static_cast<size_t>(n);
    ends.push_back(pos);
  }
  EXPECT_EQ(pos, body.size());
  return ends;
}

template <class T>
void CrossCheck(uint64_t seed) {
  Random r(seed);
  int byte_exact = 0;
  for (int i = 0; i < kIterations; ++i) {
    SCOPED_TRACE("iteration " + std::to_string(i));
    typename T::Ours ours;
    T::Fill(&r, &ours);
    const std::string ours_bytes = Marshal(ours);

    // Our encoding, read by the library.
    typename T::Lib parsed;
    ASSERT_TRUE(parsed.ParseFromString(ours_bytes));
    T::ExpectSame(ours, parsed);
    EXPECT_TRUE(parsed.unknown_fields().empty());

    // The library's encoding of the same values: identical bytes unless a
    // negative int32 is involved (the library sign-extends it to 10 bytes).
    typename T::Lib lib;
    T::ToLib(ours, &lib, false);
    const std::string lib_bytes = lib.SerializeAsString();
    if (!T::Negative(ours)) {
      EXPECT_EQ(lib_bytes, ours_bytes);
      ++byte_exact;
    } else {
      EXPECT_GT(lib_bytes.size(), ours_bytes.size());
    }
    typename T::Ours decoded;
    ASSERT_EQ(Unmarshal(lib_bytes, &decoded), kPbOk);
    T::ExpectSame(decoded, lib);

    // Explicit default values written by the library decode as defaults.
    typename T::Lib explicit_lib;
    T::ToLib(ours, &explicit_lib, true);
    typename T::Ours explicit_decoded;
    ASSERT_EQ(Unmarshal(explicit_lib.SerializeAsString(), &explicit_decoded), kPbOk);
    T::ExpectSame(explicit_decoded, lib);

    // Unknown fields of every wire type before, between and after the known ones.
    const std::vector<size_t> ends = FieldEnds(lib_bytes);
    const size_t cut = ends[r.Below(ends.size())];
    const std::string noisy = RandomNoise(&r) + lib_bytes.substr(0, cut) + RandomNoise(&r) +
                              lib_bytes.substr(cut) + RandomNoise(&r);
    typename T::Ours noisy_decoded;
    ASSERT_EQ(Unmarshal(noisy, &noisy_decoded), kPbOk);
    T::ExpectSame(noisy_decoded, lib);
    typename T::Lib noisy_lib;
    ASSERT_TRUE(noisy_lib.ParseFromString(noisy));
    T::ExpectSame(noisy_decoded, noisy_lib);

    // Two bodies back to back: the later scalar wins, users add up, as the
    // library merges.
    typename T::Ours second;
    T::Fill(&r, &second);
    const std::string both = ours_bytes + Marshal(second);
    typename T::Ours merged;
    ASSERT_EQ(Unmarshal(both, &merged), kPbOk);
    typename T::Lib lib_merged;
    ASSERT_TRUE(lib_merged.ParseFromString(both));
    T::ExpectSame(merged, lib_merged);
  }
  // The byte-exact comparison must actually have run on a good share.
  EXPECT_GT(byte_exact, kIterations / 4);
}

TEST(ControlProtoCrossCheck, RegisterReq) { CrossCheck<Register>(1); }
TEST(ControlProtoCrossCheck, JoinRoomReq) { CrossCheck<JoinRoom>(2); }
TEST(ControlProtoCrossCheck, QuitRoomReq) { CrossCheck<QuitRoom>(3); }
TEST(ControlProtoCrossCheck, AllowSpeakerReq) { CrossCheck<AllowSpeaker>(4); }
TEST(ControlProtoCrossCheck, MuteSpeakerReq) { CrossCheck<MuteSpeaker>(5); }
TEST(ControlProtoCrossCheck, CloseRoomReq) { CrossCheck<CloseRoom>(6); }
TEST(ControlProtoCrossCheck, CreateRoomReq) { CrossCheck<CreateRoom>(7); }
TEST(ControlProtoCrossCheck, AddCascadeReq) { CrossCheck<AddCascade>(8); }
TEST(ControlProtoCrossCheck, MessageRsp) { CrossCheck<Rsp>(9); }
TEST(ControlProtoCrossCheck, AddRecorderReq) { CrossCheck<AddRecorder>(10); }

// A negative int32 written by us takes 5 bytes, by the library 10; both
// decode to the same value on either side.
TEST(ControlProtoCrossCheck, NegativeInt32BothWays) {
  for (int32_t value : {-1, -2, INT32_MIN, -300}) {
    JoinRoomReq ours;
    ours.user_type = value;
    const std::string ours_bytes = Marshal(ours);
    EXPECT_EQ(ours_bytes.size(), 6u);
    crosscheck::JoinRoomReq lib;
    ASSERT_TRUE(lib.ParseFromString(ours_bytes));
    EXPECT_EQ(lib.user_type(), value);
    const std::string lib_bytes = lib.SerializeAsString();
    EXPECT_EQ(lib_bytes.size(), 11u);
    JoinRoomReq back;
    ASSERT_EQ(Unmarshal(lib_bytes, &back), kPbOk);
    EXPECT_EQ(back.user_type, value);
  }
}

}  // namespace
}  // namespace corvaneserver
