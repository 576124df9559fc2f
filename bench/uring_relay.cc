// uring_relay: baseline_relay's learning relay with its datagrams read and
// sent through io_uring, to measure what io_uring is worth against
// recvmmsg/sendmmsg on this kernel (scripts/bench --uring; the figures are in
// bench/results/io_uring.md).
//
// The same rooms, learning, answers, command line and counters line as
// baseline_relay (bench/learning_relay.h). One thread, one socket, one ring:
//   - Receiving: one multishot recvmsg request, its buffers taken from a
//     ring-mapped provided-buffer group of kBufferCount buffers. Each
//     completion is one datagram in one buffer; the request is armed again
//     when the kernel ends it (buffers ran out, or an error).
//   - Sending: every completion read in one pass over the completion queue is
//     handled, each datagram it causes queued as a sendmsg request pointing
//     into the receive buffer (or at the acknowledgement built beside it), and
//     the whole pass's sends go to the kernel with the next io_uring_enter,
//     which also waits for the next datagrams: one system call per batch. A
//     buffer goes back to the group when the last send out of it completed.
//   - The ring is set up single-issuer with deferred task work where the
//     kernel has it, so the receives run when this thread enters the kernel.
//
// A kernel without io_uring (or with it disabled), without multishot recvmsg
// (Linux 6.0) or without ring-mapped provided buffers (Linux 5.19) gets a
// clear error and exit status 3; the benchmark then leaves this relay out.
// Every kernel with multishot recvmsg has ring-mapped buffers, so there is
// no fallback to buffers provided one request at a time.
#include <liburing.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "learning_relay.h"

namespace {

constexpr unsigned kQueueEntries = 4096;  // send requests queued before a submit
// A pass over the completion queue stops handling datagrams once it queued
// this many sends (the rest wait for the next pass), so that their
// completions fit the completion queue.
constexpr size_t kSendsPerPass = kQueueEntries;
constexpr unsigned kCompletionEntries = 16384;
constexpr unsigned kBufferCount = 1024;  // provided receive buffers; a power of two
constexpr unsigned kGroup = 0;           // the provided-buffer group id
constexpr int kUnsupported = 3;          // exit status when the kernel lacks what is needed
// Each provided buffer holds the kernel's recvmsg header, the source address
// and the datagram; an acknowledgement's room sits after it.
constexpr size_t kSlotSize =
    sizeof(io_uring_recvmsg_out) + sizeof(sockaddr_in) + relay::kBufferSize;
constexpr size_t kAnswerOffset = kSlotSize;
constexpr size_t kSlotStride = (kSlotSize + relay::kAckSize + 63) / 64 * 64;
// user_data of a request: its kind in the top byte, a buffer id below.
constexpr uint64_t kReceiveTag = uint64_t{1} << 56;
constexpr uint64_t kSendTag = uint64_t{2} << 56;
constexpr uint64_t kIdMask = (uint64_t{1} << 56) - 1;
// Completions one wait asks for at most; well inside the completion queue.
constexpr size_t kMaxWait = kCompletionEntries / 2;
constexpr long kWaitNanoseconds = 10'000'000;  // idle: the clock and the stop flag every 10 ms

std::string KernelRelease() {
  utsname name{};
  return ::uname(&name) == 0 ? name.release : "unknown";
}

class UringRelay {
 public:
  // plain_send: IORING_OP_SEND with the address beside it instead of
  // IORING_OP_SENDMSG (no message header for the kernel to copy).
  UringRelay(relay::LearningRelay* rooms, bool plain_send)
      : rooms_(*rooms), plain_send_(plain_send) {}
  ~UringRelay();
  // Sets up the ring and the buffers. False with *error; *unsupported when
  // the kernel lacks a feature rather than something failing.
  bool Open(int fd, std::string* error, bool* unsupported);
  // False with *error when the kernel turns the multishot receive down.
  bool Run(double max_seconds, std::string* error);

 private:
  struct Send {
    msghdr header;
    iovec vector;
    sockaddr_in to;
  };

