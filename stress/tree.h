// The tree the adversary works on, in a fresh directory W:
//
//   W/root     the root handed to the reader; every request names a file here
//   W/outside  markers a confined reader must never serve, and a visitor
//              directory that is exchanged with W/root/x
//   W/links    symbolic links to W/outside, exchanged with directories and a
//              file of W/root
//   W/decoy    same names as W/root, decoy markers; exchanged with W/root
//   W/stage    new files are written here, then renamed into W/root
//
// Every file's content is unique (see content.h). The targets list each
// request together with every answer that is right for it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "content.h"

namespace stress {

struct Target {
  std::string request;
  // The contents a success may carry: the files that live at this path
  // beneath the root at one time or another.
  std::vector<std::pair<Kind, std::string>> allowed;
  bool out_of_range = false;  // a legitimate file here is empty or over 8000
  bool control = false;       // attacked only through the root itself
};

class Tree {
 public:
  // Builds the whole tree under a new directory in `parent`.
  explicit Tree(const std::string& parent);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  const std::string& work() const { return work_; }
  std::string root() const { return work_ + "/root"; }
  const std::vector<Target>& targets() const { return targets_; }

  // The newest generation written for a file that attackers rewrite; 0 for
  // files that never change. Attackers raise it before they write.
  uint64_t latest(const std::string& origin) const;
  uint64_t next_generation(const std::string& origin);

 private:
  std::string work_;
  std::vector<Target> targets_;
  std::map<std::string, std::atomic<uint64_t>> generations_;
};

// Writes `content` to `path`, creating the directories above it.
void write_file(const std::string& path, const std::string& content);

}  // namespace stress
