// Finds the folder of an installed application through its App Paths
// registration.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform.h"

namespace ebook {

inline constexpr int kAppPathSize = 1001;  // 1000 characters and a NUL

// Reads the "Path" value of the application's App Paths key into `out`
// (kAppPathSize bytes) and returns its length; 0 (an empty text) when the
// application is not registered or its value does not fit. The key is opened
// for reading only, in the places Windows itself consults: the user's own
// registrations first, then the machine's in the 64-bit and the 32-bit view.
int32_t LookupAppPath(Platform& host, std::string_view application, char* out);

}  // namespace ebook
