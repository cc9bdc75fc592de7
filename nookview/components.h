// The rule every path component nookview accepts must obey: in a request
// path, in the root path after its leading '/', and in a published name.
#pragma once

namespace nookview {

// True when every '/'-separated component of the 0-terminated `text` is 1 to
// 255 bytes long and does not begin with '.'. So the empty text, a leading,
// trailing or doubled '/', "." and ".." all fail. Lengths count bytes.
bool valid_components(const char* text);

}  // namespace nookview
