// valid_components and the publish name rule against a reference that splits
// the text with the standard library instead of scanning it in place.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "frames.h"

namespace {

bool reference_valid(std::string_view text) {
  for (;;) {
    size_t slash = text.find('/');
    std::string_view component = text.substr(0, slash);
    if (component.empty() || component.size() > 255 || component.front() == '.') return false;
    if (slash == std::string_view::npos) return true;
    text.remove_prefix(slash + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The functions see a 0-terminated text: everything up to the first 0 byte.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  if (nookview::valid_components(text.c_str()) != reference_valid(text)) abort();
  return 0;
}
