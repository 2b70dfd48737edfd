#include "source_folder.h"

#include <algorithm>

#include "core/licence.h"
#include "host/host_os.h"

namespace bookpack {
namespace {

bool IsUtf8Name(const std::string& name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; }) ||
         (ebook::LooksLikeUtf8(name) && name.compare(0, 3, "\xEF\xBB\xBF") != 0);
}

struct Walk {
  std::vector<FolderItem>& Items;
  std::vector<std::string>& Notes;
  std::string& Error;
};

// Adds the contents of `path` (named `prefix` in the archive); true when it
// held anything that was added.
bool AddFolder(const std::string& path, const std::string& prefix, Walk& walk) {
  std::vector<std::string> names;
  if (!ebook::os::ListNames(path, names)) {
    walk.Error = "cannot read the folder " + path + ": " + ebook::os::LastErrorText();
    return false;
  }
  std::sort(names.begin(), names.end());

  bool added = false;
  for (const std::string& name : names) {
    const std::string full = ebook::os::Join(path, name);
    const std::string entry = prefix + name;
    if (!IsUtf8Name(name)) {
      walk.Error = full + ": the name is not UTF-8, so Windows would show another name";
      return false;
    }
    ebook::os::FileInfo link, st;
    if (!ebook::os::LinkStat(full, link) || !ebook::os::Stat(full, st)) {
      walk.Notes.push_back(entry + ": left out, it cannot be read (a broken link?)");
      continue;
    }
    if (st.IsFolder && !link.IsLink) {
      const size_t before = walk.Items.size();
      // Placeholder for an empty folder; removed again when it has contents.
      walk.Items.push_back({entry + "/", full, true, 0, st.ModTime, st.Mode});
      const bool any = AddFolder(full, entry + "/", walk);
      if (!walk.Error.empty()) return false;
      if (any) walk.Items.erase(walk.Items.begin() + static_cast<ptrdiff_t>(before));
      added = true;
    } else if (st.IsRegular) {
      walk.Items.push_back({entry, full, false, st.Size, st.ModTime, st.Mode});
      added = true;
    } else {
      walk.Notes.push_back(entry + ": left out, it is not a regular file or folder");
    }
  }
  return added;
}

}  // namespace

bool ListFolder(const std::string& root, std::vector<FolderItem>& items,
                std::vector<std::string>& notes, std::string& error) {
  items.clear();
  error.clear();
  Walk walk{items, notes, error};
  AddFolder(root, "", walk);
  if (!error.empty()) return false;
  // Sorting per folder is not the byte order of whole names ("a-b" comes
  // before "a/c"), so the final order is set here.
  std::sort(items.begin(), items.end(),
            [](const FolderItem& a, const FolderItem& b) { return a.Name < b.Name; });
  return true;
}

namespace {

uint32_t DosDateTimeOf(std::tm local) {
  if (local.tm_year < 80) {
    return (0u << 9 | 1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  }
  if (local.tm_year > 207) {  // the last time DOS can hold
    local.tm_year = 207;
    local.tm_mon = 11;
    local.tm_mday = 31;
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 59;
  }
  const uint32_t date =
      uint32_t(local.tm_year - 80) << 9 | uint32_t(local.tm_mon + 1) << 5 | uint32_t(local.tm_mday);
  const uint32_t clock =
      uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
  return date << 16 | clock;
}

}  // namespace

uint32_t DosDateTime(std::time_t time) {
  std::tm local{};
  if (!ebook::os::LocalTime(time, local)) local.tm_year = 0;
  return DosDateTimeOf(local);
}

uint32_t DosDateTimeUtc(int64_t seconds) {
  // Days since 1970 to the civil date (the proleptic Gregorian calendar's
  // arithmetic), without the host's gmtime and its range.
  const int64_t days = seconds / 86400;
  const int64_t rest = seconds % 86400;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;
  std::tm utc{};
  utc.tm_mday = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  utc.tm_mon = static_cast<int>(shifted < 10 ? shifted + 2 : shifted - 10);
  const int64_t year = yearOfEra + era * 400 + (utc.tm_mon <= 1);
  utc.tm_year = static_cast<int>(std::min<int64_t>(year, 9999) - 1900);
  utc.tm_hour = static_cast<int>(rest / 3600);
  utc.tm_min = static_cast<int>(rest / 60 % 60);
  utc.tm_sec = static_cast<int>(rest % 60);
  return DosDateTimeOf(utc);
}

}  // namespace bookpack
