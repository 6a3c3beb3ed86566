#include "setchange/ProfileFile.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end + 1 - start);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// "[name]" (spaces around allowed): true with the name.
bool IsSectionHeader(const std::string& line, std::string* name) {
  const std::string text = Trimmed(line);
  if (text.size() < 2 || text.front() != '[') return false;
  const size_t close = text.find(']');
  if (close == std::string::npos) return false;
  if (name) *name = Trimmed(text.substr(1, close - 1));
  return true;
}

// "key=value": true with the trimmed key (and value).
bool IsKeyLine(const std::string& line, std::string* key, std::string* value) {
  const std::string text = Trimmed(line);
  if (text.empty() || text[0] == ';') return false;
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  if (key) *key = Trimmed(text.substr(0, equals));
  if (value) *value = Trimmed(text.substr(equals + 1));
  return true;
}

// The form names are indexed under: the letters _strnicmp ignores the
// case of in lower case.
std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {
  UniqueFile file(std::fopen(path_.c_str(), "rb"));
  if (!file) return;
  std::string line;
  int c;
  while ((c = std::getc(file.get())) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) lines_.push_back(line);
}

size_t ProfileFile::FindSection(const std::string& section) const {
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (IsSectionHeader(lines_[i], &name) && SameText(name, Trimmed(section))) return i;
  return std::string::npos;
}

size_t ProfileFile::FindKey(size_t header, const std::string& key, size_t* end) const {
  size_t found = std::string::npos;
  size_t i = header + 1;
  std::string name;
  for (; i < lines_.size() && !IsSectionHeader(lines_[i], nullptr); ++i)
    if (found == std::string::npos && IsKeyLine(lines_[i], &name, nullptr) &&
        SameText(name, Trimmed(key)))
      found = i;
  if (end) *end = i;
  return found;
}

std::string ProfileFile::Get(const std::string& section, const std::string& key) const {
  const size_t header = FindSection(section);
  if (header == std::string::npos) return std::string();
  const size_t line = FindKey(header, key, nullptr);
  if (line == std::string::npos) return std::string();
  std::string value;
  IsKeyLine(lines_[line], nullptr, &value);
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return value;
}

void ProfileFile::BuildIndex() {
  sections_.clear();
  keys_.clear();
  hasHeader_ = false;
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (IsSectionHeader(lines_[i], &name)) {
      sections_.emplace(LowerCase(name), i);
      lastHeader_ = i;
      hasHeader_ = true;
    } else if (hasHeader_ && IsKeyLine(lines_[i], &name, nullptr)) {
      keys_.emplace(std::make_pair(lastHeader_, LowerCase(name)), i);
    }
  }
  indexed_ = true;
}

void ProfileFile::IndexAppendedLine() {
  const size_t line = lines_.size() - 1;
  std::string name;
  if (IsSectionHeader(lines_[line], nullptr)) {
    indexed_ = false;
  } else if (hasHeader_ && IsKeyLine(lines_[line], &name, nullptr)) {
    keys_.emplace(std::make_pair(lastHeader_, LowerCase(name)), line);
  }
}

void ProfileFile::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
  const std::string entry = Trimmed(key) + "=" + value;
  if (!indexed_) BuildIndex();
  const auto found = sections_.find(LowerCase(Trimmed(section)));
  if (found == sections_.end()) {
    lines_.push_back("[" + Trimmed(section) + "]");
    // A section name holding "]" reads back as another name: start over.
    std::string name;
    if (IsSectionHeader(lines_.back(), &name) && SameText(name, Trimmed(section))) {
      sections_.emplace(LowerCase(name), lines_.size() - 1);
      lastHeader_ = lines_.size() - 1;
      hasHeader_ = true;
    } else {
      indexed_ = false;
    }
    lines_.push_back(entry);
    if (indexed_) IndexAppendedLine();
    return;
  }
  const size_t header = found->second;
  const auto keyLine = keys_.find(std::make_pair(header, LowerCase(Trimmed(key))));
  if (keyLine != keys_.end()) {
    lines_[keyLine->second] = entry;
    // The key reads back the same; only a value that makes the line look
    // like a section header changes what the lines mean.
    if (IsSectionHeader(entry, nullptr)) indexed_ = false;
    return;
  }
  // After the section's last entry, before any blank lines that part it
  // from the next section.
  size_t end = 0;
  if (header == lastHeader_) {
    end = lines_.size();
  } else {
    FindKey(header, key, &end);
  }
  size_t at = end;
  while (at > header + 1 && Trimmed(lines_[at - 1]).empty()) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), entry);
  if (at == lines_.size() - 1 && header == lastHeader_) {
    IndexAppendedLine();
  } else {
    indexed_ = false;  // the lines after it moved
  }
}

void ProfileFile::Save() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\r\n";
  UniqueFile file(std::fopen(path_.c_str(), "wb"));
  bool written = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  if (file && std::fclose(file.release()) != 0) written = false;
  if (!written) RaiseFormatted("Could not write %s", path_.c_str());
}
