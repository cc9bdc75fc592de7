#include "components.h"

#include <stddef.h>

namespace nookview {

bool valid_components(const char* text) {
  constexpr size_t kMaxComponentLength = 255;
  for (const char* component = text;;) {
    size_t length = 0;
    while (component[length] != '\0' && component[length] != '/') ++length;
    if (length == 0 || length > kMaxComponentLength || component[0] == '.') return false;
    if (component[length] == '\0') return true;
    component += length + 1;
  }
}

}  // namespace nookview