  uint8_t* Slot(uint32_t id) { return slots_ + static_cast<size_t>(id) * kSlotStride; }
  void ArmReceive();
  io_uring_sqe* NextSqe();
  void Queue(uint32_t id, const void* data, size_t size, const sockaddr_in* to);
  void Received(const io_uring_cqe& cqe);
  void Recycle(uint32_t id);

  relay::LearningRelay& rooms_;
  relay::Counters& counters_ = rooms_.counters();
  const bool plain_send_;
  int fd_ = -1;
  io_uring ring_{};
  bool ring_open_ = false;
  io_uring_buf_ring* buffer_ring_ = nullptr;
  size_t buffer_ring_bytes_ = 0;
  uint8_t* slots_ = nullptr;
  size_t slots_bytes_ = 0;
  unsigned recycled_ = 0;  // buffers added to the group since the last advance
  msghdr receive_header_{};
  bool receiving_ = false;  // the multishot receive is armed
  bool first_receive_ = true;
  // Sends still in flight out of each buffer.
  std::vector<uint32_t> pending_;
  // Headers of the sends queued since the last submit: the kernel copies them
  // when it takes the request in, so they are reused after each submit.
  std::vector<Send> sends_;
  size_t send_count_ = 0;
  size_t queued_in_pass_ = 0;
  size_t in_flight_ = 0;  // sends whose completion was not reaped yet
};

UringRelay::~UringRelay() {
  if (ring_open_) io_uring_queue_exit(&ring_);
  if (buffer_ring_ != nullptr) ::munmap(buffer_ring_, buffer_ring_bytes_);
  if (slots_ != nullptr) ::munmap(slots_, slots_bytes_);
}

bool UringRelay::Open(int fd, std::string* error, bool* unsupported) {
  fd_ = fd;
  *unsupported = false;
  io_uring_params params{};
  params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  params.cq_entries = kCompletionEntries;
  int result = io_uring_queue_init_params(kQueueEntries, &ring_, &params);
  if (result == -EINVAL) {  // before Linux 6.1: no deferred task work
    params = {};
    params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_COOP_TASKRUN;
    params.cq_entries = kCompletionEntries;
    result = io_uring_queue_init_params(kQueueEntries, &ring_, &params);
  }
  if (result < 0) {
    *unsupported = result == -ENOSYS || result == -EPERM || result == -EINVAL;
    *error = std::string("io_uring_setup: ") + std::strerror(-result) +
             " (io_uring missing or disabled in this kernel, " + KernelRelease() + ")";
    return false;
  }
  ring_open_ = true;
  io_uring_probe* probe = io_uring_get_probe_ring(&ring_);
  const bool has_ops = probe != nullptr && io_uring_opcode_supported(probe, IORING_OP_RECVMSG) &&
                       io_uring_opcode_supported(probe, IORING_OP_SENDMSG);
  if (probe != nullptr) io_uring_free_probe(probe);
  if (!has_ops) {
    *unsupported = true;
    *error = "this kernel's io_uring has no recvmsg/sendmsg (" + KernelRelease() + ")";
    return false;
  }

  buffer_ring_bytes_ = kBufferCount * sizeof(io_uring_buf);
  void* ring_memory = ::mmap(nullptr, buffer_ring_bytes_, PROT_READ | PROT_WRITE,
                             MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  slots_bytes_ = kBufferCount * kSlotStride;
  void* slot_memory =
      ::mmap(nullptr, slots_bytes_, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (ring_memory == MAP_FAILED || slot_memory == MAP_FAILED) {
    *error = std::string("mmap: ") + std::strerror(errno);
    return false;
  }
  buffer_ring_ = static_cast<io_uring_buf_ring*>(ring_memory);
  slots_ = static_cast<uint8_t*>(slot_memory);
  io_uring_buf_reg registration{};
  registration.ring_addr = reinterpret_cast<uint64_t>(buffer_ring_);
  registration.ring_entries = kBufferCount;
  registration.bgid = kGroup;
  result = io_uring_register_buf_ring(&ring_, &registration, 0);
  if (result < 0) {
    *unsupported = result == -EINVAL || result == -EOPNOTSUPP;
    *error = std::string("registering the provided-buffer ring: ") + std::strerror(-result) +
             " (ring-mapped buffers need Linux 5.19; this is " + KernelRelease() + ")";
    return false;
  }
  io_uring_buf_ring_init(buffer_ring_);
  for (uint32_t id = 0; id < kBufferCount; ++id) Recycle(id);
  io_uring_buf_ring_advance(buffer_ring_, static_cast<int>(recycled_));
  recycled_ = 0;
  pending_.assign(kBufferCount, 0);
  sends_.resize(kQueueEntries);
  receive_header_.msg_namelen = sizeof(sockaddr_in);
  ArmReceive();
  return true;
}

void UringRelay::Recycle(uint32_t id) {
  io_uring_buf_ring_add(buffer_ring_, Slot(id), static_cast<unsigned>(kSlotSize),
                        static_cast<unsigned short>(id), io_uring_buf_ring_mask(kBufferCount),
                        static_cast<int>(recycled_));
  ++recycled_;
}

io_uring_sqe* UringRelay::NextSqe() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (sqe == nullptr) {
    // The submission queue is full: hand it over now, without waiting.
    io_uring_submit(&ring_);
    send_count_ = 0;
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;  // nullptr: the kernel took nothing in
}

void UringRelay::ArmReceive() {
  io_uring_sqe* sqe = NextSqe();
  if (sqe == nullptr) return;  // tried again after the next pass
  io_uring_prep_recvmsg_multishot(sqe, fd_, &receive_header_, 0);
  sqe->flags |= IOSQE_BUFFER_SELECT;
  sqe->buf_group = kGroup;
  io_uring_sqe_set_data64(sqe, kReceiveTag);
  receiving_ = true;
}

void UringRelay::Queue(uint32_t id, const void* data, size_t size, const sockaddr_in* to) {
  io_uring_sqe* sqe = NextSqe();
  if (sqe == nullptr) {
    ++counters_.dropped;
    return;
  }
  Send& send = sends_[send_count_++];
  send.to = *to;
  if (plain_send_) {
    io_uring_prep_send(sqe, fd_, data, size, 0);
    io_uring_prep_send_set_addr(sqe, reinterpret_cast<const sockaddr*>(&send.to),
                                sizeof(sockaddr_in));
    io_uring_sqe_set_data64(sqe, kSendTag | id);
    ++pending_[id];
    ++queued_in_pass_;
    ++in_flight_;
    return;
  }
  send.vector.iov_base = const_cast<void*>(data);
  send.vector.iov_len = size;
  send.header = {};
  send.header.msg_name = &send.to;
  send.header.msg_namelen = sizeof(sockaddr_in);
  send.header.msg_iov = &send.vector;
  send.header.msg_iovlen = 1;
  io_uring_prep_sendmsg(sqe, fd_, &send.header, 0);
  io_uring_sqe_set_data64(sqe, kSendTag | id);
  ++pending_[id];
  ++queued_in_pass_;
  ++in_flight_;
}

void UringRelay::Received(const io_uring_cqe& cqe) {
  const uint32_t id = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
  uint8_t* slot = Slot(id);
  io_uring_recvmsg_out* out = io_uring_recvmsg_validate(slot, cqe.res, &receive_header_);
  if (out != nullptr && (out->flags & MSG_TRUNC) == 0 && out->namelen == sizeof(sockaddr_in)) {
    ++counters_.received;
    sockaddr_in from{};
    std::memcpy(&from, io_uring_recvmsg_name(out), sizeof(from));
    const auto* data = static_cast<const uint8_t*>(io_uring_recvmsg_payload(out, &receive_header_));
    const size_t size = io_uring_recvmsg_payload_length(out, cqe.res, &receive_header_);
    rooms_.Handle(data, size, from, slot + kAnswerOffset,
                  [this, id](const void* bytes, size_t length, const sockaddr_in* to) {
                    Queue(id, bytes, length, to);
                  });
  }
  if (pending_[id] == 0) Recycle(id);
}

bool UringRelay::Run(double max_seconds, std::string* error) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  while (relay::g_stop == 0) {
    // Hands over the sends queued by the last pass and waits, in the same system call,
    // for their completions (a datagram sent on UDP usually completes as it is handed
    // over) and one more: the next datagram, so that one io_uring_enter serves a batch.
    __kernel_timespec wait{0, kWaitNanoseconds};
    io_uring_cqe* first = nullptr;
    const auto wait_for = static_cast<unsigned>(std::min<size_t>(in_flight_, kMaxWait) + 1);
    const int result = io_uring_submit_and_wait_timeout(&ring_, &first, wait_for, &wait, nullptr);
    send_count_ = 0;
    if (result < 0 && result != -ETIME && result != -EINTR) {
      *error = std::string("io_uring_enter: ") + std::strerror(-result);
      return false;
    }
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_cqe* cqe = nullptr;
    queued_in_pass_ = 0;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      const uint64_t tag = io_uring_cqe_get_data64(cqe);
      if (tag == kReceiveTag && queued_in_pass_ >= kSendsPerPass) break;
      ++seen;
      if (tag == kReceiveTag) {
        if ((cqe->flags & IORING_CQE_F_MORE) == 0) receiving_ = false;
        if (cqe->res >= 0 && (cqe->flags & IORING_CQE_F_BUFFER) != 0) {
          first_receive_ = false;
          Received(*cqe);
        } else if (cqe->res == -EINVAL && first_receive_) {
          *error =
              "this kernel's io_uring turns multishot recvmsg down (it needs Linux 6.0; "
              "this is " +
              KernelRelease() + ")";
          return false;
        }
        // -ENOBUFS: every buffer is out; the request is armed again below.
      } else {
        if (cqe->res < 0) ++counters_.dropped;
        --in_flight_;
        const auto id = static_cast<uint32_t>(tag & kIdMask);
        if (--pending_[id] == 0) Recycle(id);
      }
    }
    io_uring_cq_advance(&ring_, seen);
    if (recycled_ > 0) {
      io_uring_buf_ring_advance(buffer_ring_, static_cast<int>(recycled_));
      recycled_ = 0;
    }
    if (!receiving_) ArmReceive();
    if (seen == 0) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      if (static_cast<double>(now.tv_sec - start.tv_sec) > max_seconds) break;
    }
  }
  return true;
}

