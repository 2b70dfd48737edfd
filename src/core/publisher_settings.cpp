#include "publisher_settings.h"

#include <cstddef>
#include <cstring>

namespace ebook {
namespace {

constexpr char kFolderKey[] = "folder=";
constexpr char kTitleKey[] = "title=";
constexpr char kDoneKey[] = "done-message";
constexpr char kAskKey[] = "ask-before-stopping";
constexpr char kSayKey[] = "say-wrong-password";

// Where the text after `key` starts when [p, end) begins with it; null
// otherwise. (By hand: the stub has no room for string_view's checked
// members and the messages they bring.)
const char* After(const char* p, const char* end, const char* key) {
  for (; *key != '\0'; ++p, ++key)
    if (p == end || *p != *key) return nullptr;
  return p;
}

// The keys a line may start with: a value (folder, title) runs to the end
// of the line, a flag is the whole line. One table, read by one loop: the
// stub has room for little more.
struct Key {
  char Name[20];
  uint16_t Offset;  // of its field in PublisherSettings
  uint16_t Max;     // a value's most bytes; 0: a flag
};
constexpr Key kKeys[] = {
    {"folder=", offsetof(PublisherSettings, DefaultFolder), kSettingsFolderMax},
    {"title=", offsetof(PublisherSettings, Title), kSettingsTitleMax},
    {"done-message", offsetof(PublisherSettings, DoneMessage), 0},
    {"ask-before-stopping", offsetof(PublisherSettings, AskBeforeStopping), 0},
    {"say-wrong-password", offsetof(PublisherSettings, SayWrongPassword), 0},
};

// One line [p, end) into `s`: a value the dialog can show as one line, or a
// flag, each at most once.
bool ParseLine(const char* p, const char* end, PublisherSettings& s) {
  for (const Key& key : kKeys) {
    const char* value = After(p, end, key.Name);
    if (value == nullptr || (key.Max == 0 && value != end)) continue;
    char* field = reinterpret_cast<char*>(&s) + key.Offset;
    const size_t n = static_cast<size_t>(end - value);
    if (*field != 0 || (key.Max != 0 && (n == 0 || n > key.Max))) return false;
    for (const char* c = value; c != end; ++c)
      if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return false;
    std::memcpy(field, value, n);
    // A value's closing NUL, or a flag's own byte set.
    field[n] = key.Max == 0;
    return true;
  }
  return false;
}

}  // namespace

bool ParsePublisherSettings(std::string_view comment, PublisherSettings& out) {
  // Cleared by hand: an assigned empty record would be copied from a zeroed
  // image in the stub's data.
  std::memset(&out, 0, sizeof out);
  const char* p = comment.data();
  const char* end = p + comment.size();
  // The padding that aligns the file for a signature: spaces at the end.
  while (end != p && end[-1] == ' ') --end;
  if (end - p > kSettingsMaxSize || (p = After(p, end, kSettingsTag)) == nullptr) return false;
  while (p != end) {
    const char* line = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (line == nullptr || !ParseLine(p, line, out)) {
      std::memset(&out, 0, sizeof out);
      return false;
    }
    p = line + 1;
  }
  return true;
}

size_t FormatPublisherSettings(const PublisherSettings& s, char* out, size_t size) {
  char text[kSettingsMaxSize + 1];
  size_t n = 0;
  auto put = [&](std::string_view piece) {
    if (n + piece.size() <= kSettingsMaxSize) std::memcpy(text + n, piece.data(), piece.size());
    n += piece.size();
  };
  put(kSettingsTag);
  const size_t bare = n;
  auto value = [&](const char* key, const char* v) {
    if (*v != '\0') put(key), put(v), put("\n");
  };
  value(kFolderKey, s.DefaultFolder);
  value(kTitleKey, s.Title);
  if (s.DoneMessage) put(kDoneKey), put("\n");
  if (s.AskBeforeStopping) put(kAskKey), put("\n");
  if (s.SayWrongPassword) put(kSayKey), put("\n");
  if (n == bare || n > kSettingsMaxSize || n > size) return 0;
  // What cannot be read back is not written.
  PublisherSettings check;
  if (!ParsePublisherSettings(std::string_view(text, n), check)) return 0;
  std::memcpy(out, text, n);
  return n;
}

}  // namespace ebook
