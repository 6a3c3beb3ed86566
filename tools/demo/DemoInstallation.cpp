#include "DemoInstallation.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

#include "setfiles/BoardLists.h"
#include "Win32/ErrorText.h"
#include "Win32/HexText.h"

namespace {

// Which description tables and lists a board type reads is what the set
// change's copiers select for it. A set carries a table only when one of
// its boards reads it.
bool Reads(ListCopier* copier, char type) { return BoardTypeGets(type, copier); }

// Boards of these types get lists of their own (the rest only shared ones).
bool HasOwnLists(char type) {
  return Reads(CopyControlPanelLists, type) || Reads(CopyPellixLists, type) || type == 'S';
}

// Protocol ids of the boards' serial ports. Port 7 of an 'S' board is
// mapped by "protomap" (below), which gives the board its own port and
// protocol files.
constexpr unsigned char kSerialProtocol = 1;
constexpr unsigned char kTcsProtocol = 4;
constexpr unsigned char kMappedProtocol = 7;
constexpr unsigned char kSwitchProtocol = 2;
// The one panel type of the demo's control panels.
constexpr unsigned char kPanelType[2] = {0x31, 0x01};

// Unused board number fields of a Pellix description: no board has it.
constexpr unsigned short kNoBoard = 0xFFFF;

const char kBrdlists[] =
    "sysparam 1 SVQPMZWBGIJHKL\n"
    "timezone 0 SVQPMZWBGIJHKL\n"
    "alarmtxt 0 SQ\n";

const char kProtomap[] =
    "# protocol replacement board-type list\n"
    "7 9 S prot7s\n";

class Record {
 public:
  explicit Record(size_t size, char fill = '\0') : bytes_(size, fill) {}
  Record& Number(size_t offset, unsigned short value) {
    WriteBigEndian16(reinterpret_cast<unsigned char*>(&bytes_[offset]), value);
    return *this;
  }
  Record& Byte(size_t offset, unsigned char value) {
    bytes_[offset] = static_cast<char>(value);
    return *this;
  }
  // A name field: the name, then `pad` up to width.
  Record& Name(size_t offset, const std::string& name, size_t width, char pad = ' ') {
    for (size_t i = 0; i < width; ++i) bytes_[offset + i] = i < name.size() ? name[i] : pad;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Readable list data of exactly `size` bytes: a line saying what the list
// is, then a filler that differs from list to list, so that every board's
// file has a CRC of its own.
std::string ListData(const std::string& what, size_t size) {
  std::string data = what + "\n";
  unsigned long seed = 2166136261ul;
  for (char c : what) seed = (seed ^ static_cast<unsigned char>(c)) * 16777619ul;
  while (data.size() < size) {
    seed = seed * 1103515245ul + 12345ul;
    data += static_cast<char>('a' + (seed >> 16) % 26);
    if (data.size() % 64 == 63) data += '\n';
  }
  data.resize(size);
  return data;
}

std::string NetworkRecordBytes(const BoardPlan& board) {
  NetworkRecord record;
  std::memset(&record, 0, sizeof record);
  std::memset(record.name, ' ', sizeof record.name);
  std::memcpy(record.name, board.name.data(), std::min(board.name.size(), sizeof record.name));
  std::memcpy(record.hardwareAddress, board.hardwareAddress, sizeof record.hardwareAddress);
  record.boardType = board.type;
  record.boardFlag = board.flag;
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

class SetLists {
 public:
  void Add(const std::string& name, const std::string& data) { lists_[name] = data; }
  void Append(const std::string& name, const std::string& record) { lists_[name] += record; }
  std::vector<NamedList> Take(const std::vector<std::string>& leftOut) {
    std::vector<NamedList> lists;
    for (auto& entry : lists_) {
      if (std::find(leftOut.begin(), leftOut.end(), entry.first) != leftOut.end()) continue;
      lists.push_back({entry.first, std::move(entry.second)});
    }
    // The set file tool orders a folder's lists by name without regard to
    // letter case; do the same so a set built here matches one built there.
    std::sort(lists.begin(), lists.end(), [](const NamedList& a, const NamedList& b) {
      return _stricmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return lists;
  }

 private:
  std::map<std::string, std::string> lists_;
};

}  // namespace

BoardPlan GatewayBoard(const std::string& name, unsigned long address) {
  BoardPlan board;
  board.name = name;
  board.type = 'X';
  board.hardwareAddress[2] = static_cast<unsigned char>(address >> 24);
  board.hardwareAddress[3] = static_cast<unsigned char>(address >> 16);
  board.hardwareAddress[4] = static_cast<unsigned char>(address >> 8);
  board.hardwareAddress[5] = static_cast<unsigned char>(address);
  return board;
}

std::vector<NamedList> BuildSetLists(const SetPlan& plan) {
  if (plan.boards.empty() || plan.boards.size() >= 0xFFFF)
    RaiseFormatted("A set holds 1 to 65534 boards, not %lu.",
                   static_cast<unsigned long>(plan.boards.size()));
  SetLists set;
  const std::string setName = plan.name.empty() ? std::string("the set") : plan.name;

  // What some board of the set needs, so that each shared list and table
  // is written once.
  bool proto = false, panel = false, partyLine = false, vga = false;
  bool mpk = false, tcs2 = false, remote = false, tcsProtocol = false, mapped = false;
  bool expl = false, supl = false;

  std::string networkd;
  unsigned short pellixIndex = 0;
  for (size_t i = 0; i < plan.boards.size(); ++i) {
    const BoardPlan& board = plan.boards[i];
    const unsigned short number = static_cast<unsigned short>(i);
    const std::string tag = Hex4Text(number);
    const std::string whose = "board " + std::to_string(i) + " (" + board.name + ") of " + setName;
    networkd += NetworkRecordBytes(board);
    const char type = board.type;
    if (type == 'X') continue;

    // The board's own lists share its data budget.
    size_t ownLists = 0;
    if (Reads(CopyControlPanelLists, type)) ownLists += 2;  // input set, level set
    if (type == 'S') ownLists += 2;                         // port and protocol files
    if (Reads(CopyPellixLists, type)) ownLists += 1;        // Pellix program
    const size_t share = ownLists ? std::max<size_t>(plan.boardDataBytes / ownLists, 48) : 0;

    if (Reads(CopyProtoLists, type)) {
      proto = true;
      set.Append("sb_portp", Record(4).Number(0, number).Byte(3, kSerialProtocol).bytes());
      if (type == 'S') {
        mapped = true;
        set.Append("sb_portp", Record(4).Number(0, number).Byte(3, kMappedProtocol).bytes());
        set.Add(tag + "sbpt.cfg", ListData("port file of " + whose, share));
        set.Add(tag + "prot.cfg", ListData("protocol file of " + whose, share));
      }
      if (type == 'Q') {
        tcsProtocol = true;
        set.Append("sb_portp", Record(4).Number(0, number).Byte(3, kTcsProtocol).bytes());
      }
    }
    if (Reads(CopyControlPanelLists, type)) {
      panel = true;
      const std::string input = "in" + tag, output = "out" + tag, level = "lv" + tag;
      set.Append("cp_spec0", Record(72)
                                 .Number(10, number)
                                 .Byte(18, kPanelType[0])
                                 .Byte(19, kPanelType[1])
                                 .Name(24, input, 8)
                                 .Name(32, output, 8)
                                 .Name(40, "", 8)
                                 .Name(48, "keymap", 8)
                                 .Name(56, "", 8)
                                 .bytes());
      set.Add(input, ListData("input set of " + whose, share));
      set.Add(output, ListData("output set of " + whose, 32));
      set.Add(output + ".lst", Record(12).Name(0, level, 8).bytes());
      set.Add(level, ListData("level set of " + whose, share));
      set.Add(level + ".flg", ListData("level flags of " + whose, 16));
    }
    if (Reads(CopyPartyLineLists, type)) {
      partyLine = true;
      const unsigned char kind = type == 'P' ? 2 : 3;
      (kind == 2 ? expl : supl) = true;
      set.Append("pl_desc0", Record(6).Number(0, number).Byte(2, kind).bytes());
    }
    if (Reads(CopyVgaLists, type)) {
      vga = true;
      set.Append("vga_disp", Record(12).Number(0, number).Name(2, "vga_main", 10, '\0').bytes());
    }
    if (Reads(CopyPellixLists, type)) {
      const std::string program = "px" + tag;
      set.Append("mcs_desc", Record(46)
                                 .Number(8, number)
                                 .Number(10, kNoBoard)
                                 .Number(12, kNoBoard)
                                 .Number(14, kNoBoard)
                                 .bytes());
      const bool machine = std::strchr(kMachineFileTypes, type) != nullptr;
      set.Append("mcs_syst", Record(50)
                                 .Number(0, pellixIndex++)
                                 .Name(18, machine ? "mc" + tag : "", 8)
                                 .Name(26, program, 8)
                                 .Name(34, "", 8)
                                 .Name(42, "", 8)
                                 .bytes());
      set.Add(program, ListData("Pellix program of " + whose, share));
      if (machine) set.Add("mc" + tag + ".mch", ListData("machine of " + whose, 24));
    }
    if (Reads(CopyMpkLists, type)) mpk = true;
    if (Reads(CopyTcs2Lists, type)) tcs2 = true;
    if (Reads(CopyRemoteLists, type)) {
      remote = true;
      set.Append("sw_descr", Record(38).Number(20, number).Byte(30, kSwitchProtocol).bytes());
    }
  }

  set.Add("networkd", networkd);
  set.Add("sysparam", ListData("system parameters of " + setName, 40));
  set.Add("timezone", ListData("time zone of " + setName, 24));
  if (proto) {
    set.Append("protocol", Record(10).Name(0, "ser_prot", 9, '\0').Byte(9, kSerialProtocol).bytes());
    set.Add("ser_prot", ListData("serial protocol", 40));
    if (tcsProtocol) {
      set.Append("protocol", Record(10).Name(0, "tcs_prot", 9, '\0').Byte(9, kTcsProtocol).bytes());
      set.Add("tcs_prot", ListData("TCS protocol", 40));
    }
    if (mapped) {
      set.Append("protocol", Record(10).Name(0, "net_prot", 9, '\0').Byte(9, kMappedProtocol).bytes());
      set.Add("net_prot", ListData("network protocol", 40));
      set.Add("prot7s", ListData("network protocol of S boards", 40));
    }
  }
  if (panel) {
    set.Add("cp_type.exp", Record(6).Byte(0, kPanelType[0]).Byte(1, kPanelType[1]).bytes());
    set.Add("keymap", ListData("control panel key map of " + setName, 40));
  }
  if (tcsProtocol || tcs2) set.Add("tcs_conv", ListData("TCS conversion", 40));
  if (partyLine) {
    set.Add("inp_conv", ListData("party-line input conversion", 33));
    set.Add("lev_conv", ListData("party-line level conversion", 33));
    set.Add("out_conv", ListData("party-line output conversion", 33));
    if (expl) set.Add("v25_expl", ListData("party-line expansion", 40));
    if (supl) set.Add("v25_supl", ListData("party-line supervisor", 40));
  }
  if (vga) set.Add("vga_main", ListData("VGA main display", 40));
  if (mpk) set.Add("v25_mpk_", ListData("MPK valve program", 64));
  if (tcs2) set.Add("v25_tcs2", ListData("TCS2 program", 64));
  if (remote) {
    set.Add("mat_prot",
            Record(18).Byte(9, kSwitchProtocol).Name(10, "mx_route", 8).bytes());
    set.Add("mx_route", ListData("matrix routing", 40));
  }
  return set.Take(plan.leftOut);
}

const char* DemoBrdlists() { return kBrdlists; }
const char* DemoProtomap() { return kProtomap; }

namespace {

BoardPlan Board(const char* name, char type, unsigned char last, char flag = ' ') {
  BoardPlan board;
  board.name = name;
  board.type = type;
  board.flag = flag;
  const unsigned char address[6] = {0x00, 0x40, 0x9D, 0x21, 0x07, last};
  std::memcpy(board.hardwareAddress, address, sizeof address);
  return board;
}

}  // namespace

std::vector<SetPlan> DemoSetPlans() {
  SetPlan plant;
  plant.name = "Plant";
  plant.boards = {Board("PRESS1", 'S', 0x11),     Board("VALVES", 'V', 0x12),
                  Board("PANEL1", 'Q', 0x13),     GatewayBoard("GATEWAY", 0xC0A80701ul),
                  Board("PRESS2", 'S', 0x15, 'R'), Board("TCS1", 'P', 0x16)};

  SetPlan line2;
  line2.name = "Line2";
  line2.boards = {Board("LINE2S", 'S', 0x21), Board("LINE2V", 'V', 0x22),
                  Board("MIXER", 'M', 0x23)};

  SetPlan incomplete;
  incomplete.name = "Incomplete";
  incomplete.boards = {Board("RETRO1", 'S', 0x31), Board("RETRO2", 'V', 0x32)};
  incomplete.leftOut = {"v25_mpk_"};

  return {plant, line2, incomplete};
}

SetPlan BenchSetPlan(unsigned boards, unsigned long long totalBytes) {
  if (boards == 0 || boards >= 0xFFFF)
    RaiseFormatted("A set holds 1 to 65534 boards, not %u.", boards);
  // A plant's mix: mostly panel and port boards, some valves, a few of the
  // rarer kinds, one gateway in twenty.
  static const char kMix[] = "SSSSSSVVVVQQQIIPPMKX";
  SetPlan plan;
  plan.name = "Bench";
  for (unsigned i = 0; i < boards; ++i) {
    const char type = kMix[i % (sizeof kMix - 1)];
    char name[9];
    std::snprintf(name, sizeof name, "%c%05u", type, i % 100000u);
    if (type == 'X') {
      plan.boards.push_back(GatewayBoard(name, 0x0A640000ul + i));
      continue;
    }
    BoardPlan board;
    board.name = name;
    board.type = type;
    const unsigned char address[6] = {0x00, 0x40, 0x9D, static_cast<unsigned char>(i >> 16),
                                      static_cast<unsigned char>(i >> 8),
                                      static_cast<unsigned char>(i)};
    std::memcpy(board.hardwareAddress, address, sizeof address);
    plan.boards.push_back(board);
  }
  // The boards with lists of their own carry the bulk between them.
  const size_t carriers = static_cast<size_t>(std::count_if(
      plan.boards.begin(), plan.boards.end(), [](const BoardPlan& b) { return HasOwnLists(b.type); }));
  plan.boardDataBytes = static_cast<size_t>(totalBytes / std::max<size_t>(carriers, 1));
  return plan;
}

void MakeFolders(const std::string& folder) {
  std::string path = folder;
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  if (path.empty() || (path.size() == 2 && path[1] == ':')) return;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
      RaiseFormatted("%s is a file, not a folder.", path.c_str());
    return;
  }
  const size_t parent = path.find_last_of("\\/");
  if (parent != std::string::npos) MakeFolders(path.substr(0, parent));
  if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    RaiseFormatted("Could not create the folder %s.", path.c_str());
}

void WriteListFolder(const std::string& folder, const std::vector<NamedList>& lists) {
  MakeFolders(folder);
  for (const NamedList& list : lists) WriteWholeFile(folder + "\\" + list.name, list.data);
}

namespace {

// A text file with Windows line ends, as the installation's own files have.
void WriteTextFile(const std::string& path, const char* text) {
  std::string bytes;
  for (const char* c = text; *c; ++c) {
    if (*c == '\n') bytes += '\r';
    bytes += *c;
  }
  WriteWholeFile(path, bytes);
}

// The smallest well-formed archive: an end-of-central-directory record and
// nothing else. The server only ever copies a set's archive.
std::string EmptyArchive() {
  std::string archive("PK\x05\x06", 4);
  archive.append(18, '\0');
  return archive;
}

}  // namespace

void WriteInstallationFiles(const std::string& root, const std::vector<std::string>& archives) {
  MakeFolders(root + "\\config\\common");
  WriteTextFile(root + "\\config\\common\\brdlists", kBrdlists);
  WriteTextFile(root + "\\config\\common\\protomap", kProtomap);
  MakeFolders(root + "\\bin");
  MakeFolders(root + "\\Comp");
  for (const std::string& name : archives) WriteWholeFile(root + "\\Comp\\" + name + ".zip", EmptyArchive());
  // Firmware images beside the active configuration: a set change caches
  // their CRCs in "bin\korvane.ini" and records them in the registry.
  MakeFolders(root + "\\active");
  WriteWholeFile(root + "\\active\\sboard.bin", ListData("S board firmware", 4096));
  WriteWholeFile(root + "\\active\\vboard.bin", ListData("V board firmware", 2048));
}
