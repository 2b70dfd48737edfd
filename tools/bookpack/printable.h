// Text from a setup (entry names, licence lines) made safe for a terminal:
// control characters are shown as \xNN, everything else as it is.
#pragma once

#include <string>
#include <string_view>

namespace bookpack {

// Bytes below 0x20 and 0x7F become "\xNN" (two upper-case hex digits); every
// other byte, the backslash included, is kept.
std::string Printable(std::string_view text);

}  // namespace bookpack
