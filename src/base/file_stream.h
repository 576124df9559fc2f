// An unbuffered file for appending log lines: every Write reaches the kernel at once.
#ifndef BASE_FILE_STREAM_H_
#define BASE_FILE_STREAM_H_

#include <cstddef>
#include <string>

namespace rtc {

class FileStream {
 public:
  FileStream() = default;
  ~FileStream();  // Close()
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  // Modes "a" and "a+" append and create the file when missing; "w" truncates;
  // "r" reads. Returns false (errno set) on failure.
  bool Open(const std::string& filename, const char* mode, int* error);
  // Writes are never buffered; kept so callers can say what they rely on.
  void DisableBuffering() {}
  // Writes all of it, retrying short writes. False on an error.
  bool Write(const void* data, size_t len);
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace rtc

#endif  // BASE_FILE_STREAM_H_
