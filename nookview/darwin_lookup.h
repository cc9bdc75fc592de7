// How nookview reads the outcomes of Darwin's confined lookups. Released
// Darwin kernels do not all behave as their newest headers suggest (see
// docs/nookview-platform.md), so the two decisions that depend on what the
// running kernel does are taken here, from the outcomes of calls that
// platform-macos.cc makes once. Plain functions of integers: every build
// compiles them, and the Linux build tests them.
#pragma once

namespace nookview {

// A call's outcome as the decisions take it: kSucceeded, or the errno the
// call failed with (never 0).
inline constexpr int kSucceeded = 0;
// Stands for an errno that the system does not define: no outcome equals it.
inline constexpr int kUndefinedErrno = -1;

// The confinement probe's verdict: true only when the kernel is shown to
// refuse a lookup that leaves the root. `parent` is the outcome of opening
// ".." beneath the root, `absolute` that of opening "/" beneath the root with
// the same flags; `not_capable` is the system's ENOTCAPABLE, or
// kUndefinedErrno. ".." refused with `not_capable` is enough. ".." refused
// with EACCES is enough only when "/" is refused with EACCES too: a kernel
// that ignores the beneath flag also answers EACCES for a parent it may not
// read, but it opens "/", which everyone may read. Any other pair: false.
bool darwin_lookups_confined(int parent, int absolute, int not_capable);

enum class BeneathStat {
  kernel_confined,  // fstatat with AT_SYMLINK_NOFOLLOW_ANY | AT_RESOLVE_BENEATH
  component_rule,   // fstatat with AT_SYMLINK_NOFOLLOW_ANY alone
};

// How beneath stats are made, from the outcome of one fstatat with
// AT_SYMLINK_NOFOLLOW_ANY | AT_RESOLVE_BENEATH of an entry of the root.
// Only EINVAL, a kernel rejecting a flag it does not know, gives
// component_rule; any other failure keeps the kernel's confinement, so that
// a stat that cannot be made fails rather than being made more loosely.
BeneathStat darwin_beneath_stat(int probe);

}  // namespace nookview
