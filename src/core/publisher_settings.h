// What a publisher chose for the reader's dialog, stored inside the setup.
//
// A setup without settings behaves exactly as designed: the folder field
// offers c:\zq, the caption is "E-book Setup", a finished install ends by
// itself, Exit and Escape wait for the install to end, and a wrong password
// brings the password dialog back. bookpack can store a publisher's choices
// instead, in the comment of the archive's end record: the one place of the
// packaged file that the walk never reads and that any ZIP tool keeps apart.
//
// The comment then starts with the tag line, followed by one line per
// setting (each at most once, in any order), and may end in spaces (the
// padding that aligns the file for a signature):
//
//   ebook-setup settings 1\n
//   folder=%LOCALAPPDATA%\Books\My Book\n
//   title=My Book - Setup\n
//   done-message\n
//   ask-before-stopping\n
//   say-wrong-password\n
//
// Values are UTF-8 without control characters. Anything else (another tag or
// version, an unknown or repeated key, a value too long or empty, a line
// without its end) makes the whole comment no setting at all: a comment that
// zip -z wrote, or one of a later format, leaves the setup as designed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ebook {

inline constexpr char kSettingsTag[] = "ebook-setup settings 1\n";
// The most bytes of settings a comment may hold, tag and line ends included.
inline constexpr int kSettingsMaxSize = 1024;
// Byte limits of the values (UTF-8), a NUL not counted.
inline constexpr int kSettingsFolderMax = 255;
inline constexpr int kSettingsTitleMax = 127;

// Plain data, all zero by default: a record the stub clears with memset.
struct PublisherSettings {
  // The folder field's text when the dialog opens; %VARIABLES% are
  // expanded on the reader's PC. Empty: c:\zq.
  char DefaultFolder[kSettingsFolderMax + 1];
  // The main dialog's caption. Empty: "E-book Setup".
  char Title[kSettingsTitleMax + 1];
  // "The book was installed in:" and the folder, after an install without a
  // problem that starts no program.
  bool DoneMessage;
  // Exit, Escape and the close box ask before stopping an install, and
  // Escape in the password dialog stops it.
  bool AskBeforeStopping;
  // "The password is wrong. Please try again." before the dialog asks again.
  bool SayWrongPassword;
};

// Reads settings from an end record's comment. False, with `out` as a
// default PublisherSettings, when the comment holds none that can be read.
bool ParsePublisherSettings(std::string_view comment, PublisherSettings& out);

// The comment's text for `settings` (padding not included): what bookpack
// writes. Returns its length, or 0 when the settings are all defaults (no
// comment is needed) or do not fit `size`, or a value breaks the rules above.
size_t FormatPublisherSettings(const PublisherSettings& settings, char* out, size_t size);

}  // namespace ebook
