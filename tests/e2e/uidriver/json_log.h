// The driver's log: one JSON object per line, UTF-8, written straight to the
// file so that a run cut short by a timeout still leaves every line it got to.
#pragma once

#include <windows.h>

#include <string>

namespace uidriver {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// Builds one JSON object or array; values are appended in call order.
class Json {
 public:
  static Json Object() { return Json('{', '}'); }
  static Json Array() { return Json('[', ']'); }

  Json& Add(const char* key, const std::wstring& text);
  Json& Add(const char* key, const char* text);
  Json& Add(const char* key, long long number);
  Json& AddBool(const char* key, bool value);
  Json& AddJson(const char* key, const Json& value);
  // Array elements.
  Json& Push(const std::wstring& text);
  Json& Push(long long number);
  Json& PushJson(const Json& value);

  std::string Text() const { return body_ + close_; }

 private:
  Json(char open, char close) : body_(1, open), close_(1, close) {}
  void Key(const char* key);
  void Separator();
  std::string body_;
  std::string close_;
  bool empty_ = true;
};

class Log {
 public:
  bool Open(const std::wstring& path);
  void Write(const Json& line);

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  DWORD opened_ = 0;
};

}  // namespace uidriver
