// Threads that change the tree beneath the root as fast as they can while
// the reader serves it. Each attack works through descriptors of the real
// directories, so it keeps hitting the real tree while the root itself is
// exchanged with the decoy.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tree.h"

namespace stress {

struct AttackReport {
  std::string name;
  uint64_t operations;
  uint64_t failures;  // attacker calls that failed: the attack did not happen
};

class Adversary {
 public:
  // `root_pause_us`: the root is exchanged away and back, then left in place
  // this long, so that requests also get through between the swaps.
  // `only`: names of the attacks to run; empty runs them all. An unknown
  // name throws.
  Adversary(Tree& tree, unsigned root_pause_us, const std::vector<std::string>& only);
  ~Adversary();
  Adversary(const Adversary&) = delete;
  Adversary& operator=(const Adversary&) = delete;

  void start();
  void stop();
  std::vector<AttackReport> report() const;

 private:
  struct Attack {
    std::string name;
    std::function<bool()> step;  // one change of the tree; false on failure
    std::atomic<uint64_t> operations{0};
    std::atomic<uint64_t> failures{0};
  };

  int directory(const std::string& path);
  void add(std::string name, std::function<bool()> step);

  Tree& tree_;
  std::vector<int> descriptors_;
  std::vector<std::unique_ptr<Attack>> attacks_;
  std::vector<std::string> only_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stopping_{false};
};

}  // namespace stress
