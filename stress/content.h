// The contents of every file the harness creates. Each file says who it is:
// a header line "<kind> <origin> <generation> <size>\n" repeated and cut to
// the file's size. A reply's data is therefore either exactly one known file
// in one generation, or it is caught: a torn read of two generations, a
// marker from outside the root or any other foreign bytes fail to match the
// content regenerated from their own first line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>

namespace stress {

enum class Kind {
  inside,     // a file that belongs beneath the root
  visitor,    // lives outside, but a directory exchange brings it inside
  outside,    // marker: reachable only by leaving the root
  decoy,      // marker: beneath the directory that replaces the root
  multilink,  // written only while the file has a second hard link
};

const char* kind_name(Kind kind);

std::string make_content(Kind kind, std::string_view origin, uint64_t generation, size_t size);

struct Identity {
  Kind kind;
  std::string origin;
  uint64_t generation;
};

// The identity of `data` when it is exactly one known content, otherwise
// nothing (mixed, cut short, or unknown bytes).
std::optional<Identity> identify(std::string_view data);

}  // namespace stress
