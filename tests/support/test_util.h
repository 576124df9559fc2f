// Helpers shared by the tests: temporary directories, files, waiting on conditions.
#ifndef TESTS_SUPPORT_TEST_UTIL_H_
#define TESTS_SUPPORT_TEST_UTIL_H_

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;
  // Names of the regular files in the directory, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// Polls the condition every millisecond until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(5));

// A port on 127.0.0.1 for a server under test: free for UDP and TCP a moment
// ago, outside the kernel's ephemeral range and never handed out twice by one
// test program (see test_util.cc); 0 when none is left.
int FreeUdpPort();
int FreeTcpPort();

}  // namespace testutil

#endif  // TESTS_SUPPORT_TEST_UTIL_H_
