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
// Stands for an errno that the headers do not define: no outcome equals it.
inline constexpr int kUndefinedErrno = -1;
// ENOTCAPABLE where the headers lack the name: the value nookview has always
// named for a lookup refused for leaving its directory, which a third-party
// report also gives for macOS 26 (whose kernel source is not published).
// Safe on every earlier kernel: their errno values end at ELAST, 106
// (bsd/sys/errno.h, through xnu-11417.121.6, macOS 15.5), so 107 cannot
// mean anything else there.
inline constexpr int kDarwinNotCapable = 107;

// The confinement probe's verdict: true only when the kernel is shown to
// refuse a lookup that leaves the root. `parent` is the outcome of opening
// ".." beneath the root, `absolute` that of opening "/" beneath the root with
// the same flags; `not_capable` is the headers' ENOTCAPABLE, or
// kUndefinedErrno where they do not define it, which stands for
// kDarwinNotCapable. ".." refused with ENOTCAPABLE is enough. ".." refused
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
