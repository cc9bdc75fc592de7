// Judging one reply against everything that may rightly be at its path.
#pragma once

#include <stdint.h>

#include <string_view>

#include "tree.h"

namespace stress {

enum class Verdict {
  // Right answers.
  served,        // status 0 with the whole content of a file allowed here
  refused,       // status 1: always acceptable while the tree is attacked
  out_of_range,  // status 2 where a legitimate file is empty or over 8000
  // Wrong answers.
  escape_outside,      // a marker from outside the root was served
  escape_decoy,        // a file beneath the directory that replaced the root
  multilink,           // content that existed only while a second link did
  mixed,               // not exactly one known content: torn, cut or foreign
  wrong_file,          // a whole known file that never lived at this path
  future_generation,   // a generation no attacker has written yet
  wrong_out_of_range,  // status 2 where every candidate is in range
  malformed,           // unknown status, or data with a status other than 0
};

inline constexpr int kVerdictCount = static_cast<int>(Verdict::malformed) + 1;

const char* verdict_name(Verdict verdict);
bool is_wrong(Verdict verdict);
bool is_escape(Verdict verdict);

Verdict judge(const Target& target, const Tree& tree, uint8_t status, std::string_view data);

}  // namespace stress
