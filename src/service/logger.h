// The log sink of both programs: daily append-only info and stat files.
#ifndef SERVICE_LOGGER_H_
#define SERVICE_LOGGER_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "base/file_stream.h"
#include "base/logging.h"

namespace corvaneserver {

// Writes LS_NONE lines (periodic statistics) to <path><name><yyyymmdd>-<pid>.log.stat
// and every other line to the matching .log.info file, each prefixed with the
// local time. Files open on first use and roll over when a line is written on
// a new local day; the line that crosses midnight still goes to the old file.
//
// The logging library serialises all calls into sinks, so the Logger has no
// lock of its own.
class Logger : public rtc::LogSink {
 public:
  // Seconds since the epoch; tests inject their own to cross midnight at will.
  using WallClock = std::function<time_t()>;

  Logger(std::string path, std::string name, WallClock wall_clock = nullptr);
  // Unregisters from the logging library first, so no line arrives mid-destruction.
  ~Logger() override;

  using rtc::LogSink::OnLogMessage;
  void OnLogMessage(const std::string& message, rtc::LoggingSeverity severity) override;

  // The open stream for the severity's file, opening it if needed; null (and a
  // line on stderr) when it cannot be opened.
  rtc::FileStream* GetFileStream(rtc::LoggingSeverity severity);
  // The file name for today's local date; also records that date as the date
  // of the severity's file.
  std::string GetLoggerFileName(rtc::LoggingSeverity severity);
  // Writes "hh:mm:ss " for now into prefix; returns today's date packed like date_.
  int32_t GetLoggerTime(std::string& prefix);

 private:
  bool LocalNow(struct tm* out) const;

  // Passed by argument.
  const std::string path_;
  const std::string name_;
  const WallClock wall_clock_;
  // Allocated by this. Each kind of file rolls over on its own: a day may
  // start with a line of either kind.
  struct DailyFile {
    int32_t date = 0;  // year * 65536 + month * 256 + day the file was named for
    std::unique_ptr<rtc::FileStream> stream;
  };
  DailyFile& FileOf(rtc::LoggingSeverity severity) {
    return severity == rtc::LS_NONE ? stat_file_ : info_file_;
  }
  DailyFile info_file_;
  DailyFile stat_file_;
};

}  // namespace corvaneserver

#endif  // SERVICE_LOGGER_H_
