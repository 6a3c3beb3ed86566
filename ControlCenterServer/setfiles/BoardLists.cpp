#include "setfiles/BoardLists.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "setfiles/DescriptionFiles.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// Record sizes of the description tables.
constexpr size_t kPartyLineRecord = 6;     // "pl_desc0"
constexpr size_t kSwitchRecord = 38;       // "sw_descr"
constexpr size_t kMatrixRecord = 18;       // "mat_prot"
constexpr size_t kVgaRecord = 12;          // "vga_disp"
constexpr size_t kPortRecord = 4;          // "sb_portp"
constexpr size_t kProtocolRecord = 10;     // "protocol"
constexpr size_t kPanelRecord = 72;        // "cp_spec0"
constexpr size_t kPanelTypeRecord = 6;     // "cp_type.exp"
constexpr size_t kLevelSetRecord = 12;     // output set ".lst"
constexpr size_t kPellixDescRecord = 46;   // "mcs_desc"
constexpr size_t kPellixSystemRecord = 50; // "mcs_syst"

constexpr char kNoName[] = "        ";  // eight spaces: a name field that names nothing

// A fixed-width name field: up to its first NUL.
std::string Field(const unsigned char* record, size_t offset, size_t size) {
  const char* text = reinterpret_cast<const char*>(record + offset);
  return std::string(text, strnlen(text, size));
}

// Whether type (0 is no type) is one of the letters of types.
bool IsOneOf(const char* types, char type) { return type && std::strchr(types, type); }

std::string UpToSpace(const std::string& text) { return text.substr(0, text.find(' ')); }

std::string TrimRight(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : TrimRight(text.substr(first));
}

unsigned short BoardAt(const unsigned char* record, size_t offset) {
  return ReadBigEndian16(record + offset);
}

std::string Formatted(const char* format, const char* insert) {
  char text[512];
  std::snprintf(text, sizeof text, format, insert);
  return text;
}

// The board a copier works for: a description record belongs to it when it
// names the board or its partner.
struct Board {
  unsigned short number;
  unsigned short partner;
  char type;

  bool Owns(unsigned short recordBoard) const {
    return recordBoard == number || recordBoard == partner;
  }
};

Board DescribeBoard(ConfigurationContext& context, const NetworkRecord* table,
                    unsigned short count, unsigned short board) {
  KORVANE_ASSERT(table && board < count, "The board is not in the network description table");
  return Board{board, context.PartnerOf(table, count, board), table[board].boardType};
}

// Whether record index of table, which belongs to the board when owns says
// so, repeats the 8 bytes at offset of an earlier record of the board.
template <class Owns>
bool RepeatsEarlier(const ListTable& table, size_t index, size_t offset, Owns owns) {
  const unsigned char* record = table.Record(index);
  for (size_t earlier = 0; earlier < index; ++earlier) {
    const unsigned char* other = table.Record(earlier);
    if (owns(other) && std::memcmp(other + offset, record + offset, 8) == 0) return true;
  }
  return false;
}

}  // namespace

unsigned short FindPartnerBoard(const NetworkRecord* table, unsigned short count,
                                unsigned short board) {
  if (!table || board >= count) return board;
  for (unsigned short i = 0; i < count; ++i) {
    if (i == board) continue;
    if (NetworkLink(table[i]) < 0) break;
    if (std::memcmp(table[i].name, table[board].name, sizeof table[i].name) == 0) return i;
  }
  return board;
}

