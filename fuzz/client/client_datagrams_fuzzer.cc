// Feeds arbitrary bytes to the client simulator's reading of what a server
// sends it (plain and FEC datagrams, the media and probe inside), as an
// exactly sized buffer so that a read past its end trips ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "client/fec_stream.h"
#include "client/media_datagrams.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const corvanetools::IncomingDatagram in = corvanetools::ClassifyIncoming(copy.get(), size);
  if (in.fec) {
    Check(in.kind == corvanetools::Incoming::kMedia);
    corvanetools::FecHeader header;
    Check(corvanetools::ParseFecHeader(copy.get(), size, &header));
    Check(header.IsSource() && header.user_id == in.id);
  }
  if (in.has_probe) Check(in.kind == corvanetools::Incoming::kMedia);
  return 0;
}
