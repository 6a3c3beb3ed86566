#include "setfiles/DescriptionFiles.h"

#include <cstring>

#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// A "brdlists" line shorter than this (line end removed) ends the file.
constexpr size_t kShortestBrdlistsLine = 12;
constexpr size_t kProtomapNameSize = 8;

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (at < line.size()) {
    const size_t start = line.find_first_not_of(" \t\r", at);
    if (start == std::string::npos) break;
    size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    at = end;
  }
  return fields;
}

// A whole field of decimal digits (an optional sign first); false for
// anything else, and for values a long cannot hold.
bool ParseDecimal(const std::string& field, long& value) {
  size_t at = 0;
  bool negative = false;
  if (at < field.size() && (field[at] == '-' || field[at] == '+')) negative = field[at++] == '-';
  if (at == field.size() || field.size() - at > 9) return false;
  long result = 0;
  for (; at < field.size(); ++at) {
    if (field[at] < '0' || field[at] > '9') return false;
    result = result * 10 + (field[at] - '0');
  }
  value = negative ? -result : result;
  return true;
}

unsigned char ProtocolNumber(const std::string& field, int lineNumber, const char* what) {
  long value = 0;
  if (!ParseDecimal(field, value) || value < 0 || value > 255)
    RaiseFormatted("Line %d of the PROTOMAP file has a %s that is not a number from 0 to 255: %s",
                   lineNumber, what, field.c_str());
  return static_cast<unsigned char>(value);
}

}  // namespace

TextLine ReadDescriptionLine(FILE* file, std::string& line) {
  line.clear();
  for (;;) {
    const int c = std::getc(file);
    if (c == EOF) return line.empty() ? TextLine::End : TextLine::Unterminated;
    if (c == '\n') return TextLine::Line;
    if (line.size() == kMaxDescriptionLine) return TextLine::TooLong;
    line += static_cast<char>(c);
  }
}

bool BrdlistsEntry::AppliesTo(char boardType) const {
  return boardTypes.find(boardType) != std::string::npos;
}

bool BrdlistsReader::Next(BrdlistsEntry& entry) {
  if (ended_) return false;
  std::string line;
  ++lineNumber_;
  switch (ReadDescriptionLine(file_, line)) {
    case TextLine::End:
    case TextLine::Unterminated:
      ended_ = true;
      return false;
    case TextLine::TooLong:
      ended_ = true;
      RaiseFormatted("Line %d of brdlists is longer than %d characters.", lineNumber_,
                     static_cast<int>(kMaxDescriptionLine));
    case TextLine::Line:
      break;
  }
  if (line.size() < kShortestBrdlistsLine) {
    ended_ = true;
    return false;
  }
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < 3) {
    ended_ = true;
    RaiseFormatted("Line %d of brdlists does not hold a list name, a required flag and board "
                   "type letters: %s",
                   lineNumber_, line.c_str());
  }
  long required = 0;
  if (!ParseDecimal(fields[1], required)) {
    ended_ = true;
    RaiseFormatted("Line %d of brdlists has a required flag that is not a decimal number: %s",
                   lineNumber_, fields[1].c_str());
  }
  entry.listName = fields[0];
  entry.required = required != 0;
  entry.boardTypes = fields[2];
  return true;
}

BrdlistsLines ReadBrdlistsLines(const std::string& path) {
  BrdlistsLines lines;
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (!file) return lines;
  lines.opened = true;
  BrdlistsReader reader(file.get());
  BrdlistsEntry entry;
  try {
    while (reader.Next(entry)) lines.entries.push_back(entry);
  } catch (char* text) {
    lines.broken = true;
    lines.problem = text ? text : "";
  }
  return lines;
}

ProtomapRecord ParseProtomapLine(const std::string& line, int lineNumber) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < 4)
    RaiseFormatted("Line %d of the PROTOMAP file does not hold a protocol number, a replacement "
                   "protocol number, a board type letter and a list name: %s",
                   lineNumber, line.c_str());
  ProtomapRecord record;
  record.protocol = ProtocolNumber(fields[0], lineNumber, "protocol number");
  record.replacement = ProtocolNumber(fields[1], lineNumber, "replacement protocol number");
  record.boardType = fields[2][0];
  if (fields[3].size() > kProtomapNameSize)
    RaiseFormatted("Line %d of the PROTOMAP file names a list longer than %d characters: %s",
                   lineNumber, static_cast<int>(kProtomapNameSize), fields[3].c_str());
  std::memcpy(record.listName, fields[3].data(), fields[3].size());
  record.listName[fields[3].size()] = '\0';
  return record;
}

std::vector<ProtomapRecord> ReadProtomap(FILE* file) {
  std::vector<ProtomapRecord> records;
  std::string line;
  for (int lineNumber = 1;; ++lineNumber) {
    const TextLine kind = ReadDescriptionLine(file, line);
    if (kind == TextLine::End || kind == TextLine::Unterminated) break;
    if (kind == TextLine::TooLong)
      RaiseFormatted("Line %d of the PROTOMAP file is longer than %d characters.", lineNumber,
                     static_cast<int>(kMaxDescriptionLine));
    if (line.empty()) break;
    if (line[0] == '#') continue;
    records.push_back(ParseProtomapLine(line, lineNumber));
  }
  return records;
}

const ProtomapRecord* FindProtomapRecord(const std::vector<ProtomapRecord>& records,
                                         unsigned char protocolId, char boardType) {
  for (const ProtomapRecord& record : records)
    if (record.Matches(protocolId, boardType)) return &record;
  return nullptr;
}