std::vector<unsigned short> FindPartnerBoards(const NetworkRecord* table, unsigned short count) {
  std::vector<unsigned short> partners(table ? count : 0);
  if (!table) return partners;
  // FindPartnerBoard stops at the first other record with a negative link:
  // for every board but the first such record that is this one, for that
  // record itself the second one.
  unsigned stops[2] = {count, count};
  for (unsigned i = 0, found = 0; i < count && found < 2; ++i)
    if (NetworkLink(table[i]) < 0) stops[found++] = i;
  // The first two records of each name before the later stop: the earliest
  // other one is the partner, when it comes before the board's stop.
  std::unordered_map<std::string, std::pair<unsigned, unsigned>> firstTwo;
  for (unsigned i = 0; i < stops[1]; ++i) {
    auto slot = firstTwo.emplace(std::string(table[i].name, sizeof table[i].name),
                                 std::make_pair(i, unsigned{count}));
    if (!slot.second && slot.first->second.second == count) slot.first->second.second = i;
  }
  for (unsigned board = 0; board < count; ++board) {
    partners[board] = static_cast<unsigned short>(board);
    const auto named = firstTwo.find(std::string(table[board].name, sizeof table[board].name));
    if (named == firstTwo.end()) continue;
    const unsigned other =
        named->second.first != board ? named->second.first : named->second.second;
    const unsigned stop = board == stops[0] ? stops[1] : stops[0];
    if (other < stop) partners[board] = static_cast<unsigned short>(other);
  }
  return partners;
}

bool CopyBoardLists(ConfigurationContext& context, unsigned short board,
                    const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  // The lines as a change loaded them for all its boards, else the file's
  // lines now.
  BrdlistsLines read;
  const BrdlistsLines* lines = context.Brdlists();
  if (!lines) {
    read = ReadBrdlistsLines(context.CommonDirectory() + "brdlists");
    lines = &read;
  }
  if (!lines->opened) RaiseFormatted("Could not open brdlists");
  for (const BrdlistsEntry& entry : lines->entries) {
    if (!entry.AppliesTo(self.type)) continue;
    if (!context.CopyList(entry.listName.c_str(), entry.required) && entry.required) return false;
  }
  if (lines->broken) throw KeepMessageText(lines->problem);
  return true;
}

bool CopyMpkLists(ConfigurationContext& context, unsigned short board,
                  const NetworkRecord* table, unsigned short count) {
  return context.CopyList("v25_mpk_", true);
}

bool CopyTcs2Lists(ConfigurationContext& context, unsigned short board,
                   const NetworkRecord* table, unsigned short count) {
  return context.CopyList("v25_tcs2", true) && context.CopyList("tcs_conv", true);
}

bool CopyPartyLineLists(ConfigurationContext& context, unsigned short board,
                        const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  const ListTable& lines = context.Table("pl_desc0", kPartyLineRecord, true);
  for (size_t i = 0; i < lines.count; ++i) {
    const unsigned char* record = lines.Record(i);
    if (!self.Owns(BoardAt(record, 0))) continue;
    for (const char* name : {"inp_conv", "lev_conv", "out_conv"})
      if (!context.CopyList(name, true)) return false;
    if (record[2] == 2 && !context.CopyList("v25_expl", true)) return false;
    if (record[2] == 3 && !context.CopyList("v25_supl", true)) return false;
  }
  return true;
}

bool CopyRemoteLists(ConfigurationContext& context, unsigned short board,
                     const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  const ListTable& switches = context.Table("sw_descr", kSwitchRecord, true);
  const ListTable& matrix = context.Table("mat_prot", kMatrixRecord, true);
  auto mine = [&](const unsigned char* record) { return self.Owns(BoardAt(record, 20)); };
  for (size_t i = 0; i < switches.count; ++i) {
    const unsigned char* record = switches.Record(i);
    if (!mine(record)) continue;
    const unsigned char protocol = record[30];
    bool seen = false;
    for (size_t earlier = 0; earlier < i && !seen; ++earlier) {
      const unsigned char* other = switches.Record(earlier);
      seen = mine(other) && other[30] == protocol;
    }
    if (seen) continue;
    for (size_t k = 0; k < matrix.count; ++k) {
      const unsigned char* entry = matrix.Record(k);
      // A name starting with a space (or empty) names no list.
      if (entry[9] != protocol || entry[10] == ' ' || entry[10] == 0) continue;
      if (!context.CopyList(Field(entry, 10, 8).c_str(), true)) return false;
    }
  }
  return true;
}

