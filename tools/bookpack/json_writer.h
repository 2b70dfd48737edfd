// A small JSON writer for `--json`: objects, arrays, strings, numbers,
// booleans and null, written in order. Strings are escaped per RFC 8259;
// bytes that are not well-formed UTF-8 are written as U+FFFD, so the output
// always parses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bookpack {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The key of the next value, inside an object.
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Number(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // The text so far (complete once every object and array is closed).
  const std::string& Text() const { return out_; }

  static std::string Quoted(std::string_view text);

 private:
  void BeforeValue();
  std::string out_;
  std::vector<bool> first_;  // per open container: no member written yet
  bool afterKey_ = false;
};

}  // namespace bookpack
