#include "service/proc_self.h"

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace corvaneserver {
namespace {

std::optional<uint64_t> ToNumber(std::string_view word) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

// The blank-separated words of `text`.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n')) ++pos;
    const size_t start = pos;
    while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t' && text[pos] != '\n') ++pos;
    if (pos > start) words.push_back(text.substr(start, pos - start));
  }
  return words;
}

// Each line of `text` in turn, without its line feed.
template <class F>
void ForEachLine(std::string_view text, F&& f) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (f(text.substr(0, end))) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Entries of /proc/self/fd, less the one this listing holds open.
std::optional<double> CountOpenFds(const std::string& proc) {
  DIR* dir = ::opendir((proc + "/self/fd").c_str());
  if (dir == nullptr) return std::nullopt;
  double count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count > 0 ? count - 1 : 0;
}

}  // namespace

std::optional<ProcStat> ParseProcStat(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // Field 3 (state) is the first word after the name.
  const std::vector<std::string_view> words = Words(text.substr(close + 1));
  auto field = [&words](size_t number) -> std::optional<uint64_t> {
    const size_t index = number - 3;
    if (index >= words.size()) return std::nullopt;
    return ToNumber(words[index]);
  };
  const auto utime = field(14), stime = field(15), threads = field(20), start = field(22),
             vsize = field(23), rss = field(24);
  if (!utime || !stime || !threads || !start || !vsize || !rss) return std::nullopt;
  return ProcStat{*utime, *stime, *threads, *start, *vsize, *rss};
}

std::optional<uint64_t> ParseBootTime(std::string_view text) {
  std::optional<uint64_t> boot;
  ForEachLine(text, [&boot](std::string_view line) {
    const std::vector<std::string_view> words = Words(line);
    if (words.size() == 2 && words[0] == "btime") {
      boot = ToNumber(words[1]);
      return true;
    }
    return false;
  });
  return boot;
}

std::optional<uint64_t> ParseMaxOpenFiles(std::string_view text) {
  constexpr std::string_view kName = "Max open files";
  std::optional<uint64_t> limit;
  ForEachLine(text, [&](std::string_view line) {
    if (line.substr(0, kName.size()) != kName) return false;
    const std::vector<std::string_view> words = Words(line.substr(kName.size()));
    if (words.empty()) return true;
    if (words[0] == "unlimited") {
      limit = UINT64_MAX;
    } else {
      limit = ToNumber(words[0]);
    }
    return true;
  });
  return limit;
}

ProcessFigures ReadProcessFigures(const std::string& proc) {
  ProcessFigures figures;
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  const long page_bytes = ::sysconf(_SC_PAGESIZE);
  const std::optional<std::string> stat_text = ReadFile(proc + "/self/stat");
  const std::optional<ProcStat> stat = stat_text ? ParseProcStat(*stat_text) : std::nullopt;
  if (stat && ticks_per_second > 0 && page_bytes > 0) {
    const double ticks = static_cast<double>(ticks_per_second);
    figures.cpu_seconds = static_cast<double>(stat->utime_ticks + stat->stime_ticks) / ticks;
    figures.resident_bytes = static_cast<double>(stat->resident_pages) * page_bytes;
    figures.virtual_bytes = static_cast<double>(stat->virtual_bytes);
    figures.threads = static_cast<double>(stat->threads);
    const std::optional<std::string> system_text = ReadFile(proc + "/stat");
    const std::optional<uint64_t> boot = system_text ? ParseBootTime(*system_text) : std::nullopt;
    if (boot) {
      figures.start_time_seconds =
          static_cast<double>(*boot) + static_cast<double>(stat->start_ticks) / ticks;
    }
  }
  figures.open_fds = CountOpenFds(proc);
  const std::optional<std::string> limits_text = ReadFile(proc + "/self/limits");
  const std::optional<uint64_t> max_fds =
      limits_text ? ParseMaxOpenFiles(*limits_text) : std::nullopt;
  if (max_fds) figures.max_fds = static_cast<double>(*max_fds);
  return figures;
}

}  // namespace corvaneserver