bool CopyVgaLists(ConfigurationContext& context, unsigned short board,
                  const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  const ListTable& displays = context.Table("vga_disp", kVgaRecord, false);
  for (size_t i = 0; i < displays.count; ++i) {
    const unsigned char* record = displays.Record(i);
    if (!self.Owns(BoardAt(record, 0))) continue;
    if (!context.CopyList("vga_disp", true)) return false;
    if (!context.CopyList(Field(record, 2, 10).c_str(), true)) return false;
    if (self.type == 'B') context.CopyList("vga_opts", false);
  }
  return true;
}

bool CopyProtoLists(ConfigurationContext& context, unsigned short board,
                    const NetworkRecord* table, unsigned short count) {
  const ListTable& ports = context.Table("sb_portp", kPortRecord, true);
  const ListTable& protocols = context.Table("protocol", kProtocolRecord, true);
  const ListTable& network = context.Table("networkd", kNetworkRecordSize, true);
  // The board's type is the caller's; its partner comes from the table as
  // complete.cfg holds it.
  Board self = DescribeBoard(context, table, count, board);
  self.partner = context.PartnerOf(network.As<NetworkRecord>(), network.count, board);

  auto mine = [&](const unsigned char* record) { return self.Owns(BoardAt(record, 0)); };
  // Whether a port of the board before index carries one of the two ids.
  auto earlierPort = [&](size_t index, unsigned char a, unsigned char b) {
    for (size_t earlier = 0; earlier < index; ++earlier) {
      const unsigned char* other = ports.Record(earlier);
      if (mine(other) && (other[3] == a || other[3] == b)) return true;
    }
    return false;
  };

  bool portFile = false;
  bool protocolFile = false;
  for (size_t i = 0; i < ports.count; ++i) {
    const unsigned char* record = ports.Record(i);
    if (!mine(record)) continue;
    const unsigned char protocol = record[3];
    if (protocol == 'c') continue;
    unsigned char effective = protocol;
    if (const ProtomapRecord* mapped = FindProtomapRecord(context.protomap, protocol, self.type)) {
      portFile = true;
      effective = mapped->replacement;
    }
    if (earlierPort(i, protocol, effective)) continue;
    if ((protocol == 4 || protocol == 16) && !earlierPort(i, 4, 16) &&
        !context.CopyList("tcs_conv", true))
      return false;
    for (size_t k = 0; k < protocols.count; ++k) {
      const unsigned char* entry = protocols.Record(k);
      if (entry[9] != protocol) continue;
      std::string name;
      if (const ProtomapRecord* mapped = FindProtomapRecord(context.protomap, protocol, self.type)) {
        protocolFile = true;
        name = mapped->listName;
      } else {
        name = Field(entry, 0, 9);
      }
      if (!context.CopyList(name.c_str(), true)) return false;
    }
  }
  char name[16];
  if (portFile) {
    std::snprintf(name, sizeof name, "%04Xsbpt.cfg", static_cast<unsigned>(board));
    if (!context.CopyList(name, true, "sbprtnew")) return false;
  }
  if (protocolFile) {
    std::snprintf(name, sizeof name, "%04Xprot.cfg", static_cast<unsigned>(board));
    if (!context.CopyList(name, true, "protonew")) return false;
  }
  return true;
}

