// The FEC decoder fed a sequence of FEC datagrams whose headers are mostly
// plausible (sequence numbers near each other, blocks that fit) and sometimes
// absurd (any k and r, any start, any length), with the passes in between.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/byte_io.h"
#include "base/logging.h"
#include "fec/decoder.h"
#include "fec/fec_packet.h"

namespace {

// Reads the input front to back; zero once it runs out.
struct Reader {
  const uint8_t* data;
  size_t size;
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint32_t Word() {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) word = word << 8 | Byte();
    return word;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    rtc::LogMessage::SetLogToStderr(false);
    return true;
  }();
  (void)quiet;
  uint64_t handed_out = 0;
  fec::Decoder decoder(
      [&handed_out](const unsigned char* media, unsigned int len) {
        // At most a whole datagram (a plain one is passed through as it is).
        if (len > fec::kFecPacketCapacity + 8) __builtin_trap();
        // Touch every byte: a read past a buffer shows up under the sanitizer.
        unsigned sum = 0;
        for (unsigned i = 0; i < len; ++i) sum += media[i];
        handed_out += sum + 1;
        return 0;
      },
      [](unsigned int, unsigned short mask) { return mask == 0 ? -1 : 0; });

  Reader in{data, size};
  uint8_t datagram[fec::kFecPacketCapacity + 8];
  uint32_t base = in.Word();
  for (int count = 0; in.size > 0 && count < 4096; ++count) {
    const uint8_t op = in.Byte();
    uint32_t s;
    uint32_t b;
    uint8_t k;
    uint8_t r;
    if (op < 200) {
      // Plausible: a block of (k, r) near base, one of its datagrams.
      k = static_cast<uint8_t>(1 + in.Byte() % 20);
      r = static_cast<uint8_t>(in.Byte() % 10);
      b = base + (in.Byte() % 8) * (k + r);
      s = b + in.Byte() % (k + r);
      if (op % 16 == 0) base += k + r;
    } else {
      s = in.Word();
      b = in.Word();
      k = in.Byte();
      r = in.Byte();
    }
    const uint8_t length_choice = in.Byte();
    uint32_t len = length_choice < 128 ? fec::kFecPacketCapacity : length_choice * 6;
    if (op == 255) len = in.Byte() % 24;
    if (len > sizeof(datagram)) len = sizeof(datagram);
    std::memset(datagram, 0, sizeof(datagram));
    datagram[1] = op == 254 ? 0x51 : fec::kFecMarker;
    rtc::SetBE64(datagram + 2, 42);
    rtc::SetBE32(datagram + 10, s);
    rtc::SetBE32(datagram + 14, b);
    datagram[18] = k;
    datagram[19] = r;
    // The symbol: a length field and some bytes from the input.
    const uint16_t media_len = static_cast<uint16_t>(in.Word() % 1600);
    rtc::SetBE16(datagram + 20, media_len);
    const uint32_t filled = in.Byte() % 64;
    for (uint32_t i = 0; i < filled; ++i) datagram[22 + i] = in.Byte();
    decoder.OnPacketReceived(datagram, len);
    if (op % 7 == 0) decoder.Run();
  }
  // A slot holds at most one buffer, whatever the sender does.
  if (decoder.BufferCount() > fec::kRingSize) __builtin_trap();
  return 0;
}
