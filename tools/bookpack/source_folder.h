// A folder as the source of a setup: its files in a stable order.
//
// Order: entry names sorted by their UTF-8 bytes, so the same tree always
// gives the same archive. Folders get no entries of their own (the stub makes
// a file's folders when it writes the file), except empty folders, which
// would otherwise be lost: they appear as "name/" at their sorted place.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace bookpack {

struct FolderItem {
  std::string Name;  // relative, '/' between components, "/" at the end of a folder
  std::string Path;  // on this machine
  bool IsFolder = false;
  uint64_t Size = 0;
  std::time_t ModTime = 0;
  uint32_t Mode = 0;  // st_mode
};

// Lists the regular files under `root` (following symbolic links to files)
// and its empty folders. Anything else (sockets, links to folders, ...) is
// left out with a note in `notes`. False with `error` when the folder cannot
// be read or a name is not UTF-8, which Windows would read as something else.
bool ListFolder(const std::string& root, std::vector<FolderItem>& items,
                std::vector<std::string>& notes, std::string& error);

// The DOS date (high half) and time (low half) of a local time; times before
// 1980, which DOS cannot hold, become 1 January 1980.
uint32_t DosDateTime(std::time_t time);
// The same for `seconds` since 1970 as the calendar reads in UTC, whatever
// the host's time zone (SOURCE_DATE_EPOCH).
uint32_t DosDateTimeUtc(int64_t seconds);

}  // namespace bookpack