bool CopyControlPanelLists(ConfigurationContext& context, unsigned short board,
                           const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  const ListTable& panels = context.Table("cp_spec0", kPanelRecord, true);
  const ListTable& panelTypes = context.Table("cp_type.exp", kPanelTypeRecord, true);
  auto mine = [&](const unsigned char* record) { return self.Owns(BoardAt(record, 10)); };
  // A record takes part in a pass when it is the board's, names something in
  // the pass's field, and no earlier record of the board named the same.
  auto used = [&](size_t index, size_t offset) {
    const unsigned char* record = panels.Record(index);
    return mine(record) && std::memcmp(record + offset, kNoName, 8) != 0 &&
           !RepeatsEarlier(panels, index, offset, mine);
  };

  // Input sets. Panels of the types below have none; for the others
  // "cp_type.exp" says whether one may be missing.
  static const unsigned char kWithoutInputSet[][2] = {
      {0x38, 0x09}, {0x38, 0x30}, {0x38, 0x32}, {0x38, 0x10}, {0x38, 0x64}, {0x38, 0x11}};
  for (size_t i = 0; i < panels.count; ++i) {
    if (!used(i, 24)) continue;
    const unsigned char* record = panels.Record(i);
    const std::string name = Trim(Field(record, 24, 8));
    if (context.CopyList(name.c_str(), false)) continue;
    bool exempt = false;
    for (const auto& code : kWithoutInputSet)
      exempt = exempt || (record[18] == code[0] && record[19] == code[1]);
    if (exempt) continue;
    const unsigned char* panelType = nullptr;
    for (size_t k = 0; k < panelTypes.count && !panelType; ++k) {
      const unsigned char* candidate = panelTypes.Record(k);
      if (candidate[0] == record[18] && candidate[1] == record[19]) panelType = candidate;
    }
    if (panelType && (panelType[2] || panelType[3])) continue;
    context.Warn(Formatted("Could not find input set %s.", name.c_str()).c_str());
    return false;
  }

  // Output sets, each with its ".lst" of level sets.
  for (size_t i = 0; i < panels.count; ++i) {
    if (!used(i, 32)) continue;
    const std::string name = UpToSpace(Field(panels.Record(i), 32, 8));
    if (!context.CopyList(name.c_str(), false)) continue;
    const std::string levelList = name + ".lst";
    if (!context.CopyList(levelList.c_str(), false)) continue;
    const ListTable& levels = context.Table(levelList.c_str(), kLevelSetRecord, true);
    for (size_t k = 0; k < levels.count; ++k) {
      const std::string level = TrimRight(Field(levels.Record(k), 0, 8));
      if (level.empty()) continue;
      if (!context.CopyList(level.c_str(), true)) return false;
      const std::string flags = level + ".flg";
      if (!context.CopyList(flags.c_str(), false))
        context.Warn(Formatted("Could not find level set %s for an output set (old output set?)",
                               flags.c_str())
                         .c_str());
    }
  }

  for (size_t i = 0; i < panels.count; ++i) {
    if (!used(i, 40)) continue;
    const std::string name = UpToSpace(Field(panels.Record(i), 40, 8));
    if (!context.CopyList(name.c_str(), true)) return false;
    context.CopyList((name + ".flg").c_str(), false);
  }
  for (size_t offset : {size_t{48}, size_t{56}}) {
    for (size_t i = 0; i < panels.count; ++i) {
      if (!used(i, offset)) continue;
      const std::string name = UpToSpace(Field(panels.Record(i), offset, 8));
      if (!context.CopyList(name.c_str(), true)) return false;
    }
  }
  return true;
}

bool CopyPellixLists(ConfigurationContext& context, unsigned short board,
                     const NetworkRecord* table, unsigned short count) {
  const Board self = DescribeBoard(context, table, count, board);
  const ListTable& descriptions = context.Table("mcs_desc", kPellixDescRecord, true);
  const ListTable& systems = context.Table("mcs_syst", kPellixSystemRecord, true);
  // "UND..." (undefined), empty and blank fields name no list.
  auto names = [](const std::string& name) {
    return name.compare(0, 3, "UND") != 0 && name.find_first_not_of(' ') != std::string::npos;
  };
  const bool withMachine = IsOneOf(kMachineFileTypes, self.type);
  for (size_t j = 0; j < descriptions.count; ++j) {
    const unsigned char* description = descriptions.Record(j);
    bool mine = false;
    for (size_t offset : {8, 10, 12, 14}) mine = mine || self.Owns(BoardAt(description, offset));
    if (!mine) continue;
    for (size_t k = 0; k < systems.count; ++k) {
      const unsigned char* system = systems.Record(k);
      if (BoardAt(system, 0) != j) continue;
      const std::string first = Field(system, 26, 8);
      if (names(first)) {
        if (!context.CopyList(first.c_str(), true)) return false;
        const std::string stem = UpToSpace(first);
        context.CopyList((stem + ".FIL").c_str(), false);
        context.CopyList((stem + ".DVE").c_str(), false);
      }
      for (size_t offset : {34, 42}) {
        const std::string name = Field(system, offset, 8);
        if (names(name) && !context.CopyList(name.c_str(), true)) return false;
      }
      if (withMachine) {
        // A blank machine name means the system has no machine file, like
        // the blank name fields above.
        const std::string machine = Trim(Field(system, 18, 8));
        if (!machine.empty() && machine.compare(0, 3, "UND") != 0 &&
            !context.CopyList((machine + ".mch").c_str(), true))
          return false;
      }
    }
  }
  return true;
}

