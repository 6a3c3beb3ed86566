// Our stand-in for the application framework's string: single-byte ANSI
// text with the conversions the server relies on.
#pragma once

#include <cstdarg>
#include <string>

class CString {
 public:
  CString() = default;
  CString(const char* text) : text_(text ? text : "") {}
  CString(const std::string& text) : text_(text) {}

  operator const char*() const { return text_.c_str(); }
  const std::string& str() const { return text_; }
  int GetLength() const { return static_cast<int>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }
  void Empty() { text_.clear(); }

  CString& operator=(const char* text) { text_ = text ? text : ""; return *this; }
  CString& operator+=(const char* text) { text_ += text ? text : ""; return *this; }
  CString& operator+=(char c) { text_ += c; return *this; }
  friend CString operator+(const CString& a, const char* b) { CString r(a); r += b; return r; }
  bool operator==(const char* other) const { return text_ == (other ? other : ""); }
  bool operator!=(const char* other) const { return !(*this == other); }

  void Format(const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
  void FormatV(const char* format, va_list args);

 private:
  std::string text_;
};
