// What the kernel says about this process under /proc: the figures of
// Prometheus's standard process metrics, parsed from the files' text so that
// the parsing can be checked on any text.
#ifndef SERVICE_PROC_SELF_H_
#define SERVICE_PROC_SELF_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvaneserver {

// The fields of /proc/<pid>/stat this uses, in the kernel's units.
struct ProcStat {
  uint64_t utime_ticks = 0;     // field 14
  uint64_t stime_ticks = 0;     // field 15
  uint64_t threads = 0;         // field 20
  uint64_t start_ticks = 0;     // field 22: clock ticks after boot
  uint64_t virtual_bytes = 0;   // field 23
  uint64_t resident_pages = 0;  // field 24
};

// Null when the text is not a stat line. The command name (field 2) may hold
// blanks and parentheses; fields are counted from its last ")".
std::optional<ProcStat> ParseProcStat(std::string_view text);

// The "btime" line of /proc/stat: boot time in seconds since the epoch.
std::optional<uint64_t> ParseBootTime(std::string_view text);

// The soft limit of "Max open files" in /proc/<pid>/limits; "unlimited"
// gives UINT64_MAX.
std::optional<uint64_t> ParseMaxOpenFiles(std::string_view text);

// The process figures of one moment, each null when it could not be read.
struct ProcessFigures {
  std::optional<double> cpu_seconds;
  std::optional<double> resident_bytes;
  std::optional<double> virtual_bytes;
  std::optional<double> start_time_seconds;
  std::optional<double> threads;
  std::optional<double> open_fds;
  std::optional<double> max_fds;
};

// Reads /proc/self now. `proc` is the /proc mount ("/proc" but in tests).
ProcessFigures ReadProcessFigures(const std::string& proc = "/proc");

}  // namespace corvaneserver

#endif  // SERVICE_PROC_SELF_H_