std::string BoardListName(const NetworkRecord& record) {
  char name[8];
  std::snprintf(name, sizeof name, "%02X%02X%02X", record.hardwareAddress[3],
                record.hardwareAddress[4], record.hardwareAddress[5]);
  return name;
}

std::string BoardDisplayName(const NetworkRecord& record) {
  std::string name = TrimRight(NetworkName(record));
  if (record.boardFlag == 'R') name += 'R';
  return name;
}

unsigned short ActiveBoardCount(const ListTable& networkTable) {
  const NetworkRecord* records = networkTable.As<NetworkRecord>();
  unsigned short boards = 0;
  while (records && boards < networkTable.count && records[boards].name[0] != 0) ++boards;
  return boards;
}

namespace {

struct TypeStep {
  const char* types;
  ListCopier* copier;
  const char* failure;
};

// The order in which a board's type-specific lists are copied, and what a
// set change says when a copier fails.
const TypeStep kTypeSteps[] = {
    {"V", CopyMpkLists, "Could not copy MPK lists"},
    {"P", CopyTcs2Lists, "Could not copy TCS2 lists"},
    {"PQ", CopyPartyLineLists, "Could not copy party-line lists."},
    {"QB", CopyVgaLists, "Could not copy VGA lists."},
    {"M", CopyRemoteLists, "Could not copy remote lists."},
    {"SZQWBG", CopyProtoLists, "Could not copy proto lists."},
    {"SZQWBG", CopyControlPanelLists, "Could not copy control panel lists"},
    {"V", CopyControlPanelLists, "Could not copy control panel lists."},
    {"IJH", CopyProtoLists, "Could not copy proto lists."},
    {"IJH", CopyPellixLists, "Could not copy Pellix lists."},
    {"IJH", CopyControlPanelLists, "Could not copy control panel lists."},
    {"KL", CopyPellixLists, "Could not copy Pellix lists."},
};

}  // namespace

bool BoardTypeGets(char type, ListCopier* copier) {
  for (const TypeStep& step : kTypeSteps)
    if (step.copier == copier && IsOneOf(step.types, type)) return true;
  return false;
}

BoardListFile WriteBoardListFile(ConfigurationContext& context, unsigned short board,
                                 const char* path) {
  const NetworkRecord* table = context.networkTable.As<NetworkRecord>();
  const unsigned short count = context.networkTable.count;
  KORVANE_ASSERT(table && board < count, "The board is not in the network description table");
  const NetworkRecord& record = table[board];

  context.BeginListFile(path);
  BoardListFile result;
  try {
    if (!context.CopyList("IP", true)) RaiseFormatted("Could not copy IP List");
    if (!context.CopyList("COMMPORT", true)) RaiseFormatted("Could not copy COMMPORT list");
    if (!CopyBoardLists(context, board, table, count))
      RaiseFormatted("Could not copy manditory lists for %.8s\n", record.name);
    for (const TypeStep& step : kTypeSteps) {
      if (!IsOneOf(step.types, record.boardType)) continue;
      if (!step.copier(context, board, table, count)) RaiseFormatted("%s", step.failure);
    }
    result.size = context.FinishListFile();
  } catch (...) {
    context.targetFile.reset();
    throw;
  }
  result.crc = context.listCrc;
  result.blocks = static_cast<unsigned long>((result.size + 511) / 512);
  return result;
}
