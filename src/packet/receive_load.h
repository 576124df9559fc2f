// When the receive threads of one listened address share their sockets.
//
// At everyday load (50 datagrams a second per speaker) nearly every wake-up
// of a receive thread carries one datagram, and each thread of an address
// wakes for its own sockets' datagrams. While the load is light, the first
// thread of the address reads every socket of it and the others sleep: one
// thread wakes instead of several, and a datagram that arrives while it is
// busy is taken in the same wake-up. When that thread is busy for more than
// a set share of its time, each thread reads its own socket again; when all
// of them together are busy for less than half that share for a while, the
// first takes the sockets back.
//
// Not thread-safe: the first thread of the address owns it.
#ifndef PACKET_RECEIVE_LOAD_H_
#define PACKET_RECEIVE_LOAD_H_

#include <cstdint>

namespace corvaneserver {

class ReceiveLoad {
 public:
  // The share (percent) of its time the first thread may be busy before the
  // others join in: half its time leaves room for bursts before a backlog.
  static constexpr uint32_t kDefaultSpreadPercent = 50;
  // Length of one measurement.
  static constexpr int64_t kWindowUs = 100000;
  // Light windows in a row before the sockets are shared again: a second.
  static constexpr int kShareWindows = 10;

  enum class Change { kNone, kSpread, kShare };

  // spread_percent 0: every thread always reads its own socket (Report
  // always says kNone); above 100 it is taken as 100.
  explicit ReceiveLoad(uint32_t spread_percent);

  // The threads share their sockets from the start, unless spreading is off.
  bool StartsShared() const { return spread_percent_ != 0; }

  // One window's measurement: `busy_us` of handling by all the address's
  // threads in `elapsed_us`, while the sockets were `shared` by the first
  // thread or not. What to change.
  Change Report(int64_t busy_us, int64_t elapsed_us, bool shared);

 private:
  const uint32_t spread_percent_;
  int light_windows_ = 0;
};

}  // namespace corvaneserver

#endif  // PACKET_RECEIVE_LOAD_H_
