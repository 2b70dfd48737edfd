// Names and messages as a terminal may safely show them. Entry names come
// from whoever made the archive; printed raw, a name holding escape
// sequences would rewrite the publisher's terminal.
#pragma once

#include <string>
#include <string_view>

namespace bookpack {

// `text` with every control character shown as \xNN: the C0 controls
// (below 0x20), DEL (0x7F), and the C1 controls U+0080..U+009F, which
// UTF-8 writes as 0xC2 0x80..0x9F and which terminals obey too (each of
// their two bytes is shown). Everything else passes unchanged.
std::string Printable(std::string_view text);

}  // namespace bookpack
