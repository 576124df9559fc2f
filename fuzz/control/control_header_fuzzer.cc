// Arbitrary bytes as a received control message: the header and body
// accessors must agree with each other and never read past the message.
#include <cstddef>
#include <cstdint>

#include "control/control_header.h"

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvaneserver;
  const auto input = fuzzcheck::ExactCopy(data, size);
  const uint8_t* message = input.get();

  ControlHeader header;
  const bool parsed = ParseControlHeader(message, size, &header);
  fuzzcheck::Check(parsed == (size >= kControlHeaderSize));
  size_t body_size = 0;
  const uint8_t* body = ControlBody(message, size, &body_size);
  if (size > kControlHeaderSize) {
    fuzzcheck::Check(body == message + kControlHeaderSize);
    fuzzcheck::Check(body_size == size - kControlHeaderSize);
  } else {
    fuzzcheck::Check(body == nullptr && body_size == 0);
  }
  ControlResponse read_back;
  const bool is_response = ParseResponseFrame(message, size, &read_back);
  fuzzcheck::Check(is_response ==
                   (size == kResponseFrameSize && message[3] == kControlKindResponse));
  if (!parsed) return 0;

  // Rebuilding the header from its fields gives back the same ten bytes.
  uint8_t rebuilt[kControlHeaderSize];
  WriteControlHeader(rebuilt, header.length, header.kind, header.message_id, header.session_id);
  for (size_t i = 0; i < kControlHeaderSize; ++i) fuzzcheck::Check(rebuilt[i] == message[i]);

  // A response echoes the session id and nothing else of the request.
  const auto response = BuildResponseFrame(header.session_id, -1);
  fuzzcheck::Check(response[0] == 0 && response[1] == 0 && response[2] == kResponseFrameSize);
  fuzzcheck::Check(response[3] == kControlKindResponse);
  for (size_t i = 0; i < 4; ++i) fuzzcheck::Check(response[4 + i] == message[6 + i]);
  fuzzcheck::Check(response[8] == 0xFF && response[9] == 0xFF);
  fuzzcheck::Check(ParseResponseFrame(response.data(), response.size(), &read_back));
  fuzzcheck::Check(read_back.session_id == header.session_id && read_back.result == -1);
  return 0;
}
