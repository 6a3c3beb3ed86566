#include "SetFileTool.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "SetFileDiff.h"
#include "setfiles/BoardLists.h"
#include "setfiles/ConfigurationContext.h"
#include "setfiles/SetFile.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

const char kSetFileToolUsage[] =
    "Usage: korvane-setfile <command> ...\n"
    "\n"
    "  build <folder> <set file>\n"
    "      Writes a set file holding one list per file of the folder (the file's\n"
    "      name is the list's name, 1 to 13 characters), in name order.\n"
    "  dump <set file>\n"
    "      Shows the set's lists with their data offsets and lengths, and whether\n"
    "      its CRC holds.\n"
    "  extract <set file> <folder> [--force]\n"
    "      Writes each list of the set into the folder (made if missing) as a file\n"
    "      named after the list. A set whose CRC fails is extracted only with\n"
    "      --force.\n"
    "  check <set file> [--root <installation root> | --common <folder>]\n"
    "        [--base-ip <a.b.c.d>] [--comm-port <n>] [--keep <folder>]\n"
    "      Validates the set as a set change does and, given the installation's\n"
    "      \"config\\common\" files (\"brdlists\", \"protomap\") through --root or\n"
    "      --common, writes every board's list file into a scratch folder,\n"
    "      reporting each error with the text a set change would give. Nothing of\n"
    "      the installation is changed. The base IP address (default 10.0.0.1)\n"
    "      and the communication port (default 0) fill the generated \"IP\" and\n"
    "      \"COMMPORT\" lists. --keep uses the folder as the scratch root and keeps\n"
    "      what was written there (active\\complete.cfg and the boards' list\n"
    "      files). Operator warnings are printed, not shown.\n"
    "  diff <set file A> (<set file B> | --active) [--json]\n"
    "       [--root <installation root> | --common <folder>] [--base-ip <a.b.c.d>]\n"
    "       [--comm-port <n>]\n"
    "      Compares two configurations board by board (boards are told apart by\n"
    "      their hardware address): boards removed from A, added in B, and changed\n"
    "      (number, name, type, IP address, partner), each changed board with the\n"
    "      lists of its list file whose bytes differ (size and CRC on either side),\n"
    "      and the lists of the set that differ. The boards' list files are made\n"
    "      as a set change makes them, which needs --root or --common as for check.\n"
    "      --active compares A with the installation's active configuration as the\n"
    "      server recorded it (its board records, list files and complete.cfg),\n"
    "      A being made with the installation's own settings. --json prints one\n"
    "      JSON object instead. Exit codes of diff: 0 equal, 1 different, 2 bad\n"
    "      input or usage (the reason on standard error).\n"
    "\n"
    "Exit codes:\n"
    "  0  done; for dump and check: the set is sound\n"
    "  1  the set or the folder of lists is not sound (the report says why)\n"
    "  2  usage error\n"
    "  3  a file or folder of the tool's own could not be read or written\n";

std::string DottedAddressText(unsigned long address) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

bool ParseDottedAddress(const std::string& text, unsigned long& address) {
  unsigned long parts[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t digits = 0;
    unsigned long part = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 4) {
      part = part * 10 + static_cast<unsigned long>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || part > 255) return false;
    parts[i] = part;
    if (i < 3 && (at >= text.size() || text[at++] != '.')) return false;
  }
  if (at != text.size()) return false;
  address = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
  return true;
}

namespace {

struct UsageError {
  std::string text;
};

// An error of the tool's own files rather than of the set.
struct IoError {
  std::string text;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A list name that can be a file name here and on any Windows drive: no
// separators or reserved characters, no device names, nothing that names a
// folder.
bool UsableFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || std::strchr("<>:\"/\\|?*", c)) return false;
  if (name.back() == ' ' || name.back() == '.') return false;
  std::string stem = Lower(name.substr(0, name.find('.')));
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "com1", "com2", "com3", "com4",
                                         "com5", "com6", "com7", "com8", "com9", "lpt1", "lpt2",
                                         "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  for (const char* device : kDevices)
    if (stem == device) return false;
  return true;
}

