#include "stub_layout.h"

namespace ebook::win32 {

extern const volatile StubLengthSlot kStubLengthSlot = {
    {'S', 't', 'u', 'b', 'L', 'e', 'n', 'g', 't', 'h', ':', ':'}, 0};

}  // namespace ebook::win32
