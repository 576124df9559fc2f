// Wire bytes of every control message body, decoding errors, unknown fields,
// truncation and round trips.
#include "control/control_messages.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/decode_case.h"

namespace corvaneserver {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Marshal(const PbObj& msg) {
  Bytes out(msg.Size() + 16, 0xEE);  // slack shows any write past Size()
  const int written = msg.MarshalTo(out.data());
  EXPECT_EQ(written, static_cast<int>(msg.Size()));
  for (size_t i = msg.Size(); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past Size()";
  out.resize(msg.Size());
  return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Decodes from an exactly sized copy so that ASan sees any read past the end.
template <class T>
int Decode(const Bytes& bytes, T* msg) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return msg->Unmarshal(bytes.empty() ? nullptr : copy.get(), bytes.size());
}

// Unknown fields of every wire type, numbers 5 to 9 and 100 (two-byte key).
const Bytes kUnknownFields = {
    0x28, 0x96, 0x01,                               // 5 varint
    0x31, 1,    2,    3,    4,    5,   6,    7, 8,  // 6 fixed64
    0x3A, 0x02, 'h',  'i',                          // 7 length-delimited
    0x43, 0x08, 0x01, 0x12, 0x01, 'g', 0x44,        // 8 group
    0x4D, 1,    2,    3,    4,                      // 9 fixed32
    0xA0, 0x06, 0x01,                               // 100 varint
};

// ---- Byte examples -------------------------------------------------------

TEST(JoinRoomReqTest, WireExample) {
  JoinRoomReq req;
  req.room_id = 1;
  req.user_id = 2;
  req.user_type = 2;
  req.token = "abc";
  EXPECT_EQ(req.Size(), 11u);
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0x02, 0x22, 0x03, 'a', 'b', 'c'}));
}

TEST(JoinRoomReqTest, DefaultEncodesToNothing) {
  JoinRoomReq req;
  EXPECT_EQ(req.Size(), 0u);
  uint8_t sentinel = 0xEE;
  EXPECT_EQ(req.MarshalTo(&sentinel), 0);
  EXPECT_EQ(sentinel, 0xEE);
}

TEST(JoinRoomReqTest, NegativeInt32TakesFiveBytes) {
  JoinRoomReq req;
  req.user_type = -1;
  EXPECT_EQ(Marshal(req), (Bytes{0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  JoinRoomReq back;
  ASSERT_EQ(Decode(Marshal(req), &back), kPbOk);
  EXPECT_EQ(back.user_type, -1);
}

TEST(JoinRoomReqTest, TenByteNegativeInt32Decodes) {
  const Bytes bytes = {0x18, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  JoinRoomReq req;
  ASSERT_EQ(Decode(bytes, &req), kPbOk);
  EXPECT_EQ(req.user_type, -2);
}

TEST(JoinRoomReqTest, LargeIdsAndLongToken) {
  JoinRoomReq req;
  req.room_id = UINT64_MAX;
  req.user_id = 1ull << 63;
  req.token = std::string(200, 't');
  const Bytes expected =
      Cat(Cat({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x10, 0x80,
               0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x22, 0xC8, 0x01},
              Bytes(200, 't')),
          {});
  EXPECT_EQ(Marshal(req), expected);
  JoinRoomReq back;
  ASSERT_EQ(Decode(expected, &back), kPbOk);
  EXPECT_EQ(back.room_id, UINT64_MAX);
  EXPECT_EQ(back.user_id, 1ull << 63);
  EXPECT_EQ(back.token, req.token);
}

TEST(AllowSpeakerReqTest, BoolFieldPresentOnlyWhenTrue) {
  AllowSpeakerReq req;
  req.room_id = 5;
  req.user_id = 6;
  req.allow = true;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x05, 0x10, 0x06, 0x18, 0x01}));
  req.allow = false;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x05, 0x10, 0x06}));
}

