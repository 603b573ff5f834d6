// The exception classes of the library. Each reports its own class name, which appears in the
// texts that operations record when they catch one (the name does not come from typeid, so it is
// stable across compilers).
#pragma once

#include <stdexcept>
#include <string>

namespace vornak2 {

// Common base of the library's own exceptions.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

// Raised by the Base64 codec.
class EMimeException : public Error {
 public:
  using Error::Error;
  const char* ClassName() const noexcept override { return "EMimeException"; }
};

// A directory or file that the file system refused to create.
class EInOutError : public Error {
 public:
  using Error::Error;
  const char* ClassName() const noexcept override { return "EInOutError"; }
};

// A failed internal consistency check; the message names the unit and line.
class EAssertionFailed : public Error {
 public:
  EAssertionFailed(const char* unit, int line)
      : Error("Assertion failure (" + std::string(unit) + ", line " + std::to_string(line) + ")") {}
  const char* ClassName() const noexcept override { return "EAssertionFailed"; }
};

// Class name of any exception, for the texts that record caught exceptions.
inline const char* ExceptionClassName(const std::exception& e) noexcept {
  if (auto* own = dynamic_cast<const Error*>(&e)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  return "Exception";
}

}  // namespace vornak2
