#include "client/media_datagrams.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

std::vector<uint8_t> Bytes(const uint8_t* data, size_t size) {
  return std::vector<uint8_t>(data, data + size);
}

// Classifies a copy held in a buffer of exactly `size` bytes, so that a read
// past the end shows under the sanitizers.
IncomingDatagram ClassifyExact(const std::vector<uint8_t>& bytes, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  std::copy(bytes.begin(), bytes.begin() + static_cast<long>(size), copy.get());
  return ClassifyIncoming(copy.get(), size);
}

TEST(MediaDatagramsTest, DetectIsCOrVersionAndUserId) {
  uint8_t out[kDetectSize];
  ASSERT_EQ(BuildDetect(0x0102030405060708ull, out), 12u);
  EXPECT_EQ(Bytes(out, 12), (std::vector<uint8_t>{'C', 'O', 'r', 1, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(IsDetectDatagram(out, 12));
  EXPECT_FALSE(IsDetectDatagram(out, 11));
  EXPECT_EQ(ClassifyIncoming(out, 12).kind, Incoming::kDetectEcho);
}

TEST(MediaDatagramsTest, VoiceWithTokenByteForByte) {
  const std::string token = "ab";
  MediaFields fields;
  fields.payload_type = 0x64;
  fields.ask_ack = true;
  fields.sequence = 0x01020304;
  fields.user_id = 0x1122334455667788ull;
  fields.token = &token;
  fields.kind = StreamKind::kVoice;
  fields.stream_index = 0x0A0B0C0D;
  fields.send_time_us = 0x0000010203040506ll;
  fields.payload_size = 18;
  uint8_t out[64];
  const size_t size = BuildMedia(fields, out, sizeof(out));
  const std::vector<uint8_t> expected = {
      0x90, 0x64, 0x01, 0x02, 0x03, 0x04,              // flags, type, sequence
      0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // user id
      0x08, 0x02, 'a',  'b',                           // token header, token
      'c',  'v',  0x01, 0x00, 0x0A, 0x0B, 0x0C, 0x0D,  // probe: kind, index
      0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,  // send time
      16,   17,                                        // filler
  };
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(Bytes(out, size), expected);
}

TEST(MediaDatagramsTest, NoTokenWritesAZeroTokenHeader) {
  MediaFields fields;
  fields.payload_type = kMusicPayloadType;
  fields.kind = StreamKind::kMusic;
  fields.user_id = 5;
  uint8_t out[64];
  const size_t size = BuildMedia(fields, out, sizeof(out));
  ASSERT_EQ(size, 14u + 2u + kProbeSize);
  EXPECT_EQ(out[0], 0x80);  // no acknowledgement asked
  EXPECT_EQ(out[1], 0x80);
  EXPECT_EQ(out[14], 0);
  EXPECT_EQ(out[15], 0);
  EXPECT_EQ(out[16], 'c');
  EXPECT_EQ(out[18], 3);  // music
}

TEST(MediaDatagramsTest, RefusesWhatDoesNotFit) {
  const std::string token(2048, 't');
  MediaFields fields;
  uint8_t out[1500];
  fields.token = &token;
  EXPECT_EQ(BuildMedia(fields, out, sizeof(out)), 0u);  // token too long
  fields.token = nullptr;
  fields.payload_size = kProbeSize - 1;
  EXPECT_EQ(BuildMedia(fields, out, sizeof(out)), 0u);  // no room for the probe
  fields.payload_size = kProbeSize;
  EXPECT_EQ(BuildMedia(fields, out, 14 + 2 + kProbeSize - 1), 0u);
  EXPECT_EQ(BuildMedia(fields, out, 14 + 2 + kProbeSize), 14u + 2u + kProbeSize);
}

TEST(MediaDatagramsTest, ClientAckByteForByte) {
  const std::string token = "k";
  uint8_t out[64];
  const size_t size = BuildClientAck(0x82, 0xDEADBEEF, 7, &token, 9, out, sizeof(out));
  const std::vector<uint8_t> expected = {
      0x80, 0x81, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 7,  // header, own id
      0x08, 0x01, 'k',                                             // token
      0,    0,    0,    0,    0,    0,    0, 9,                    // original sender
  };
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(Bytes(out, size), expected);
  EXPECT_EQ(BuildClientAck(0x82, 1, 7, &token, 9, out, expected.size() - 1), 0u);
  // Acknowledging type 0 wraps to 0xFF.
  ASSERT_GT(BuildClientAck(0x00, 1, 7, nullptr, 9, out, sizeof(out)), 0u);
  EXPECT_EQ(out[1], 0xFF);
}

TEST(MediaDatagramsTest, ReceiverReportByteForByte) {
  const ReportBlock blocks[2] = {{0x0102, 0x0A0B0C0D}, {3, 4}};
  uint8_t out[64];
  const size_t size = BuildReceiverReport(5, 6, blocks, 2, out, sizeof(out));
  const std::vector<uint8_t> expected = {
      0x82, 0xC8, 0, 0, 0, 5, 0, 0, 0,    0,    0,    0,    0, 6,  // flags carry the block count
      0,    0,    0, 0, 0, 0, 1, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 4,
  };
  ASSERT_EQ(size, expected.size());
  EXPECT_EQ(Bytes(out, size), expected);
  ReportBlock many[16] = {};
  EXPECT_EQ(BuildReceiverReport(0, 0, many, 16, out, sizeof(out)), 0u);
  EXPECT_EQ(BuildReceiverReport(0, 0, blocks, 2, out, 37), 0u);
}

TEST(MediaDatagramsTest, CascadeAnswerByteForByte) {
  uint8_t out[kCascadeDatagramSize];
  ASSERT_EQ(BuildCascadeAnswer(0x0102030405060708ull, 0xAABBCCDD, out), 18u);
  EXPECT_EQ(Bytes(out, 18), (std::vector<uint8_t>{0xA0, 0x6E, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8,
                                                  0xAA, 0xBB, 0xCC, 0xDD}));
  const IncomingDatagram in = ClassifyIncoming(out, 18);
  EXPECT_EQ(in.kind, Incoming::kCascade);
  EXPECT_EQ(in.id, 0x0102030405060708ull);
  EXPECT_EQ(in.cascade_hash, 0xAABBCCDDu);
}

TEST(MediaDatagramsTest, ClassifiesServerAnswers) {
  // Authentication answer, 15 bytes.
  std::vector<uint8_t> auth = {0xA0, 0x62, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 7, 0};
  EXPECT_EQ(ClassifyExact(auth, auth.size()).kind, Incoming::kAuthAnswer);
  // Acknowledgement of a 0x82 datagram: 22 bytes, the acknowledged sender at 14.
  std::vector<uint8_t> ack = {0xA0, 0x81, 0, 0, 0, 9, 0, 0, 0, 0, 0,
                              0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 7};
  const IncomingDatagram a = ClassifyExact(ack, ack.size());
  EXPECT_EQ(a.kind, Incoming::kAck);
  EXPECT_EQ(a.sequence, 9u);
  EXPECT_EQ(a.acked_user_id, 7u);
  EXPECT_EQ(ClassifyExact(ack, 21).kind, Incoming::kMalformed);
  // Server receiver report, 26 bytes.
  std::vector<uint8_t> report = {0xA1, 0xC8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0,    0,    0, 0, 0, 0, 0, 0, 7, 0, 0, 1, 0};
  const IncomingDatagram r = ClassifyExact(report, report.size());
  EXPECT_EQ(r.kind, Incoming::kServerReport);
  EXPECT_EQ(r.report_user_id, 7u);
  EXPECT_EQ(r.report_value, 256u);
  EXPECT_EQ(ClassifyExact(report, 25).kind, Incoming::kMalformed);
}

TEST(MediaDatagramsTest, ReadsTheProbeBehindTheToken) {
  const std::string token = "tok";
  MediaFields fields;
  fields.payload_type = kReliablePayloadType;
  fields.kind = StreamKind::kReliable;
  fields.stream_index = 77;
  fields.send_time_us = 123456789;
  fields.sequence = 5;
  fields.user_id = 42;
  fields.token = &token;
  uint8_t out[128];
  const size_t size = BuildMedia(fields, out, sizeof(out));
  const std::vector<uint8_t> bytes(out, out + size);
  const IncomingDatagram in = ClassifyExact(bytes, size);
  EXPECT_EQ(in.kind, Incoming::kMedia);
  EXPECT_TRUE(in.has_probe);
  EXPECT_EQ(in.stream, StreamKind::kReliable);
  EXPECT_EQ(in.stream_index, 77u);
  EXPECT_EQ(in.send_time_us, 123456789);
  EXPECT_EQ(in.id, 42u);
  EXPECT_EQ(in.sequence, 5u);
  // Every truncation is classified without reading past the end.
  for (size_t cut = 0; cut < size; ++cut) {
    const IncomingDatagram part = ClassifyExact(bytes, cut);
    EXPECT_FALSE(part.has_probe) << cut;
  }
}

TEST(MediaDatagramsTest, ATokenLengthPastTheEndLeavesNoProbe) {
  std::vector<uint8_t> bytes(14 + 2 + kProbeSize, 0);
  bytes[1] = 0x64;
  bytes[14] = 0x0F;  // claims 2047 token bytes
  bytes[15] = 0xFF;
  const IncomingDatagram in = ClassifyExact(bytes, bytes.size());
  EXPECT_EQ(in.kind, Incoming::kMedia);
  EXPECT_FALSE(in.has_probe);
}

TEST(MediaDatagramsTest, FecBlockWithoutSourcesAndShortDatagramsAreMalformed) {
  std::vector<uint8_t> fec(40, 0);
  fec[1] = 0x50;  // k = 0
  EXPECT_EQ(ClassifyExact(fec, fec.size()).kind, Incoming::kMalformed);
  fec[18] = 1;  // s = b = 0, k = 1: a source whose length 0 holds no media
  EXPECT_EQ(ClassifyExact(fec, fec.size()).kind, Incoming::kMalformed);
  EXPECT_EQ(ClassifyExact(fec, 19).kind, Incoming::kMalformed);
  std::vector<uint8_t> tiny = {0x80, 0x64, 0, 0};
  EXPECT_EQ(ClassifyExact(tiny, tiny.size()).kind, Incoming::kMalformed);
  EXPECT_EQ(ClassifyExact(tiny, 0).kind, Incoming::kMalformed);
}

TEST(MediaDatagramsTest, StreamSlots) {
  EXPECT_EQ(StreamSlot(StreamKind::kVoice), 0);
  EXPECT_EQ(StreamSlot(StreamKind::kReliable), 1);
  EXPECT_EQ(StreamSlot(StreamKind::kMusic), 2);
  EXPECT_EQ(StreamSlot(StreamKind::kControl), -1);
}

}  // namespace
}  // namespace corvanetools
