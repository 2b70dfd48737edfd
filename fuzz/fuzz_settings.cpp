// The reader of the publisher's settings, on any comment: it must never read
// past the comment, and whatever it accepts must come out of the writer as
// the same settings, so that what bookpack stores is what the stub shows.
// A refused comment leaves nothing behind.
#include <cstring>
#include <string_view>

#include "core/publisher_settings.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ebook::PublisherSettings;
  // A copy of exactly the input's length, so that ASan sees any read past it.
  std::vector<char> comment(data, data + size);
  PublisherSettings read;
  std::memset(&read, 0xAA, sizeof read);
  const bool ok = ebook::ParsePublisherSettings(std::string_view(comment.data(), size), read);
  if (!ok) {
    const PublisherSettings none = {};
    FUZZ_CHECK(std::memcmp(&read, &none, sizeof read) == 0);
    return 0;
  }
  char text[ebook::kSettingsMaxSize];
  const size_t n = ebook::FormatPublisherSettings(read, text, sizeof text);
  // Only settings that are all defaults need no comment.
  const PublisherSettings none = {};
  if (n == 0) {
    FUZZ_CHECK(std::memcmp(&read, &none, sizeof read) == 0);
    return 0;
  }
  PublisherSettings again;
  FUZZ_CHECK(ebook::ParsePublisherSettings(std::string_view(text, n), again));
  FUZZ_CHECK(std::memcmp(&read, &again, sizeof read) == 0);
  return 0;
}
