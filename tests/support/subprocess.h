// Runs a program of this project as a child process for end-to-end tests.
#ifndef TESTS_SUPPORT_SUBPROCESS_H_
#define TESTS_SUPPORT_SUBPROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testutil {

class Subprocess {
 public:
  // Starts argv[0] with the arguments in working directory cwd (empty: ours).
  // Standard output and error go to files in stdio_dir, read with Stdout()/Stderr().
  // With pipe_stdin the child reads what WriteStdin() sends; otherwise /dev/null.
  // A stderr_fd of 0 or more becomes the child's standard error instead of a
  // file (the caller keeps its own descriptor).
  Subprocess(const std::vector<std::string>& argv, const std::string& stdio_dir,
             const std::string& cwd = "", bool pipe_stdin = false, int stderr_fd = -1);
  // Kills the child if it still runs.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }
  bool Signal(int signo);
  // Waits for the exit; true with the exit status (or 128 + signal) when it
  // ended within the deadline.
  bool Wait(std::chrono::milliseconds deadline, int* exit_status);
  bool Running();

  std::string Stdout() const;
  std::string Stderr() const;

  // Only with pipe_stdin. False when the child no longer reads.
  bool WriteStdin(const std::string& text);
  // The child sees the end of its input.
  void CloseStdin();

 private:
  int stdin_fd_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string stdout_path_;
  std::string stderr_path_;
};

}  // namespace testutil

#endif  // TESTS_SUPPORT_SUBPROCESS_H_