std::vector<std::string> FilesOf(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &found));
  if (!find) throw IoError{"Could not read the folder " + folder + "."};
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(find.get(), &found));
  return names;
}

std::string ReadOwn(const std::string& path) {
  try {
    return ReadWholeFile(path);
  } catch (char* text) {
    throw IoError{text};
  }
}

void WriteOwn(const std::string& path, const std::string& bytes) {
  try {
    WriteWholeFile(path, bytes);
  } catch (char* text) {
    throw IoError{text};
  }
}

void MakeFolder(const std::string& folder) {
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw IoError{"Could not create the folder " + folder + "."};
}

int Build(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 3) throw UsageError{"build needs a folder and a set file."};
  const std::string& folder = args[1];
  const std::string& setPath = args[2];
  std::vector<std::string> names = FilesOf(folder);
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
  int problems = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].size() > kListNameSize - 1) {
      out << "error: " << names[i] << ": a list name holds at most " << kListNameSize - 1
          << " characters.\n";
      ++problems;
    }
    if (i > 0 && Lower(names[i]) == Lower(names[i - 1])) {
      out << "error: " << names[i - 1] << " and " << names[i]
          << " differ only in letter case; list lookups would not tell them apart.\n";
      ++problems;
    }
  }
  if (names.empty()) {
    out << "error: " << folder << " holds no files to make lists of.\n";
    ++problems;
  }
  if (problems) {
    out << "Nothing was written.\n";
    return kExitInvalid;
  }
  std::vector<NamedList> lists;
  for (const std::string& name : names) lists.push_back({name, ReadOwn(folder + "\\" + name)});
  std::string set;
  try {
    set = ComposeSetFile(lists);
  } catch (char* text) {
    out << "error: " << text << "\nNothing was written.\n";
    return kExitInvalid;
  }
  WriteOwn(setPath, set);
  out << "Wrote " << setPath << ": " << lists.size() << " lists, " << set.size() << " bytes.\n";
  return kExitOk;
}

int Dump(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 2) throw UsageError{"dump needs a set file."};
  const std::string bytes = ReadOwn(args[1]);
  const SetFileLayout layout = ParseSetFile(bytes);
  out << args[1] << ": " << bytes.size() << " bytes, " << layout.entries.size() << " lists\n";
  if (!layout.entries.empty()) {
    char line[96];
    std::snprintf(line, sizeof line, "  %10s %10s  %s\n", "offset", "length", "name");
    out << line;
    for (const SetFileEntry& entry : layout.entries) {
      std::snprintf(line, sizeof line, "  %10llu %10lu  ", entry.offset, entry.length);
      out << line << entry.name << "\n";
    }
  }
  if (!layout.problem.empty()) {
    out << "Broken: " << layout.problem << "\n";
    return kExitInvalid;
  }
  char crc[80];
  std::snprintf(crc, sizeof crc, "CRC stored %04X, computed %04X: %s\n", layout.storedCrc,
                layout.computedCrc, layout.CrcHolds() ? "holds" : "FAILED");
  out << crc;
  const size_t used = layout.entries.empty()
                          ? kSetHeaderSize + kListDefSize
                          : static_cast<size_t>(layout.entries.back().offset + layout.entries.back().length +
                                                (layout.entries.back().length & 1) + kListDefSize);
  if (used < bytes.size())
    out << bytes.size() - used << " bytes after the end-of-directory entry are not part of the set.\n";
  return layout.CrcHolds() ? kExitOk : kExitInvalid;
}

