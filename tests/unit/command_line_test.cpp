#include "core/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/setup_session.h"

namespace ebook::test {
namespace {

std::string Text(const char* value) { return value == nullptr ? "(none)" : value; }

// What a command line means, in one line, so a table of cases reads well.
std::string Meaning(const std::string& line) {
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  SetupOptions o;
  const bool ok = ParseCommandLine(buffer.data(), o);
  std::string m = ok ? "ok" : "usage";
  if (o.Refused) m += " refused";
  if (o.Silent) m += " S";
  if (o.NoRun) m += " NORUN";
  if (o.Run) m += " RUN";
  if (o.Elevated) m += " ELEVATED";
  if (o.Overwrite >= 0) m += o.Overwrite == kOverwriteAlways ? " O=all" : " O=none";
  if (o.Folder) m += " D=[" + Text(o.Folder) + "]";
  if (o.Password) m += " P=[" + Text(o.Password) + "]";
  if (o.PasswordFile) m += " PF=[" + Text(o.PasswordFile) + "]";
  if (o.LogFile) m += " LOG=[" + Text(o.LogFile) + "]";
  if (m == "ok") m += " none";
  return m;
}

TEST(CommandLine, WhatEachLineMeans) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // The program's own name, quoted or not, is no argument.
      {"setup.exe", "ok none"},
      {"\"C:\\My Downloads\\Book Setup.exe\"", "ok none"},
      {"\"C:\\My Downloads\\Book Setup.exe\"   ", "ok none"},
      {"setup.exe /S", "ok S NORUN O=all"},
      {"setup.exe /s /norun", "ok S NORUN O=all"},
      {"setup.exe /S /O=none", "ok S NORUN O=none"},
      // Unattended, the program starts only when asked for; /NORUN wins.
      {"setup.exe /S /RUN", "ok S RUN O=all"},
      {"setup.exe /RUN /S /NORUN", "ok S NORUN RUN O=all"},
      {"setup.exe /RUN", "ok RUN"},
      {"setup.exe /O=ALL", "ok O=all"},
      {"setup.exe /O=some", "usage refused"},
      {"setup.exe /O=", "usage refused"},
      // The folder: the rest of the line, spaces and all, in every quoting.
      {"setup.exe /S /D=C:\\Program Files\\My Book",
       "ok S NORUN O=all D=[C:\\Program Files\\My Book]"},
      {"setup.exe /S \"/D=C:\\Program Files\\My Book\"",
       "ok S NORUN O=all D=[C:\\Program Files\\My Book]"},
      {"setup.exe /D=\"C:\\Program Files\\My Book\"  ", "ok D=[C:\\Program Files\\My Book]"},
      {"setup.exe /D=C:\\Books\\ ", "ok D=[C:\\Books\\]"},
      // A shell doubles the backslash before a closing quote.
      {"setup.exe \"/D=C:\\My Books\\\\\"", "ok D=[C:\\My Books\\]"},
      {"setup.exe /D=C:\\", "ok D=[C:\\]"},
      {"setup.exe /D=C:\\a /S", "ok D=[C:\\a /S]"},
      {"setup.exe /D=", "usage refused D=[]"},
      {"setup.exe \"/D=\"", "usage refused D=[]"},
      // Passwords and files, quoted when they hold spaces.
      {"setup.exe /P=secret", "ok P=[secret]"},
      {"setup.exe \"/P=open sesame\" /S", "ok S NORUN O=all P=[open sesame]"},
      {"setup.exe /P=\"open sesame\"", "ok P=[open sesame]"},
      {"setup.exe /P=", "usage refused"},
      {"setup.exe /O=all /O=none", "ok O=none"},
      {"setup.exe /PF=C:\\pw.txt", "ok PF=[C:\\pw.txt]"},
      {"setup.exe /PF=", "usage refused"},
      {"setup.exe \"/LOG=C:\\My Logs\\book.log\"", "ok LOG=[C:\\My Logs\\book.log]"},
      {"setup.exe /LOG=", "usage refused"},
      {"setup.exe /ELEVATED /D=C:\\x", "ok ELEVATED D=[C:\\x]"},
      {"setup.exe /ELEVATE /D=C:\\x", "usage refused D=[C:\\x]"},
      // The usage, asked for or earned.
      {"setup.exe /?", "usage"},
      {"setup.exe /S /?", "usage S NORUN O=all"},
      {"setup.exe /X", "usage refused"},
      {"setup.exe S", "usage refused"},
      {"setup.exe /SS", "usage refused"},
      {"setup.exe /NORUNX", "usage refused"},
      {"setup.exe /S /BOGUS /D=C:\\x", "usage refused S NORUN O=all D=[C:\\x]"},
  };
  for (const auto& [line, meaning] : cases) EXPECT_EQ(Meaning(line), meaning) << line;
}

}  // namespace
}  // namespace ebook::test
