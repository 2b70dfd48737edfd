#include "json_log.h"

#include <cstdio>

namespace uidriver {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

namespace {

// JSON string syntax over UTF-8 bytes: only quotes, backslashes and control
// characters need escapes; everything else passes through.
std::string Quoted(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

void Json::Separator() {
  if (!empty_) body_ += ',';
  empty_ = false;
}

void Json::Key(const char* key) {
  Separator();
  body_ += Quoted(key);
  body_ += ':';
}

Json& Json::Add(const char* key, const std::wstring& text) {
  Key(key);
  body_ += Quoted(Utf8(text));
  return *this;
}

Json& Json::Add(const char* key, const char* text) {
  Key(key);
  body_ += Quoted(text);
  return *this;
}

Json& Json::Add(const char* key, long long number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

Json& Json::AddBool(const char* key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

Json& Json::AddJson(const char* key, const Json& value) {
  Key(key);
  body_ += value.Text();
  return *this;
}

Json& Json::Push(const std::wstring& text) {
  Separator();
  body_ += Quoted(Utf8(text));
  return *this;
}

Json& Json::Push(long long number) {
  Separator();
  body_ += std::to_string(number);
  return *this;
}

Json& Json::PushJson(const Json& value) {
  Separator();
  body_ += value.Text();
  return *this;
}

bool Log::Open(const std::wstring& path) {
  opened_ = GetTickCount();
  file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  return file_ != INVALID_HANDLE_VALUE;
}

void Log::Write(const Json& line) {
  // Milliseconds since the log was opened, to tell a slow step from a hung one.
  Json stamped = line;
  stamped.Add("ms", static_cast<long long>(GetTickCount() - opened_));
  std::string text = stamped.Text() + "\n";
  DWORD written = 0;
  WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace uidriver
