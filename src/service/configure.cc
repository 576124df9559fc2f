#include "service/configure.h"

#include <sstream>
#include <utility>

#include "base/logging.h"

namespace corvaneserver {
namespace {

constexpr char kWhitespace[] = " \n\t\v\r\f";

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(kWhitespace) == std::string::npos;
}

template <class T>
T ExtractNumber(const std::string& text) {
  std::istringstream in(text);
  T value = 0;
  in >> value;  // a failed extraction leaves 0 (or the type's limit on overflow)
  return value;
}

}  // namespace

std::unique_ptr<Configure> Configure::Create(const std::string& path, const std::string& separator,
                                             const std::string& comment) {
  std::ifstream in(path);
  if (!in.is_open()) return nullptr;
  auto configure = std::make_unique<Configure>(separator, comment);
  configure->Parse(in);
  return configure;
}

Configure::Configure(std::string separator, std::string comment)
    : separator_(std::move(separator)), comment_(std::move(comment)) {}

void Configure::Trim(std::string& text) {
  const size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  const size_t last = text.find_last_not_of(kWhitespace);
  text = text.substr(first, last - first + 1);
}

void Configure::Parse(std::istream& in) {
  auto cut_comment = [this](std::string& line) {
    if (comment_.empty()) return;
    const size_t pos = line.find(comment_);
    if (pos != std::string::npos) line.erase(pos);
  };

  std::string pending;
  while (!in.fail() || !pending.empty()) {
    std::string line;
    if (!pending.empty()) {
      line = std::move(pending);
      pending.clear();
    } else if (!std::getline(in, line)) {
      continue;  // end of input: the loop condition ends the parse
    }
    cut_comment(line);
    const size_t sep = separator_.empty() ? std::string::npos : line.find(separator_);
    if (sep == std::string::npos) continue;

    std::string key = line.substr(0, sep);
    std::string value = line.substr(sep + separator_.size());

    // Lines without a separator continue the value, up to a blank line or the
    // next line that has a separator (which is then parsed on its own).
    while (!in.fail()) {
      if (!std::getline(in, pending)) {
        pending.clear();
        break;
      }
      if (IsBlank(pending)) break;
      std::string cut = pending;
      cut_comment(cut);
      if (cut.find(separator_) != std::string::npos) break;
      if (!IsBlank(cut)) value += "\n";
      value += cut;
      pending.clear();
    }

    Trim(key);
    Trim(value);
    values_[key] = value;
  }
}

template <>
std::string Configure::String2T<std::string>(const std::string& text) {
  std::istringstream in(text);
  std::string word;
  in >> word;
  return word;
}

template <>
uint32_t Configure::String2T<uint32_t>(const std::string& text) {
  return ExtractNumber<uint32_t>(text);
}

template <>
uint16_t Configure::String2T<uint16_t>(const std::string& text) {
  return ExtractNumber<uint16_t>(text);
}

template <>
bool Configure::Read<std::string>(std::string& value, const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return false;
  value = String2T<std::string>(it->second);
  return true;
}

template <>
bool Configure::Read<uint32_t>(uint32_t& value, const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end() || it->second.empty()) return false;
  value = String2T<uint32_t>(it->second);
  return true;
}

uint32_t Configure::ReadBounded(const std::string& key, uint32_t fallback, uint32_t limit,
                                uint32_t over_limit) const {
  uint32_t value = fallback;
  Read(value, key);
  if (value <= limit) return value;
  const uint32_t replacement = over_limit == UINT32_MAX ? limit : over_limit;
  RTC_LOG(LS_WARNING) << "configure [" << key << "] is " << value << ", using " << replacement;
  return replacement;
}

template <>
bool Configure::Read<uint16_t>(uint16_t& value, const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end() || it->second.empty()) return false;
  value = String2T<uint16_t>(it->second);
  return true;
}

}  // namespace corvaneserver