TEST(AllowSpeakerReqTest, AnyNonZeroBoolIsTrue) {
  AllowSpeakerReq req;
  ASSERT_EQ(Decode({0x18, 0x02}, &req), kPbOk);
  EXPECT_TRUE(req.allow);
  ASSERT_EQ(Decode({0x18, 0x00}, &req), kPbOk);
  EXPECT_FALSE(req.allow);
}

TEST(MuteSpeakerReqTest, WireExample) {
  MuteSpeakerReq req;
  req.room_id = 300;
  req.user_id = 1;
  req.unmuted = true;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0xAC, 0x02, 0x10, 0x01, 0x18, 0x01}));
}

TEST(QuitRoomReqTest, WireExample) {
  QuitRoomReq req;
  req.room_id = 128;
  req.user_id = 127;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x80, 0x01, 0x10, 0x7F}));
}

TEST(CloseRoomReqTest, WireExample) {
  CloseRoomReq req;
  req.room_id = 9;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x09}));
}

TEST(CreateRoomReqTest, WireExample) {
  CreateRoomReq req;
  req.room_id = 7;
  req.users.push_back(std::make_unique<CreateRoomReq_User>());
  req.users[0]->user_id = 9;
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x07, 0x12, 0x02, 0x08, 0x09}));
}

TEST(CreateRoomReqTest, EmptyUserIsWrittenAndNullIsLeftOut) {
  CreateRoomReq req;
  req.users.push_back(std::make_unique<CreateRoomReq_User>());
  req.users.push_back(nullptr);
  auto user = std::make_unique<CreateRoomReq_User>();
  user->user_id = 1;
  user->user_type = 2;
  user->token = "k";
  req.users.push_back(std::move(user));
  EXPECT_EQ(Marshal(req), (Bytes{0x12, 0x00, 0x12, 0x07, 0x08, 0x01, 0x10, 0x02, 0x1A, 0x01, 'k'}));
}

TEST(CreateRoomReqTest, DecodesUsersInWireOrder) {
  const Bytes bytes = {0x08, 0x07, 0x12, 0x02, 0x08, 0x09, 0x12, 0x00,
                       0x12, 0x05, 0x10, 0x03, 0x1A, 0x01, 'q'};
  CreateRoomReq req;
  ASSERT_EQ(Decode(bytes, &req), kPbOk);
  EXPECT_EQ(req.room_id, 7u);
  ASSERT_EQ(req.users.size(), 3u);
  EXPECT_EQ(req.users[0]->user_id, 9u);
  EXPECT_EQ(req.users[1]->user_id, 0u);
  EXPECT_EQ(req.users[1]->token, "");
  EXPECT_EQ(req.users[2]->user_type, 3);
  EXPECT_EQ(req.users[2]->token, "q");
}

TEST(CreateRoomReqTest, UserThatFailsStaysInTheList) {
  // Second user: a string field whose length runs past the user's bytes.
  const Bytes bytes = {0x12, 0x02, 0x08, 0x04, 0x12, 0x04, 0x08, 0x05, 0x1A, 0x09};
  CreateRoomReq req;
  EXPECT_EQ(Decode(bytes, &req), kPbErrTruncated);
  ASSERT_EQ(req.users.size(), 2u);
  EXPECT_EQ(req.users[0]->user_id, 4u);
  EXPECT_EQ(req.users[1]->user_id, 5u);
}

TEST(CreateRoomReqTest, UserErrorsComeBackAsIs) {
  CreateRoomReq req;
  EXPECT_EQ(Decode({0x12, 0x02, 0x2E, 0x00}, &req), kPbErrBadWireType);
  EXPECT_EQ(Decode({0x12, 0x01, 0x0C}, &req), kPbErrMalformed);
  EXPECT_EQ(Decode({0x12, 0x01, 0x0A}, &req), kPbErrTruncated);  // user_id sent as bytes
}

