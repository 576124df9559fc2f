// Receiver reports: the parser alone, then the whole route through the server.
#include <cstddef>
#include <cstdint>

#include "channel/receiver_report.h"

#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvaneserver;
  ParsedReceiverReport report;
  if (ParseReceiverReport(data, size, &report)) {
    // Only blocks wholly inside the datagram, never more than declared.
    if (report.block_count > report.declared_blocks ||
        kReceiverReportHeaderSize + report.block_count * kReceiverReportBlockSize > size) {
      __builtin_trap();
    }
  } else if (size >= kReceiverReportHeaderSize) {
    __builtin_trap();
  }
  RouteThroughServer(data, size, kReceiverReportPayloadType);
  FuzzServer().RedeliverTimerProcess();
  return 0;
}
