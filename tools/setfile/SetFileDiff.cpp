#include "SetFileDiff.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "SetFileTool.h"
#include "Win32/HexText.h"
#include "Win32/JsonText.h"
#include "registry/BoardRecord.h"
#include "registry/Registry.h"
#include "setfiles/BoardLists.h"
#include "setfiles/ConfigurationContext.h"
#include "setfiles/Crc16.h"
#include "setfiles/SetFile.h"

namespace {

struct BadInput {
  std::string text;
};

// A command line diff cannot work with: the usage follows the reason.
struct BadUsage {
  std::string text;
};

// Where a set is activated for the comparison: never the installation.
class Scratch {
 public:
  Scratch() {
    static int serial = 0;
    char base[MAX_PATH];
    if (!GetTempPathA(sizeof base, base)) throw BadInput{"No temporary folder is set."};
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof name, "%skorvane-setfile-diff-%lu-%d", base,
                  static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
    path_ = name;
    RemoveTree(path_);
    if (!CreateDirectoryA(path_.c_str(), nullptr))
      throw BadInput{"Could not create the folder " + path_ + "."};
  }
  ~Scratch() { RemoveTree(path_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<ListSummary> ListsOf(const std::string& path, bool listFile) {
  const std::string bytes = ReadWholeFile(path);
  const SetFileLayout layout = listFile ? ParseListFileLayout(bytes) : ParseSetFile(bytes);
  if (!layout.problem.empty()) throw BadInput{path + ": " + layout.problem};
  std::vector<ListSummary> lists;
  for (const SetFileEntry& entry : layout.entries) {
    ListSummary list;
    list.name = entry.name;
    list.size = entry.length;
    list.bytes = bytes.substr(static_cast<size_t>(entry.offset), entry.length);
    list.crc = Crc16Update(kCrc16Start, list.bytes.data(), list.bytes.size());
    lists.push_back(std::move(list));
  }
  return lists;
}

// Validates the set into scratch and fills the summary's set lists and its
// boards' number, name, type, partner and list file name.
void LoadNetwork(ConfigurationContext& context, const std::string& setPath,
                 ConfigurationSummary& summary) {
  context.warningShower = [](const char*) {};  // a comparison has nobody to warn
  context.CheckConfiguration(setPath.c_str());
  summary.setLists = ListsOf(context.ActiveDirectory() + "complete.cfg", false);
  const NetworkRecord* records = context.networkTable.As<NetworkRecord>();
  const unsigned short count = context.networkTable.count;
  const unsigned short boards = ActiveBoardCount(context.networkTable);
  for (unsigned short board = 0; board < boards; ++board) {
    const NetworkRecord& record = records[board];
    BoardSummary summaryBoard;
    summaryBoard.hardware = HardwareAddressText(record.hardwareAddress);
    summaryBoard.number = board;
    summaryBoard.name = BoardDisplayName(record);
    summaryBoard.type = std::string(1, record.boardType);
    const unsigned short partner = context.PartnerOf(records, count, board);
    if (partner != board) summaryBoard.partner = BoardDisplayName(records[partner]);
    if (record.boardType != 'X') summaryBoard.listFile = BoardListName(record) + ".cfg";
    summary.boards.push_back(summaryBoard);
  }
}

const ListSummary* Latest(const std::vector<ListSummary>& lists, const std::string& lowerName) {
  const ListSummary* found = nullptr;
  for (const ListSummary& list : lists)
    if (LowerCaseListName(list.name) == lowerName) found = &list;
  return found;
}

std::vector<ListDifference> CompareLists(const std::vector<ListSummary>& a,
                                         const std::vector<ListSummary>& b) {
  std::vector<ListDifference> differences;
  std::map<std::string, bool> seen;
  auto consider = [&](const ListSummary& list) {
    const std::string key = LowerCaseListName(list.name);
    if (!seen.emplace(key, true).second) return;
    ListDifference difference{list.name, Latest(a, key), Latest(b, key)};
    if (!difference.a || !difference.b || difference.a->bytes != difference.b->bytes)
      differences.push_back(difference);
  };
  for (const ListSummary& list : a) consider(list);
  for (const ListSummary& list : b) consider(list);
  return differences;
}

std::string ListText(const ListSummary* list) {
  if (!list) return "absent";
  return std::to_string(list->size) + " bytes, CRC " + Hex4Text(list->crc);
}

std::string BoardText(const BoardSummary& board) {
  return "number " + std::to_string(board.number) + ", " + board.name + ", type " + board.type +
         ", " + board.ip + (board.partner.empty() ? "" : ", partner " + board.partner);
}

std::string ListJson(const ListSummary* list) {
  if (!list) return "null";
  return "{\"size\":" + std::to_string(list->size) + ",\"crc\":\"" + Hex4Text(list->crc) + "\"}";
}

std::string ListsJson(const std::vector<ListDifference>& lists) {
  std::string text = "[";
  for (size_t i = 0; i < lists.size(); ++i)
    text += (i ? "," : "") + std::string("{\"name\":") + JsonText(lists[i].name) +
            ",\"a\":" + ListJson(lists[i].a) + ",\"b\":" + ListJson(lists[i].b) + "}";
  return text + "]";
}

std::string BoardJson(const BoardSummary& board) {
  return "{\"hardware\":" + JsonText(board.hardware) + ",\"number\":" + std::to_string(board.number) +
         ",\"name\":" + JsonText(board.name) + ",\"type\":" + JsonText(board.type) +
         ",\"ip\":" + JsonText(board.ip) + ",\"partner\":" + JsonText(board.partner) +
         ",\"listFile\":" + JsonText(board.listFile) + "}";
}

std::string SideJson(const ConfigurationSummary& side) {
  return "{\"source\":" + JsonText(side.source) + ",\"boards\":" + std::to_string(side.boards.size()) +
         ",\"lists\":" + std::to_string(side.setLists.size()) + "}";
}

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

const char kDiffUsage[] =
    "diff needs two set files, or a set file and --active.";

}  // namespace

ConfigurationSummary SummarizeSetFile(const std::string& path, const DiffSettings& settings) {
  Scratch scratch;
  ConfigurationContext context(scratch.path(), settings.baseIp, settings.port);
  ConfigurationSummary summary;
  summary.source = path;
  LoadNetwork(context, path, summary);
  if (!settings.common.empty()) {
    context.SetCommonDirectory(settings.common);
    context.LoadBrdlists();
    context.LoadProtomap();
    summary.boardListsKnown = true;
  }
  unsigned long nextAddress = settings.baseIp;
  const NetworkRecord* records = context.networkTable.As<NetworkRecord>();
  for (BoardSummary& board : summary.boards) {
    const NetworkRecord& record = records[board.number];
    if (board.listFile.empty()) {
      board.ip = StoredAddress(record);
      continue;
    }
    board.ip = DottedAddressText(nextAddress++);
    if (!summary.boardListsKnown) continue;
    const std::string listPath = context.ActiveDirectory() + board.listFile;
    try {
      WriteBoardListFile(context, static_cast<unsigned short>(board.number), listPath.c_str());
    } catch (char* text) {
      throw BadInput{path + ": board " + std::to_string(board.number) + " " + board.name + ": " + text};
    }
    board.lists = ListsOf(listPath, true);
  }
  context.Reset();
  return summary;
}

ConfigurationSummary SummarizeActiveConfiguration(DiffSettings& settings) {
  // The installation's settings, where the server reads them.
  const std::string korvane = kKorvaneKeyPath;
  UniqueKey pathKey = OpenKey(HKEY_LOCAL_MACHINE, (korvane + "\\Path").c_str());
  UniqueKey networkKey = OpenKey(HKEY_LOCAL_MACHINE, (korvane + "\\Network").c_str());
  if (!pathKey || !networkKey)
    throw BadInput{"No installation is recorded in the registry (HKEY_LOCAL_MACHINE\\" + korvane + ")."};
  std::string root = GetStringValueText(pathKey.get(), "Root");
  while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const std::string baseIp = GetStringValueText(networkKey.get(), "Base IP Address");
  if (!ParseDottedAddress(baseIp, settings.baseIp))
    throw BadInput{"The installation's base IP address \"" + baseIp + "\" is not a dotted IPv4 address."};
  settings.port = static_cast<unsigned short>(GetDwordValue(networkKey.get(), "Communication Port"));
  settings.common = root + "\\config\\common\\";

  UniqueKey activeKey = OpenKey(HKEY_LOCAL_MACHINE, (korvane + "\\" + kActiveSetKeyName).c_str());
  if (!activeKey) throw BadInput{"The installation has no active set."};
  ConfigurationSummary summary;
  summary.source = "the active configuration (set " + GetStringValueText(activeKey.get(), "") +
                   ", " + root + "\\active)";
  summary.boardListsKnown = true;

  // The boards as the set change recorded them; the partners, which no
  // record holds, from the set it activated (complete.cfg).
  Scratch scratch;
  ConfigurationContext context(scratch.path(), settings.baseIp, settings.port);
  ConfigurationSummary fromSet;
  LoadNetwork(context, root + "\\active\\complete.cfg", fromSet);
  summary.setLists = ListsOf(root + "\\active\\complete.cfg", false);
  context.Reset();

  JArray<BoardRecord> records(0, 10, false);
  LoadBoardList(records, HKEY_LOCAL_MACHINE, kBoardsKeyPath);
  for (uint32_t i = 0; i < records.GetCount(); ++i) {
    const BoardRecord& record = records.ElementAt(i);
    BoardSummary board;
    board.hardware = HardwareAddressText(record.hardwareAddress);
    board.number = record.BoardNum();
    board.name = record.name;
    board.type = record.boardType ? std::string(1, record.boardType) : "?";
    board.ip = record.ipAddress;
    for (const BoardSummary& set : fromSet.boards)
      if (set.hardware == board.hardware) board.partner = set.partner;
    const std::string path = record.Path() ? record.Path() : "";
    if (!path.empty() && path != "NOPATH") {
      board.listFile = path.substr(path.find_last_of("\\/") + 1);
      board.lists = ListsOf(path, true);
    }
    summary.boards.push_back(board);
  }
  return summary;
}

ConfigurationDiff CompareConfigurations(const ConfigurationSummary& a,
                                        const ConfigurationSummary& b) {
  ConfigurationDiff diff;
  std::map<std::string, const BoardSummary*> inB;
  for (const BoardSummary& board : b.boards) inB[board.hardware] = &board;
  const bool lists = a.boardListsKnown && b.boardListsKnown;
  for (const BoardSummary& board : a.boards) {
    auto found = inB.find(board.hardware);
    if (found == inB.end()) {
      diff.removed.push_back(&board);
      continue;
    }
    const BoardSummary& other = *found->second;
    inB.erase(found);
    BoardDifference difference{&board, &other, {}, {}};
    const std::pair<const char*, std::pair<std::string, std::string>> fields[] = {
        {"number", {std::to_string(board.number), std::to_string(other.number)}},
        {"name", {board.name, other.name}},
        {"type", {board.type, other.type}},
        {"ip", {board.ip, other.ip}},
        {"partner", {board.partner, other.partner}},
    };
    for (const auto& field : fields)
      if (field.second.first != field.second.second)
        difference.fields.push_back({field.first, field.second.first, field.second.second});
    if (lists) difference.lists = CompareLists(board.lists, other.lists);
    if (!difference.fields.empty() || !difference.lists.empty()) diff.changed.push_back(difference);
  }
  for (const BoardSummary& board : b.boards)
    if (inB.count(board.hardware)) diff.added.push_back(&board);
  diff.setLists = CompareLists(a.setLists, b.setLists);
  return diff;
}

void PrintDiff(const ConfigurationSummary& a, const ConfigurationSummary& b,
               const ConfigurationDiff& diff, std::ostream& out) {
  out << "A: " << a.source << ": " << Plural(a.boards.size(), "board", "boards") << ", "
      << Plural(a.setLists.size(), "list", "lists") << "\n";
  out << "B: " << b.source << ": " << Plural(b.boards.size(), "board", "boards") << ", "
      << Plural(b.setLists.size(), "list", "lists") << "\n";
  for (const BoardSummary* board : diff.removed)
    out << "board " << board->hardware << " removed: " << BoardText(*board) << "\n";
  for (const BoardSummary* board : diff.added)
    out << "board " << board->hardware << " added: " << BoardText(*board) << "\n";
  for (const BoardDifference& board : diff.changed) {
    out << "board " << board.a->hardware << " changed: number " << board.a->number << ", "
        << board.a->name << "\n";
    for (const FieldDifference& field : board.fields)
      out << "  " << field.field << ": " << (field.a.empty() ? "none" : field.a) << " -> "
          << (field.b.empty() ? "none" : field.b) << "\n";
    for (const ListDifference& list : board.lists)
      out << "  list " << list.name << ": " << ListText(list.a) << " -> " << ListText(list.b) << "\n";
  }
  for (const ListDifference& list : diff.setLists)
    out << "set list " << list.name << ": " << ListText(list.a) << " -> " << ListText(list.b) << "\n";
  if (!a.boardListsKnown || !b.boardListsKnown)
    out << "note: the boards' lists were not compared (give --root or --common).\n";
  if (diff.Equal()) {
    out << "No differences.\n";
    return;
  }
  out << "Different: " << diff.removed.size() << " removed, " << diff.added.size() << " added, "
      << diff.changed.size() << " changed " << (diff.changed.size() == 1 ? "board" : "boards")
      << ", " << Plural(diff.setLists.size(), "list", "lists") << " of the set.\n";
}

void PrintDiffJson(const ConfigurationSummary& a, const ConfigurationSummary& b,
                   const ConfigurationDiff& diff, std::ostream& out) {
  auto boards = [](const std::vector<const BoardSummary*>& list) {
    std::string text = "[";
    for (size_t i = 0; i < list.size(); ++i) text += (i ? "," : "") + BoardJson(*list[i]);
    return text + "]";
  };
  std::string changed = "[";
  for (size_t i = 0; i < diff.changed.size(); ++i) {
    const BoardDifference& board = diff.changed[i];
    changed += (i ? "," : "") + std::string("{\"hardware\":") + JsonText(board.a->hardware) +
               ",\"number\":" + std::to_string(board.a->number) + ",\"name\":" + JsonText(board.a->name) +
               ",\"fields\":[";
    for (size_t f = 0; f < board.fields.size(); ++f)
      changed += (f ? "," : "") + std::string("{\"field\":") + JsonText(board.fields[f].field) +
                 ",\"a\":" + JsonText(board.fields[f].a) + ",\"b\":" + JsonText(board.fields[f].b) + "}";
    changed += "],\"lists\":" + ListsJson(board.lists) + "}";
  }
  changed += "]";
  out << "{\"equal\":" << (diff.Equal() ? "true" : "false") << ",\"a\":" << SideJson(a)
      << ",\"b\":" << SideJson(b) << ",\"boardListsCompared\":"
      << (a.boardListsKnown && b.boardListsKnown ? "true" : "false")
      << ",\"removed\":" << boards(diff.removed) << ",\"added\":" << boards(diff.added)
      << ",\"changed\":" << changed << ",\"setLists\":" << ListsJson(diff.setLists) << "}\n";
}

int RunSetFileDiff(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    std::vector<std::string> files;
    std::string root, common;
    bool active = false, json = false, settingsGiven = false;
    DiffSettings settings;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      const bool takesValue =
          arg == "--root" || arg == "--common" || arg == "--base-ip" || arg == "--comm-port";
      if (takesValue && i + 1 >= args.size()) throw BadUsage{arg + " needs a value."};
      if (arg == "--active") {
        active = true;
      } else if (arg == "--json") {
        json = true;
      } else if (arg == "--root") {
        root = args[++i];
      } else if (arg == "--common") {
        common = args[++i];
      } else if (arg == "--base-ip") {
        settingsGiven = true;
        if (!ParseDottedAddress(args[++i], settings.baseIp))
          throw BadUsage{"--base-ip wants a dotted IPv4 address."};
      } else if (arg == "--comm-port") {
        settingsGiven = true;
        const std::string& value = args[++i];
        char* end = nullptr;
        const unsigned long port = std::strtoul(value.c_str(), &end, 0);
        if (value.empty() || *end || port > 0xFFFF)
          throw BadUsage{"--comm-port wants a number from 0 to 65535."};
        settings.port = static_cast<unsigned short>(port);
      } else if (!arg.empty() && arg[0] == '-') {
        throw BadUsage{"Unknown option " + arg + "."};
      } else {
        files.push_back(arg);
      }
    }
    if (files.size() != (active ? 1u : 2u)) throw BadUsage{kDiffUsage};
    if (!root.empty() && !common.empty()) throw BadUsage{"Give --root or --common, not both."};
    if (active && (settingsGiven || !root.empty() || !common.empty()))
      throw BadUsage{"--active compares with the installation's own settings; give no others."};
    if (!root.empty()) {
      while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
      common = root + "\\config\\common\\";
    }
    settings.common = common;

    ConfigurationSummary b = active ? SummarizeActiveConfiguration(settings)
                                    : SummarizeSetFile(files[1], settings);
    ConfigurationSummary a = SummarizeSetFile(files[0], settings);
    const ConfigurationDiff diff = CompareConfigurations(a, b);
    if (json) {
      PrintDiffJson(a, b, diff, out);
    } else {
      PrintDiff(a, b, diff, out);
    }
    return diff.Equal() ? kExitOk : kExitInvalid;
  } catch (const BadUsage& problem) {
    err << "error: " << problem.text << "\n\n" << kSetFileToolUsage;
  } catch (const BadInput& problem) {
    err << "error: " << problem.text << "\n";
  } catch (char* text) {
    err << "error: " << text << "\n";
  }
  return kExitUsage;
}
