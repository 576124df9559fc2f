// The plan shared by the servers' stress tests: worker threads that each send
// the datagrams of their own users while the test thread runs rounds of
// control operations on the same users and rooms.
#ifndef TESTS_SUPPORT_STRESS_PLAN_H_
#define TESTS_SUPPORT_STRESS_PLAN_H_

#include <cstdint>

namespace corvaneserver {
namespace testing_support {

struct StressPlan {
  int workers;
  int users_per_worker;
  // The users are spread over rooms 1 .. rooms.
  int rooms;
  int control_rounds;
  // Rounds every worker completes, however soon the control rounds end.
  int min_worker_rounds;

  // The id of user `index` of worker `worker`.
  static uint64_t UserOf(int worker, int index) {
    return static_cast<uint64_t>(100 + worker * 10 + index);
  }
};

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_STRESS_PLAN_H_
