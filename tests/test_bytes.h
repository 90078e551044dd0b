// Builders for the byte content of project files in tests.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace lstconvert::testing {

// The UTF-16LE bytes of `text`, after the byte-order mark FF FE.
inline std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// Bytes from a literal that may hold NUL bytes: Raw("a\0b", 3).
inline std::string Raw(const char* bytes, std::size_t size) { return std::string(bytes, size); }

// Names parameterised cases after their `what`, as a test name may spell it.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string name = info.param.what;
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
  }
};

}  // namespace lstconvert::testing