int Extract(const std::vector<std::string>& args, std::ostream& out) {
  bool force = false;
  std::vector<std::string> plain;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--force") {
      force = true;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 2) throw UsageError{"extract needs a set file and a folder."};
  const std::string& setPath = plain[0];
  const std::string& folder = plain[1];
  const std::string bytes = ReadOwn(setPath);
  const SetFileLayout layout = ParseSetFile(bytes);
  if (!layout.problem.empty()) {
    out << "error: " << setPath << ": " << layout.problem << "\nNothing was extracted.\n";
    return kExitInvalid;
  }
  if (!layout.CrcHolds() && !force) {
    out << "error: CRC failed for " << setPath
        << "\nNothing was extracted (--force extracts it anyway).\n";
    return kExitInvalid;
  }
  // A later list of the same name is the one lookups find.
  std::map<std::string, size_t> latest;
  int problems = 0;
  for (size_t i = 0; i < layout.entries.size(); ++i) {
    const std::string& name = layout.entries[i].name;
    if (!UsableFileName(name)) {
      out << "error: the list name \"" << name << "\" cannot be a file name.\n";
      ++problems;
    }
    latest[Lower(name)] = i;
  }
  if (problems) {
    out << "Nothing was extracted.\n";
    return kExitInvalid;
  }
  MakeFolder(folder);
  size_t written = 0;
  for (size_t i = 0; i < layout.entries.size(); ++i) {
    const SetFileEntry& entry = layout.entries[i];
    if (latest[Lower(entry.name)] != i) {
      out << "note: " << entry.name << " appears again later in the set; the later one is extracted.\n";
      continue;
    }
    WriteOwn(folder + "\\" + entry.name, bytes.substr(static_cast<size_t>(entry.offset), entry.length));
    ++written;
  }
  out << "Extracted " << written << " lists into " << folder << ".\n";
  return kExitOk;
}

// The folder a check writes into: a fresh one under the temporary
// directory, removed afterwards, or the operator's own, kept.
class ScratchRoot {
 public:
  explicit ScratchRoot(const std::string& keep) : keep_(!keep.empty()) {
    if (keep_) {
      path_ = keep;
      while (!path_.empty() && (path_.back() == '\\' || path_.back() == '/')) path_.pop_back();
      // The check writes "active\complete.cfg" and list files: never over an
      // installation's active configuration.
      if (GetFileAttributesA((path_ + "\\active\\ACTSET").c_str()) != INVALID_FILE_ATTRIBUTES ||
          GetFileAttributesA((path_ + "\\active\\active.ini").c_str()) != INVALID_FILE_ATTRIBUTES)
        throw UsageError{"--keep " + keep + " holds an active configuration; give an empty folder."};
      MakeFolder(path_);
      return;
    }
    char base[MAX_PATH];
    if (!GetTempPathA(sizeof base, base)) throw IoError{"No temporary folder is set."};
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof name, "%skorvane-setfile-check-%lu-%lu", base,
                  static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(GetTickCount()));
    path_ = name;
    MakeFolder(path_);
  }
  ~ScratchRoot() {
    if (!keep_) RemoveTree(path_);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  bool keep_;
  std::string path_;
};

