// A row of the control encoding's decoding tables: what the row is called,
// the bytes, and what decoding them returns (a length or an error code).
#ifndef TESTS_SUPPORT_DECODE_CASE_H_
#define TESTS_SUPPORT_DECODE_CASE_H_

#include <cstdint>
#include <vector>

namespace corvaneserver {
namespace testing_support {

struct DecodeCase {
  const char* name;
  std::vector<uint8_t> bytes;
  int result;
};

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_DECODE_CASE_H_