TEST(CreateRoomReqTest, UserLengthErrors) {
  CreateRoomReq req;
  EXPECT_EQ(Decode({0x12, 0x05, 0x08}, &req), kPbErrTruncated);
  EXPECT_EQ(Decode({0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, &req), kPbErrMalformed);
  EXPECT_EQ(Decode({0x12, 0x80}, &req), kPbErrTruncated);
  EXPECT_EQ(Decode({0x10, 0x01}, &req), kPbErrTruncated);  // users sent as a varint
  EXPECT_TRUE(req.users.empty());
}

TEST(CreateRoomReqTest, ManyUsersRoundTrip) {
  CreateRoomReq req;
  req.room_id = 0xABCDEF0123ull;
  for (int i = 0; i < 300; ++i) {
    auto user = std::make_unique<CreateRoomReq_User>();
    user->user_id = static_cast<uint64_t>(i) * 7919;
    user->user_type = i % 4 - 1;
    user->token = std::string(static_cast<size_t>(i % 130), static_cast<char>('a' + i % 26));
    req.users.push_back(std::move(user));
  }
  CreateRoomReq back;
  ASSERT_EQ(Decode(Marshal(req), &back), kPbOk);
  EXPECT_EQ(back.room_id, req.room_id);
  ASSERT_EQ(back.users.size(), req.users.size());
  for (size_t i = 0; i < req.users.size(); ++i) {
    EXPECT_EQ(back.users[i]->user_id, req.users[i]->user_id);
    EXPECT_EQ(back.users[i]->user_type, req.users[i]->user_type);
    EXPECT_EQ(back.users[i]->token, req.users[i]->token);
  }
}

TEST(RegisterReqTest, WireExample) {
  RegisterReq req;
  req.server_type = 1;
  req.bgp_ip = "10.0.0.1";
  req.port = 9000;
  EXPECT_EQ(Marshal(req), Cat(Cat({0x08, 0x01, 0x1A, 0x08}, Str("10.0.0.1")), {0x20, 0xA8, 0x46}));
  req.tel_ip = "1.2.3.4";
  req.server_type = 3;
  EXPECT_EQ(Marshal(req), Cat(Cat(Cat(Cat({0x08, 0x03, 0x12, 0x07}, Str("1.2.3.4")), {0x1A, 0x08}),
                                  Str("10.0.0.1")),
                              {0x20, 0xA8, 0x46}));
}

TEST(AddCascadeReqTest, WireExample) {
  AddCascadeReq req;
  req.room_id = 1;
  req.user_id = 2;
  req.reserved = 3;
  req.address = "5.6.7.8:9";
  EXPECT_EQ(Marshal(req), Cat({0x08, 0x01, 0x10, 0x02, 0x18, 0x03, 0x22, 0x09}, Str("5.6.7.8:9")));
}

TEST(MessageRspTest, WireExample) {
  MessageRsp rsp;
  rsp.result = 3;
  EXPECT_EQ(Marshal(rsp), (Bytes{0x08, 0x03}));
  rsp.result = 0xFFFFFFFFu;
  EXPECT_EQ(Marshal(rsp), (Bytes{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
}

TEST(MessageRspTest, Uint32KeepsLow32BitsOfALongVarint) {
  MessageRsp rsp;
  ASSERT_EQ(Decode({0x08, 0x85, 0x80, 0x80, 0x80, 0x10}, &rsp), kPbOk);  // 2^32 + 5
  EXPECT_EQ(rsp.result, 5u);
}

TEST(AddRecorderReqTest, WireExample) {
  AddRecorderReq req;
  req.room_id = 1;
  req.user_id = 2;
  req.unique_id = 300;
  req.token = "tk";
  EXPECT_EQ(Marshal(req), (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0xAC, 0x02, 0x22, 0x02, 't', 'k'}));
}

// ---- Decoding rules -------------------------------------------------------

TEST(UnmarshalTest, RepeatedFieldKeepsTheLastValue) {
  JoinRoomReq req;
  ASSERT_EQ(
      Decode({0x08, 0x01, 0x22, 0x01, 'a', 0x08, 0x02, 0x22, 0x02, 'b', 'c', 0x08, 0x03}, &req),
      kPbOk);
  EXPECT_EQ(req.room_id, 3u);
  EXPECT_EQ(req.token, "bc");
}

TEST(UnmarshalTest, ExistingValuesAreNotReset) {
  JoinRoomReq req;
  req.room_id = 11;
  req.token = "old";
  ASSERT_EQ(Decode({0x10, 0x05}, &req), kPbOk);
  EXPECT_EQ(req.room_id, 11u);
  EXPECT_EQ(req.user_id, 5u);
  EXPECT_EQ(req.token, "old");
}

TEST(UnmarshalTest, EmptyBodyDecodes) {
  MessageRsp rsp;
  EXPECT_EQ(Decode({}, &rsp), kPbOk);
  EXPECT_EQ(rsp.result, 0u);
}

TEST(UnmarshalTest, EveryErrorCode) {
  const std::vector<testing_support::DecodeCase> cases = {
      {"end-group key", {0x08, 0x01, 0x0C}, kPbErrMalformed},
      {"end-group key of field 0", {0x04}, kPbErrMalformed},
      {"overlong key",
       {0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       kPbErrMalformed},
      {"overlong uint64",
       {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       kPbErrMalformed},
      {"negative string length", {0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, kPbErrMalformed},
      {"string length of 2^32 + 1", {0x22, 0x81, 0x80, 0x80, 0x80, 0x10, 'x'}, kPbErrMalformed},
      {"key cut", {0x88}, kPbErrTruncated},
      {"uint64 cut", {0x08, 0x80}, kPbErrTruncated},
      {"uint64 missing", {0x08}, kPbErrTruncated},
      {"int32 cut", {0x18, 0xFF}, kPbErrTruncated},
      {"string length cut", {0x22, 0x80}, kPbErrTruncated},
      {"string past the end", {0x22, 0x04, 'a', 'b', 'c'}, kPbErrTruncated},
      {"uint64 sent as bytes", {0x0A, 0x01, 0x01}, kPbErrTruncated},
      {"string sent as varint", {0x20, 0x01}, kPbErrTruncated},
      {"int32 sent as fixed32", {0x1D, 1, 2, 3, 4}, kPbErrTruncated},
      {"field number 0", {0x00, 0x01}, kPbErrTruncated},
      {"field number 0, wire type 7", {0x07}, kPbErrTruncated},
      {"unknown fixed64 past the end", {0x31, 1, 2, 3}, kPbErrTruncated},
      {"unknown fixed32 past the end", {0x35, 1}, kPbErrTruncated},
      {"unknown string past the end", {0x3A, 0x05, 'a'}, kPbErrTruncated},
      {"unknown group unterminated", {0x3B, 0x08, 0x01}, kPbErrTruncated},
      {"unknown wire type 6", {0x36, 0x00}, kPbErrBadWireType},
      {"unknown wire type 7", {0x37}, kPbErrBadWireType},
      {"unknown negative length", {0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, kPbErrNegativeLength},
  };
  for (const testing_support::DecodeCase& c : cases) {
    JoinRoomReq req;
    EXPECT_EQ(Decode(c.bytes, &req), c.result) << c.name;
  }
}

TEST(UnmarshalTest, FieldsBeforeAnErrorStay) {
  JoinRoomReq req;
  req.user_type = 9;
  EXPECT_EQ(Decode({0x08, 0x04, 0x22, 0x01, 'z', 0x18, 0x80}, &req), kPbErrTruncated);
  EXPECT_EQ(req.room_id, 4u);
  EXPECT_EQ(req.token, "z");
  EXPECT_EQ(req.user_type, 9);  // int32 changes only on success
  EXPECT_EQ(Decode({0x10, 0x81, 0x82}, &req), kPbErrTruncated);
  EXPECT_EQ(req.user_id, 1u | (2u << 7));  // uint64 holds the bits read so far
  EXPECT_EQ(Decode({0x22, 0x03, 'a'}, &req), kPbErrTruncated);
  EXPECT_EQ(req.token, "z");  // string replaced only when complete
  MessageRsp rsp;
  rsp.result = 8;
  EXPECT_EQ(Decode({0x08, 0x80}, &rsp), kPbErrTruncated);
  EXPECT_EQ(rsp.result, 0u);  // uint32 is cleared first
}

// ---- Every class: unknown fields, truncation, round trips --------------------

// A fully populated message, its exact encoding, and the offsets where its
// fields end (every prefix ending elsewhere is truncated).
struct ClassCase {
  const char* name;
  std::function<std::unique_ptr<PbObj>()> make_filled;
  std::function<std::unique_ptr<PbObj>()> make_empty;
  std::function<void(const PbObj&, const PbObj&)> expect_equal;
  Bytes encoding;
  std::set<size_t> field_ends;
};

std::vector<ClassCase> AllClasses() {
  std::vector<ClassCase> cases;
  cases.push_back({"RegisterReq",
                   [] {
                     auto m = std::make_unique<RegisterReq>();
                     m->server_type = -3;
                     m->tel_ip = "t";
                     m->bgp_ip = "bb";
                     m->port = 65535;
                     return m;
                   },
                   [] { return std::make_unique<RegisterReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const RegisterReq&>(a);
                     const auto& y = static_cast<const RegisterReq&>(b);
                     EXPECT_EQ(x.server_type, y.server_type);
                     EXPECT_EQ(x.tel_ip, y.tel_ip);
                     EXPECT_EQ(x.bgp_ip, y.bgp_ip);
                     EXPECT_EQ(x.port, y.port);
                   },
                   {0x08, 0xFD, 0xFF, 0xFF, 0xFF, 0x0F, 0x12, 0x01, 't', 0x1A, 0x02, 'b', 'b', 0x20,
                    0xFF, 0xFF, 0x03},
                   {6, 9, 13, 17}});
  cases.push_back({"JoinRoomReq",
                   [] {
                     auto m = std::make_unique<JoinRoomReq>();
                     m->room_id = 1;
                     m->user_id = 300;
                     m->user_type = 2;
                     m->token = "abc";
                     return m;
                   },
                   [] { return std::make_unique<JoinRoomReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const JoinRoomReq&>(a);
                     const auto& y = static_cast<const JoinRoomReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     EXPECT_EQ(x.user_id, y.user_id);
                     EXPECT_EQ(x.user_type, y.user_type);
                     EXPECT_EQ(x.token, y.token);
                   },
                   {0x08, 0x01, 0x10, 0xAC, 0x02, 0x18, 0x02, 0x22, 0x03, 'a', 'b', 'c'},
                   {2, 5, 7, 12}});
  cases.push_back({"QuitRoomReq",
                   [] {
                     auto m = std::make_unique<QuitRoomReq>();
                     m->room_id = 2;
                     m->user_id = 3;
                     return m;
                   },
                   [] { return std::make_unique<QuitRoomReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const QuitRoomReq&>(a);
                     const auto& y = static_cast<const QuitRoomReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     EXPECT_EQ(x.user_id, y.user_id);
                   },
                   {0x08, 0x02, 0x10, 0x03},
                   {2, 4}});
  cases.push_back({"AllowSpeakerReq",
                   [] {
                     auto m = std::make_unique<AllowSpeakerReq>();
                     m->room_id = 2;
                     m->user_id = 3;
                     m->allow = true;
                     return m;
                   },
                   [] { return std::make_unique<AllowSpeakerReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const AllowSpeakerReq&>(a);
                     const auto& y = static_cast<const AllowSpeakerReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     EXPECT_EQ(x.user_id, y.user_id);
                     EXPECT_EQ(x.allow, y.allow);
                   },
                   {0x08, 0x02, 0x10, 0x03, 0x18, 0x01},
                   {2, 4, 6}});
  cases.push_back({"MuteSpeakerReq",
                   [] {
                     auto m = std::make_unique<MuteSpeakerReq>();
                     m->room_id = 2;
                     m->user_id = 3;
                     m->unmuted = true;
                     return m;
                   },
                   [] { return std::make_unique<MuteSpeakerReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const MuteSpeakerReq&>(a);
                     const auto& y = static_cast<const MuteSpeakerReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     EXPECT_EQ(x.user_id, y.user_id);
                     EXPECT_EQ(x.unmuted, y.unmuted);
                   },
                   {0x08, 0x02, 0x10, 0x03, 0x18, 0x01},
                   {2, 4, 6}});
  cases.push_back({"CloseRoomReq",
                   [] {
                     auto m = std::make_unique<CloseRoomReq>();
                     m->room_id = 1ull << 40;
                     return m;
                   },
                   [] { return std::make_unique<CloseRoomReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     EXPECT_EQ(static_cast<const CloseRoomReq&>(a).room_id,
                               static_cast<const CloseRoomReq&>(b).room_id);
                   },
                   {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20},
                   {7}});
  cases.push_back({"CreateRoomReq_User",
                   [] {
                     auto m = std::make_unique<CreateRoomReq_User>();
                     m->user_id = 4;
                     m->user_type = 1;
                     m->token = "xy";
                     return m;
                   },
                   [] { return std::make_unique<CreateRoomReq_User>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const CreateRoomReq_User&>(a);
                     const auto& y = static_cast<const CreateRoomReq_User&>(b);
                     EXPECT_EQ(x.user_id, y.user_id);
                     EXPECT_EQ(x.user_type, y.user_type);
                     EXPECT_EQ(x.token, y.token);
                   },
                   {0x08, 0x04, 0x10, 0x01, 0x1A, 0x02, 'x', 'y'},
                   {2, 4, 8}});
  cases.push_back({"CreateRoomReq",
                   [] {
                     auto m = std::make_unique<CreateRoomReq>();
                     m->room_id = 7;
                     auto u1 = std::make_unique<CreateRoomReq_User>();
                     u1->user_id = 9;
                     m->users.push_back(std::move(u1));
                     auto u2 = std::make_unique<CreateRoomReq_User>();
                     u2->user_type = 2;
                     u2->token = "k";
                     m->users.push_back(std::move(u2));
                     return m;
                   },
                   [] { return std::make_unique<CreateRoomReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const CreateRoomReq&>(a);
                     const auto& y = static_cast<const CreateRoomReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     ASSERT_EQ(x.users.size(), y.users.size());
                     for (size_t i = 0; i < x.users.size(); ++i) {
                       EXPECT_EQ(x.users[i]->user_id, y.users[i]->user_id);
                       EXPECT_EQ(x.users[i]->user_type, y.users[i]->user_type);
                       EXPECT_EQ(x.users[i]->token, y.users[i]->token);
                     }
                   },
                   {0x08, 0x07, 0x12, 0x02, 0x08, 0x09, 0x12, 0x05, 0x10, 0x02, 0x1A, 0x01, 'k'},
                   {2, 6, 13}});
  cases.push_back(
      {"AddCascadeReq",
       [] {
         auto m = std::make_unique<AddCascadeReq>();
         m->room_id = 1;
         m->user_id = 2;
         m->reserved = -1;
         m->address = "a:1";
         return m;
       },
       [] { return std::make_unique<AddCascadeReq>(); },
       [](const PbObj& a, const PbObj& b) {
         const auto& x = static_cast<const AddCascadeReq&>(a);
         const auto& y = static_cast<const AddCascadeReq&>(b);
         EXPECT_EQ(x.room_id, y.room_id);
         EXPECT_EQ(x.user_id, y.user_id);
         EXPECT_EQ(x.reserved, y.reserved);
         EXPECT_EQ(x.address, y.address);
       },
       {0x08, 0x01, 0x10, 0x02, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x22, 0x03, 'a', ':', '1'},
       {2, 4, 10, 15}});
  cases.push_back({"MessageRsp",
                   [] {
                     auto m = std::make_unique<MessageRsp>();
                     m->result = 1;
                     return m;
                   },
                   [] { return std::make_unique<MessageRsp>(); },
                   [](const PbObj& a, const PbObj& b) {
                     EXPECT_EQ(static_cast<const MessageRsp&>(a).result,
                               static_cast<const MessageRsp&>(b).result);
                   },
                   {0x08, 0x01},
                   {2}});
  cases.push_back({"AddRecorderReq",
                   [] {
                     auto m = std::make_unique<AddRecorderReq>();
                     m->room_id = 1;
                     m->user_id = 2;
                     m->unique_id = 3;
                     m->token = "t";
                     return m;
                   },
                   [] { return std::make_unique<AddRecorderReq>(); },
                   [](const PbObj& a, const PbObj& b) {
                     const auto& x = static_cast<const AddRecorderReq&>(a);
                     const auto& y = static_cast<const AddRecorderReq&>(b);
                     EXPECT_EQ(x.room_id, y.room_id);
                     EXPECT_EQ(x.user_id, y.user_id);
                     EXPECT_EQ(x.unique_id, y.unique_id);
                     EXPECT_EQ(x.token, y.token);
                   },
                   {0x08, 0x01, 0x10, 0x02, 0x18, 0x03, 0x22, 0x01, 't'},
                   {2, 4, 6, 9}});
  return cases;
}

TEST(EveryClassTest, ExactEncodingAndRoundTrip) {
  for (const ClassCase& c : AllClasses()) {
    SCOPED_TRACE(c.name);
    const auto filled = c.make_filled();
    EXPECT_EQ(filled->Size(), c.encoding.size());
    EXPECT_EQ(Marshal(*filled), c.encoding);
    auto back = c.make_empty();
    ASSERT_EQ(Decode(c.encoding, back.get()), kPbOk);
    c.expect_equal(*filled, *back);
    EXPECT_EQ(c.make_empty()->Size(), 0u);
  }
}

TEST(EveryClassTest, UnknownFieldsOfEveryWireTypeAreSkipped) {
  for (const ClassCase& c : AllClasses()) {
    SCOPED_TRACE(c.name);
    const auto filled = c.make_filled();
    for (const Bytes& bytes : {Cat(kUnknownFields, c.encoding), Cat(c.encoding, kUnknownFields)}) {
      auto back = c.make_empty();
      ASSERT_EQ(Decode(bytes, back.get()), kPbOk);
      c.expect_equal(*filled, *back);
    }
    // Between every two known fields as well.
    Bytes interleaved;
    size_t start = 0;
    for (size_t end : c.field_ends) {
      interleaved =
          Cat(Cat(interleaved, kUnknownFields), Bytes(c.encoding.begin() + static_cast<long>(start),
                                                      c.encoding.begin() + static_cast<long>(end)));
      start = end;
    }
    auto back = c.make_empty();
    ASSERT_EQ(Decode(interleaved, back.get()), kPbOk);
    c.expect_equal(*filled, *back);
  }
}

TEST(EveryClassTest, TruncationAtEveryLength) {
  for (const ClassCase& c : AllClasses()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(*c.field_ends.rbegin(), c.encoding.size());
    for (size_t cut = 0; cut <= c.encoding.size(); ++cut) {
      const Bytes prefix(c.encoding.begin(), c.encoding.begin() + static_cast<long>(cut));
      auto msg = c.make_empty();
      const int expected = (cut == 0 || c.field_ends.count(cut)) ? kPbOk : kPbErrTruncated;
      EXPECT_EQ(Decode(prefix, msg.get()), expected) << "cut at " << cut;
    }
  }
}

TEST(EveryClassTest, FieldNumberZeroAndEndGroupAreRefused) {
  for (const ClassCase& c : AllClasses()) {
    SCOPED_TRACE(c.name);
    auto msg = c.make_empty();
    EXPECT_EQ(Decode(Cat(c.encoding, {0x00}), msg.get()), kPbErrTruncated);
    msg = c.make_empty();
    EXPECT_EQ(Decode(Cat(c.encoding, {0x0C}), msg.get()), kPbErrMalformed);
    msg = c.make_empty();
    EXPECT_EQ(Decode(Cat(c.encoding, {0x3E}), msg.get()), kPbErrBadWireType);
  }
}

}  // namespace
}  // namespace corvaneserver