int Check(const std::vector<std::string>& args, std::ostream& out) {
  std::string setPath, root, common, keep;
  unsigned long baseIp = 0x0A000001;
  unsigned long port = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takesValue = arg == "--root" || arg == "--common" || arg == "--base-ip" ||
                            arg == "--comm-port" || arg == "--keep";
    if (takesValue && i + 1 >= args.size()) throw UsageError{arg + " needs a value."};
    if (arg == "--root") {
      root = args[++i];
    } else if (arg == "--common") {
      common = args[++i];
    } else if (arg == "--keep") {
      keep = args[++i];
    } else if (arg == "--base-ip") {
      if (!ParseDottedAddress(args[++i], baseIp)) throw UsageError{"--base-ip wants a dotted IPv4 address."};
    } else if (arg == "--comm-port") {
      const std::string& value = args[++i];
      char* end = nullptr;
      port = std::strtoul(value.c_str(), &end, 0);
      if (value.empty() || *end || port > 0xFFFF) throw UsageError{"--comm-port wants a number from 0 to 65535."};
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError{"Unknown option " + arg + "."};
    } else if (setPath.empty()) {
      setPath = arg;
    } else {
      throw UsageError{"check takes one set file."};
    }
  }
  if (setPath.empty()) throw UsageError{"check needs a set file."};
  if (!root.empty() && !common.empty()) throw UsageError{"Give --root or --common, not both."};
  if (!root.empty()) {
    while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
    common = root + "\\config\\common\\";
  }

  ScratchRoot scratch(keep);
  ConfigurationContext context(scratch.path(), baseIp, static_cast<unsigned short>(port));
  std::string label;
  context.warningShower = [&](const char* text) { out << label << "warning: " << text << "\n"; };
  auto report = [&](const char* text) {
    const std::string message = text;
    out << label << "error: " << message << (message.empty() || message.back() != '\n' ? "\n" : "");
  };

  try {
    context.CheckConfiguration(setPath.c_str());
  } catch (char* text) {
    report(text);
    return kExitInvalid;
  }
  const unsigned short boards = ActiveBoardCount(context.networkTable);
  out << setPath << ": valid, " << context.listDirectory.Size() - 2 << " lists; " << boards
      << " of its " << context.networkTable.count << " network records are boards.\n";
  if (common.empty()) {
    out << "note: without --root or --common the boards' lists were not selected.\n";
    context.Reset();
    return kExitOk;
  }
  context.SetCommonDirectory(common);
  context.LoadBrdlists();  // read once for all the boards, as a set change does
  try {
    context.LoadProtomap();
  } catch (char* text) {
    report(text);
    context.Reset();
    return kExitInvalid;
  }

  int failures = 0;
  unsigned long nextAddress = baseIp;
  const NetworkRecord* records = context.networkTable.As<NetworkRecord>();
  for (unsigned short board = 0; board < boards; ++board) {
    const NetworkRecord& record = records[board];
    char head[64];
    std::snprintf(head, sizeof head, "board %u (type %c) ", static_cast<unsigned>(board),
                  record.boardType ? record.boardType : '?');
    label = head + BoardDisplayName(record) + ": ";
    if (record.boardType == 'X') {
      out << label << "no list file, address " << StoredAddress(record) << "\n";
      continue;
    }
    const std::string fileName = BoardListName(record) + ".cfg";
    try {
      const BoardListFile file =
          WriteBoardListFile(context, board, (context.ActiveDirectory() + fileName).c_str());
      char line[128];
      std::snprintf(line, sizeof line, "%s, %lu lists, %llu bytes, CRC %04X, address %s\n",
                    fileName.c_str(), static_cast<unsigned long>(context.writtenLists.Size()),
                    file.size, file.crc, DottedAddressText(nextAddress).c_str());
      out << label << line;
    } catch (char* text) {
      report(text);
      ++failures;
    }
    ++nextAddress;
  }
  label.clear();
  context.Reset();
  if (failures) {
    out << failures << (failures == 1 ? " board" : " boards")
        << " failed: a set change with this set would fail.\n";
    return kExitInvalid;
  }
  out << "Every board's list file could be written.\n";
  return kExitOk;
}

}  // namespace

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  {
    UniqueFind find(FindFirstFileA((path + "\\*").c_str(), &found));
    if (find) {
      do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(path + "\\" + name);
        } else {
          DeleteFileA((path + "\\" + name).c_str());
        }
      } while (FindNextFileA(find.get(), &found));
    }
  }  // the search is closed before its folder goes
  RemoveDirectoryA(path.c_str());
}

int RunSetFileTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) throw UsageError{"No command given."};
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h" || command == "/?") {
      out << kSetFileToolUsage;
      return kExitOk;
    }
    if (command == "build") return Build(args, out);
    if (command == "dump") return Dump(args, out);
    if (command == "extract") return Extract(args, out);
    if (command == "check") return Check(args, out);
    if (command == "diff") return RunSetFileDiff({args.begin() + 1, args.end()}, out, err);
    throw UsageError{"Unknown command " + command + "."};
  } catch (const UsageError& error) {
    err << error.text << "\n\n" << kSetFileToolUsage;
    return kExitUsage;
  } catch (const IoError& error) {
    err << "error: " << error.text << "\n";
    return kExitIo;
  } catch (...) {
    // Anything the library raised that no command expected.
    err << "error: " << CaughtExceptionText("Caught an unknown exception in korvane-setfile.")
        << "\n";
    return kExitIo;
  }
}
