#include "host_json.h"

#include <algorithm>
#include <cstdio>

namespace vornak2::host {

std::string JsonString(const std::string& text) {
  std::string out(1, '"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
  fields_ += ',';
  fields_ += JsonString(key);
  fields_ += ':';
  fields_ += json;
  keys_.emplace_back(key);
  return *this;
}

JsonObject& JsonObject::Add(const char* key, const std::string& value) {
  return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const char* key, std::int64_t value) {
  return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::AddFlag(const char* key, bool value) {
  return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::AddNumber(const char* key, const std::string& digits) {
  const bool number =
      !digits.empty() && digits.size() <= 18 &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      (digits.size() == 1 || digits[0] != '0');
  return number ? Raw(key, digits) : Add(key, digits);
}

JsonObject& JsonObject::AddList(const char* key, const std::vector<std::string>& values) {
  std::string list(1, '[');
  for (const std::string& value : values) {
    if (list.size() > 1) list += ',';
    list += JsonString(value);
  }
  list += ']';
  return Raw(key, list);
}

JsonObject& JsonObject::AddObjects(const char* key, const std::vector<JsonObject>& objects) {
  std::string list(1, '[');
  for (const JsonObject& object : objects) {
    if (list.size() > 1) list += ',';
    list += object.Text();
  }
  list += ']';
  return Raw(key, list);
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
  fields_ += other.fields_;
  keys_.insert(keys_.end(), other.keys_.begin(), other.keys_.end());
  return *this;
}

bool JsonObject::Has(const char* key) const {
  return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

std::string JsonObject::Text() const {
  std::string text(1, '{');
  if (!fields_.empty()) text.append(fields_, 1);
  text += '}';
  return text;
}

}  // namespace vornak2::host
