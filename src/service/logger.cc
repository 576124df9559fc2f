#include "service/logger.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace corvaneserver {
namespace {

int32_t PackDate(const struct tm& t) {
  return (t.tm_year + 1900) * 65536 + (t.tm_mon + 1) * 256 + t.tm_mday;
}

}  // namespace

Logger::Logger(std::string path, std::string name, WallClock wall_clock)
    : path_(std::move(path)), name_(std::move(name)), wall_clock_(std::move(wall_clock)) {}

Logger::~Logger() { rtc::LogMessage::RemoveLogToStream(this); }

bool Logger::LocalNow(struct tm* out) const {
  const time_t now = wall_clock_ ? wall_clock_() : time(nullptr);
  return localtime_r(&now, out) != nullptr;
}

std::string Logger::GetLoggerFileName(rtc::LoggingSeverity severity) {
  struct tm t = {};
  LocalNow(&t);
  FileOf(severity).date = PackDate(t);
  char suffix[64];
  snprintf(suffix, sizeof(suffix), "%.4d%.2d%.2d-%d.log.%s", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, static_cast<int>(getpid()), severity == rtc::LS_NONE ? "stat" : "info");
  return path_ + name_ + suffix;
}

int32_t Logger::GetLoggerTime(std::string& prefix) {
  struct tm t = {};
  LocalNow(&t);
  char text[16];
  snprintf(text, sizeof(text), "%.2d:%.2d:%.2d ", t.tm_hour, t.tm_min, t.tm_sec);
  prefix = text;
  return PackDate(t);
}

rtc::FileStream* Logger::GetFileStream(rtc::LoggingSeverity severity) {
  std::unique_ptr<rtc::FileStream>& slot = FileOf(severity).stream;
  if (slot) return slot.get();
  const std::string file_name = GetLoggerFileName(severity);
  auto stream = std::make_unique<rtc::FileStream>();
  int error = 0;
  if (!stream->Open(file_name, "a+", &error)) {
    // Not remembered: the next line of this kind tries again.
    fprintf(stderr, "failed to open logger file %s\n", file_name.c_str());
    return nullptr;
  }
  stream->DisableBuffering();
  slot = std::move(stream);
  return slot.get();
}

void Logger::OnLogMessage(const std::string& message, rtc::LoggingSeverity severity) {
  rtc::FileStream* stream = GetFileStream(severity);
  if (stream == nullptr) return;
  std::string line;
  const int32_t today = GetLoggerTime(line);
  // One write per line: a line is never split by another process's lines or a
  // crash between its time and its text.
  line += message;
  stream->Write(line.data(), line.size());
  // The line that crosses midnight stays in the old file; after it, every
  // file of an older day is closed, whichever kind of line came first.
  for (DailyFile* file : {&info_file_, &stat_file_}) {
    if (file->date != today) file->stream.reset();
  }
}

}  // namespace corvaneserver
