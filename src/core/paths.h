// Turning archive entry names into Windows paths, making the folders an
// entry needs and testing whether a file or folder is there.
//
// A text that comes back in a caller's buffer of `outSize` bytes is written
// zero-terminated, and the function returns its length. A result that does
// not fit together with its zero is never cut short: the function returns -1
// and leaves an empty text in the buffer (when it has room for one).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform.h"

namespace ebook {

// The wildcard probe PathExists builds for a folder written with a trailing
// backslash: such a folder is probed only when it is at most
// kPathProbeSize - 4 characters long.
inline constexpr int kPathProbeSize = 255;
// Room for the private copy MakeAllFolders and MakeTargetFolder keep of a
// folder; longer folders are not created.
inline constexpr int kFolderTextSize = 1040;

// The bytes before the first zero, at most 65,535: longer texts are not
// texts the engine makes, and a count that wrapped would make one look short.
uint16_t ZTextLength(const char* text);

// text.substr(from, count) for a `from` the caller knows to be in range.
// substr checks it and brings a formatted message for the failure along,
// which costs the stub that text in every object that calls it.
inline std::string_view TextPart(std::string_view text, size_t from,
                                 size_t count = std::string_view::npos) {
  const size_t rest = text.size() - from;
  return std::string_view(text.data() + from, count < rest ? count : rest);
}

// The pieces one after another in `out`, zero-terminated, cut where they
// stop fitting; false when they were cut.
bool JoinText(char* out, size_t size, std::initializer_list<std::string_view> pieces);

// The folder part of a path. Backslash, slash and colon separate; a drive
// root keeps its separator (C:\Setup.txt gives C:\), a drive-relative name
// keeps its colon (C:Readme gives C:), and a name without a separator gives
// the empty text.
int32_t DirectoryOfPath(std::string_view path, char* out, int32_t outSize);

// What follows the last backslash, slash or colon: a view into `path`, the
// whole of it when it has no separator.
std::string_view NameOfPath(std::string_view path);

// Turns every slash up to the terminating zero into a backslash; returns
// `text`.
char* SlashesToBackslashesInPlace(char* text);

// Whether a file or a folder is found at the zero-terminated `path`. A path
// ending in a backslash is probed through its contents (path followed by
// "*.*", in a private buffer; the caller's text stays as it was). Any other
// path has its slashes turned into backslashes in the caller's buffer and is
// probed itself. The empty text, and a path too long for its probe, answer
// false: a probe cut short would test some other path.
bool PathExists(Platform& host, char* path);

// Creates `folder` and every missing folder above it, outermost first. A
// drive (C:) and relative names of one or two characters are never created.
// When one level cannot be created the deeper levels are not attempted, and
// the answer is false (the platform's LastErrorText then tells why); a
// folder too long to copy is not attempted at all.
bool MakeAllFolders(Platform& host, std::string_view folder);

// Makes the folder of `targetPath` and answers whether it exists afterwards.
// Shows nothing: the caller says which folder failed. `refused`, when given,
// is set when the system refused to create a level, so that LastErrorText
// holds the reason; a folder missing for another reason (a drive that does
// not exist, a folder too long to copy) leaves it false.
bool MakeTargetFolder(Platform& host, std::string_view targetPath, bool* refused = nullptr);

// Whether Windows opens `part`, one file or folder name, as a device rather
// than a file in whatever folder it stands: con, prn, aux, nul, conin$,
// conout$, com1-9 and lpt1-9, also with the superscripts 1, 2 and 3 (as
// UTF-8), in any ASCII case. Only the text before the first dot counts,
// trailing spaces dropped, so "nul.txt" and "aux .htm" are devices too.
bool IsWindowsDeviceName(std::string_view part);

// Whether an entry name installs a file or folder inside the folder it is
// installed in, under the name it gives: false for absolute names (a leading
// slash or backslash, UNC), for any colon (drive letters, alternate data
// streams), for a zero byte (it would end the path early, possibly right
// after ".."), for a part that ends in a dot or a space other than a plain
// "." (Windows drops those, which turns ".." or ". ." into the parent and
// "book." into "book"), for a part that names a device, and for a name that
// ends in kPartSuffix, the setup's own name for a file being replaced. The
// empty part a folder entry's trailing separator leaves is fine.
bool IsSafeEntryName(std::string_view name);

// What a file being replaced is called beside its target until it is
// verified ("book.html.~part").
inline constexpr char kPartSuffix[] = ".~part";

}  // namespace ebook
