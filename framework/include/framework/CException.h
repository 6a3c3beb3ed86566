// Our stand-in for the framework's exception base: an object that can
// describe itself as text.
#pragma once

#include <cstring>
#include <string>

class CException {
 public:
  CException() = default;
  explicit CException(std::string message) : message_(std::move(message)) {}
  virtual ~CException() = default;

  // Writes the description into buffer (at most size - 1 characters, always
  // terminated). helpContext, when given, is set to 0: we have no help.
  virtual bool GetErrorMessage(char* buffer, unsigned size, unsigned* helpContext) const {
    if (helpContext) *helpContext = 0;
    if (!buffer || size == 0) return false;
    std::strncpy(buffer, message_.c_str(), size - 1);
    buffer[size - 1] = '\0';
    return true;
  }

 private:
  std::string message_;
};
