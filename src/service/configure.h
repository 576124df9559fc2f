// The key/value configuration file, read once at start-up.
#ifndef SERVICE_CONFIGURE_H_
#define SERVICE_CONFIGURE_H_

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace corvaneserver {

// Parses "key = value" lines with comments and continuation lines. Filled on
// the service thread during start-up and only read afterwards; no lock.
class Configure {
 public:
  // Null when the file cannot be opened; a file that opens always yields an
  // object, even an empty one.
  static std::unique_ptr<Configure> Create(const std::string& path, const std::string& separator,
                                           const std::string& comment);

  Configure(std::string separator, std::string comment);

  // False (out untouched) when the key is absent. Strings read the first
  // whitespace-delimited word; numbers read the leading decimal number (text
  // after it is ignored, text that starts otherwise reads 0). A number whose
  // value text is empty reads as absent, so the caller's default applies.
  template <class T>
  bool Read(T& value, const std::string& key) const;

  // The number under `key`, `fallback` when absent. A value above `limit` is
  // an operator's typing error: it is logged ("configure [key] is value, using
  // replacement") and replaced by `over_limit`, or by `limit` itself when
  // `over_limit` is UINT32_MAX (as ConfigKey::over_max says).
  uint32_t ReadBounded(const std::string& key, uint32_t fallback, uint32_t limit,
                       uint32_t over_limit = UINT32_MAX) const;

  // Whether the key is present at all, with any value.
  bool Has(const std::string& key) const { return values_.count(key) != 0; }

  // Every key with its value text as parsed (trimmed, comments cut).
  const std::map<std::string, std::string>& values() const { return values_; }

  static void Trim(std::string& text);

  template <class T>
  static T String2T(const std::string& text);

 private:
  void Parse(std::istream& in);

  std::string separator_;
  std::string comment_;
  std::map<std::string, std::string> values_;
};

template <>
bool Configure::Read<std::string>(std::string& value, const std::string& key) const;
template <>
bool Configure::Read<uint32_t>(uint32_t& value, const std::string& key) const;
template <>
bool Configure::Read<uint16_t>(uint16_t& value, const std::string& key) const;

template <>
std::string Configure::String2T<std::string>(const std::string& text);
template <>
uint32_t Configure::String2T<uint32_t>(const std::string& text);
template <>
uint16_t Configure::String2T<uint16_t>(const std::string& text);

}  // namespace corvaneserver

#endif  // SERVICE_CONFIGURE_H_
