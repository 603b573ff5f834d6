// vornak2-host: the --json result line. One JSON object per command, built field by field in
// the order the fields are added; texts are UTF-8 with the characters JSON requires escaped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vornak2::host {

// A JSON string literal of `text`, quotes included.
std::string JsonString(const std::string& text);

class JsonObject {
 public:
  JsonObject& Add(const char* key, const std::string& value);
  JsonObject& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
  JsonObject& Add(const char* key, std::int64_t value);
  JsonObject& AddFlag(const char* key, bool value);
  // A number given as decimal digits (as the library's texts carry numbers); a text that is no
  // such number is added as a string.
  JsonObject& AddNumber(const char* key, const std::string& digits);
  JsonObject& AddList(const char* key, const std::vector<std::string>& values);
  JsonObject& AddObjects(const char* key, const std::vector<JsonObject>& objects);
  // Adds the fields of `other`.
  JsonObject& Merge(const JsonObject& other);
  // Whether a field of that name was added.
  bool Has(const char* key) const;
  // {"key":value,...}
  std::string Text() const;
  // The fields without the braces, each preceded by a comma.
  const std::string& Fields() const { return fields_; }

 private:
  JsonObject& Raw(const char* key, const std::string& json);
  std::string fields_;
  std::vector<std::string> keys_;
};

}  // namespace vornak2::host
