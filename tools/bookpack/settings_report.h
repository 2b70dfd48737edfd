// The publisher's settings (core/publisher_settings.h) as bookpack deals with
// them: the values the stub could not use, refused with a reason before
// anything is built, and the settings in the publisher's words for `build`,
// `list` and `check`.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/publisher_settings.h"
#include "json_writer.h"

namespace bookpack {

// Why the stub could not use `folder` as the default folder, or empty. A
// folder must be absolute (C:\...) or start with a %VARIABLE% (which the
// reader's PC expands), and hold only what Windows allows in a path.
std::string DefaultFolderProblem(std::string_view folder);
// Why the stub could not show `title` as its caption, or empty.
std::string TitleProblem(std::string_view title);

// The variables every Windows PC sets for its user, with the values of a
// typical one; `user` stands for the reader's name.
std::vector<std::pair<std::string, std::string>> ReaderEnvironment(std::string_view user);
// The %VARIABLES% of `folder` that ReaderEnvironment does not know, in
// order: a typo, or a variable a reader's PC may not have.
std::vector<std::string> UnknownVariables(std::string_view folder);
// `folder` as it reads on a typical reader's PC, "<reader>" standing for
// the user's name; unknown variables stay as they are, as Windows keeps them.
std::string OnReadersPc(std::string_view folder);

// One line per setting ("default folder: ...", "title: ..."), or none.
std::vector<std::string> DescribeSettings(const ebook::PublisherSettings& settings);
// The words for a setup without settings.
inline constexpr char kNoSettings[] =
    "none (as the stub is designed: folder c:\\zq, caption \"E-book Setup\", no message when "
    "done, no stopping an install under way, no notice of a wrong password)";

// The value of a "settings" key: null when `settings` is null (the setup has
// none), otherwise an object (docs/publishing-json.md).
void WriteSettingsJson(JsonWriter& json, const ebook::PublisherSettings* settings);

}  // namespace bookpack
