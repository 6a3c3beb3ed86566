#include "ActiveConfiguration.h"

#include <windows.h>

#include <cctype>
#include <map>

#include "BootpMessages.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// active.ini holds a few lines per board; anything this large is not one.
constexpr long kLargestFile = 4L * 1024 * 1024;

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool SameText(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

bool IsHex(const std::string& text, size_t from, size_t count) {
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool EndsWithListName(const std::string& path) {
  return path.size() > 4 && SameText(path.substr(path.size() - 4), ".cfg");
}

// The text between the address and the crc is the list path, and it may
// hold blanks ("C:\Program Files\..."), as may the name after the block
// count. The path is "NOPATH" or ends in ".cfg" (the server names list
// files that way), and the crc and block count are four hex digits each:
// the first place where all of that holds splits the record.
bool SplitPathAndName(const std::string& rest, std::string& path, std::string& numbers,
                      std::string& name) {
  size_t fallback = std::string::npos;
  for (size_t blank = rest.find(' '); blank != std::string::npos;
       blank = rest.find(' ', blank + 1)) {
    bool numbersFollow = IsHex(rest, blank + 1, 4) && rest.size() > blank + 10 &&
                         rest[blank + 5] == ' ' && IsHex(rest, blank + 6, 4) &&
                         rest[blank + 10] == ' ';
    if (!numbersFollow) continue;
    std::string candidate = rest.substr(0, blank);
    if (candidate == "NOPATH" || EndsWithListName(candidate)) {
      fallback = blank;
      break;
    }
    if (fallback == std::string::npos) fallback = blank;
  }
  if (fallback == std::string::npos || fallback == 0) return false;
  path = rest.substr(0, fallback);
  numbers = rest.substr(fallback + 1, 9);
  name = Trimmed(rest.substr(fallback + 11));
  return true;
}

class RecordReader {
 public:
  RecordReader(const std::string& path, int line, const std::string& text)
      : path_(path), line_(line), text_(text) {}

  [[noreturn]] void Fail(const std::string& reason) const {
    RaiseMalformedLine(path_, line_, text_, reason);
  }

  BootpBoard Read(const std::string& key, const std::string& value) const {
    BootpBoard board;
    board.line = line_;
    if (key.size() != 12 || !IsHex(key, 0, 12))
      Fail("the key must be a hardware address of twelve hexadecimal digits");
    board.hardwareText = key;
    for (int i = 0; i < 6; ++i)
      board.hardwareAddress[i] =
          static_cast<unsigned char>(std::stoul(key.substr(2 * i, 2), nullptr, 16));

    // From the right: type and number; from the left: the address. What is
    // left holds the path, crc, blocks and name.
    size_t typeBlank = value.rfind(' ');
    size_t numberBlank = typeBlank == std::string::npos || typeBlank == 0
                             ? std::string::npos
                             : value.rfind(' ', typeBlank - 1);
    size_t addressBlank = value.find(' ');
    if (numberBlank == std::string::npos || addressBlank >= numberBlank)
      Fail(kRecordForms);
    std::string type = value.substr(typeBlank + 1);
    std::string number = value.substr(numberBlank + 1, typeBlank - numberBlank - 1);
    board.ipAddress = value.substr(0, addressBlank);
    std::string rest = Trimmed(value.substr(addressBlank + 1, numberBlank - addressBlank - 1));

    if (!IsDottedAddress(board.ipAddress))
      Fail("\"" + board.ipAddress + "\" is not a dotted IPv4 address");
    std::string listPath, numbers;
    if (!SplitPathAndName(rest, listPath, numbers, board.name)) Fail(kRecordForms);
    if (board.name.empty()) Fail("the board name is missing");
    if (!IsDecimal(number)) Fail("the board number \"" + number + "\" is not a number");
    if (type.size() != 1 || !std::isalpha(static_cast<unsigned char>(type[0])))
      Fail("the board type \"" + type + "\" is not a single letter");
    board.listPath = listPath == "NOPATH" ? std::string() : listPath;
    board.listCrc = static_cast<unsigned>(std::stoul(numbers.substr(0, 4), nullptr, 16));
    board.listBlocks = static_cast<unsigned>(std::stoul(numbers.substr(5, 4), nullptr, 16));
    board.number = std::stoi(number);
    board.type = type[0];
    return board;
  }

  static const char kRecordForms[];

 private:
  const std::string& path_;
  int line_;
  const std::string& text_;
};

const char RecordReader::kRecordForms[] =
    "a record must be \"address list-path crc blocks name number type\" or \"address NOPATH "
    "FFFF 0000 name number type\"";

}  // namespace

bool IsDottedAddress(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (true) {
    size_t dot = text.find('.', at);
    std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    if (part.size() > 3 || !IsDecimal(part) || std::stoi(part) > 255) return false;
    ++parts;
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  return parts == 4;
}

std::vector<BootpBoard> ParseActiveConfiguration(const std::string& content,
                                                 const std::string& path) {
  std::vector<BootpBoard> boards;
  std::map<std::string, int> lineOfKey;
  bool inConfig = false, sawConfig = false;
  int lineNumber = 0;
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    if (end == std::string::npos) end = content.size();
    std::string raw = content.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    std::string line = Trimmed(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      inConfig = SameText(Trimmed(line.substr(1, line.size() - 2)), "CONFIG");
      sawConfig = sawConfig || inConfig;
      continue;
    }
    if (!inConfig) continue;
    RecordReader reader(path, lineNumber, line);
    size_t equals = line.find('=');
    if (equals == std::string::npos) reader.Fail("it is not a key=value line");
    std::string key = Trimmed(line.substr(0, equals));
    BootpBoard board = reader.Read(key, Trimmed(line.substr(equals + 1)));
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto earlier = lineOfKey.find(key);
    if (earlier != lineOfKey.end())
      reader.Fail("the hardware address " + key + " is already on line " +
                  std::to_string(earlier->second));
    lineOfKey[key] = lineNumber;
    boards.push_back(std::move(board));
  }
  if (!sawConfig) RaiseNoConfigSection(path);
  return boards;
}

std::vector<BootpBoard> ReadActiveConfiguration(const std::string& path) {
  // Shared for writing too: the profile functions of a set change may still
  // hold the file while the reset is answered.
  UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) RaiseCannotRead(path, GetLastError());
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) RaiseCannotRead(path, GetLastError());
  if (size.QuadPart > kLargestFile) RaiseTooLarge(path);
  std::string content(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!content.empty() &&
      !ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &got, nullptr))
    RaiseCannotRead(path, GetLastError());
  content.resize(got);
  return ParseActiveConfiguration(content, path);
}

std::vector<const BootpBoard*> BoardsWithoutListFile(const std::vector<BootpBoard>& boards) {
  std::vector<const BootpBoard*> missing;
  for (const BootpBoard& board : boards) {
    if (board.listPath.empty()) continue;
    DWORD attributes = GetFileAttributesA(board.listPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      missing.push_back(&board);
  }
  return missing;
}
