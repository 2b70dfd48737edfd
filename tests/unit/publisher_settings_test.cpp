#include "core/publisher_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ebook::test {
namespace {

// What a comment means, in one line, so that a table of cases reads well.
std::string Meaning(const std::string& comment) {
  PublisherSettings s = {};
  s.DoneMessage = true;  // a refused comment must leave nothing behind
  if (!ParsePublisherSettings(comment, s)) {
    EXPECT_FALSE(s.DoneMessage || s.AskBeforeStopping || s.SayWrongPassword);
    EXPECT_EQ(s.DefaultFolder[0] | s.Title[0], 0);
    return "none";
  }
  std::string m = "ok";
  if (s.DefaultFolder[0] != '\0') m += " folder=[" + std::string(s.DefaultFolder) + "]";
  if (s.Title[0] != '\0') m += " title=[" + std::string(s.Title) + "]";
  if (s.DoneMessage) m += " done";
  if (s.AskBeforeStopping) m += " ask";
  if (s.SayWrongPassword) m += " say";
  return m;
}

TEST(PublisherSettings, WhatEachCommentMeans) {
  const std::string tag = "ebook-setup settings 1\n";
  const std::string longest(kSettingsFolderMax, 'f');
  const std::pair<std::string, std::string> cases[] = {
      {"", "none"},
      {"Made with zip -z: a comment of the publisher's own\n", "none"},
      {tag, "ok"},
      {tag + "folder=%LOCALAPPDATA%\\Books\\My Book\n", "ok folder=[%LOCALAPPDATA%\\Books\\My Book]"},
      {tag + "title=Mon livre \xE2\x80\x94 Installation\ndone-message\nask-before-stopping\n"
             "say-wrong-password\n",
       "ok title=[Mon livre \xE2\x80\x94 Installation] done ask say"},
      // The padding that aligns a setup for its signature.
      {tag + "done-message\n       ", "ok done"},
      {tag + "done-message\n   x", "none"},
      // Another version, another tag, or the tag cut short.
      {"ebook-setup settings 2\ndone-message\n", "none"},
      {"ebook-setup settings 1\r\ndone-message\r\n", "none"},
      {"ebook-setup settings", "none"},
      {" " + tag + "done-message\n", "none"},
      // A line cut short, unknown, repeated, empty or with a control character.
      {tag + "done-message", "none"},
      {tag + "title=Book", "none"},
      {tag + "colour=red\n", "none"},
      {tag + "done-message\ndone-message\n", "none"},
      {tag + "title=A\ntitle=B\n", "none"},
      {tag + "title=\n", "none"},
      {tag + "title=Tab\there\n", "none"},
      {tag + "\n", "none"},
      {tag + "done-message=yes\n", "none"},
      // Limits: a folder of the field's room, one byte more; and the whole.
      {tag + "folder=" + longest + "\n", "ok folder=[" + longest + "]"},
      {tag + "folder=" + longest + "f\n", "none"},
      {tag + "title=" + std::string(kSettingsTitleMax + 1, 't') + "\n", "none"},
      {tag + "title=T\n" + std::string(kSettingsMaxSize, ' '), "ok title=[T]"},
      {tag + std::string(kSettingsMaxSize, '\n'), "none"},
  };
  for (const auto& [comment, meaning] : cases) EXPECT_EQ(Meaning(comment), meaning) << comment;
}

TEST(PublisherSettings, WhatIsWrittenReadsBack) {
  PublisherSettings s = {};
  char text[kSettingsMaxSize];
  EXPECT_EQ(FormatPublisherSettings(s, text, sizeof text), 0u) << "defaults need no comment";
  std::strcpy(s.DefaultFolder, "%ProgramFiles%\\Tales");
  std::strcpy(s.Title, "Tales - Setup");
  s.SayWrongPassword = true;
  const size_t n = FormatPublisherSettings(s, text, sizeof text);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(text, n),
            "ebook-setup settings 1\nfolder=%ProgramFiles%\\Tales\ntitle=Tales - Setup\n"
            "say-wrong-password\n");
  EXPECT_EQ(Meaning(std::string(text, n)), "ok folder=[%ProgramFiles%\\Tales] title=[Tales - Setup] say");
  EXPECT_EQ(FormatPublisherSettings(s, text, n - 1), 0u) << "too small a buffer";
  std::strcpy(s.Title, "Line\nbreak");
  EXPECT_EQ(FormatPublisherSettings(s, text, sizeof text), 0u) << "what cannot be read back";
}

}  // namespace
}  // namespace ebook::test