void Usage() {
  std::fputs(
      "Usage: uring_relay --listen IP:PORT --users ROSTER [--max-seconds S]\n"
      "                   [--buffer-bytes N (4194304; 0: the kernel's defaults)]\n"
      "                   [--send-op sendmsg|send (sendmsg)]\n"
      "baseline_relay with its datagrams read by io_uring multishot recvmsg into provided\n"
      "buffers and sent by batched sendmsg requests; see the top of bench/uring_relay.cc.\n"
      "Exit status 3: the kernel lacks io_uring or a feature this relay needs.\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  // --send-op is this relay's own; the rest is baseline_relay's command line.
  std::vector<char*> args;
  bool plain_send = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--send-op") == 0 && i + 1 < argc) {
      const std::string op = argv[++i];
      if (op != "send" && op != "sendmsg") {
        Usage();
        return 2;
      }
      plain_send = op == "send";
      continue;
    }
    args.push_back(argv[i]);
  }
  relay::Options options;
  relay::LearningRelay rooms;
  int fd = -1;
  const int status = relay::Start("uring_relay", static_cast<int>(args.size()), args.data(), Usage,
                                  &options, &rooms, &fd);
  if (status >= 0) return status;
  std::string error;
  UringRelay relay_loop(&rooms, plain_send);
  bool unsupported = false;
  if (!relay_loop.Open(fd, &error, &unsupported)) {
    std::fprintf(stderr, "uring_relay: %s\n", error.c_str());
    ::close(fd);
    return unsupported ? kUnsupported : 2;
  }
  relay::CatchStopSignals();
  std::fprintf(stderr, "uring_relay: %zu members, listening on %s\n", rooms.member_count(),
               options.listen.c_str());
  const bool ran = relay_loop.Run(options.max_seconds, &error);
  if (!ran) std::fprintf(stderr, "uring_relay: %s\n", error.c_str());
  relay::PrintCounters(rooms.counters());
  ::close(fd);
  return ran ? 0 : kUnsupported;
}
