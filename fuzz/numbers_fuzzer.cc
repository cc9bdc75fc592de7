// matches_number against a decimal reader that accumulates digits with an
// explicit overflow test instead of calling strtoumax.
//
// Input: byte 0 chooses the value compared with; the rest, up to its first
// 0 byte, is the text. The value is mostly derived from the text itself, so
// that equal numbers are compared as often as different ones.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "publish.h"

namespace {

// The value of a text of ASCII digits only (at least one), if it fits.
std::optional<uint64_t> reference_value(const std::string& text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t choice = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text.resize(strlen(text.c_str()));
  std::optional<uint64_t> parsed = reference_value(text);

  uint64_t value = 0;
  switch (choice % 4) {
    case 0:  // the text's own value
      value = parsed.value_or(0);
      break;
    case 1:  // one more or one less
      value = parsed.value_or(0) + ((choice & 0x80) ? 1 : UINT64_MAX);
      break;
    case 2:  // the largest value, where overflow starts
      value = UINT64_MAX;
      break;
    default:  // a value built from the choice byte
      value = static_cast<uint64_t>(choice) << (choice % 57);
      break;
  }
  bool expected = parsed.has_value() && *parsed == value;
  if (nookview::matches_number(text.c_str(), value) != expected) abort();
  return 0;
}
