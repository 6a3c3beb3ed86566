// korvane-setchange-bench: how long a set change of a large set takes,
// measured the way a client sees it (from SelectSet to SetSelected), next to
// a plain program doing the same I/O on the same disk in the same run: a copy
// of every byte the change reads and writes, and as many registry value
// writes. The same for a restore and for a change that fails and rolls back;
// then how the time per board grows with the board count, the CRC-16 against
// a reference slicing-by-8 CRC, and the cost of a client call that does no
// work. The installation is the one the registry names (Path\Root), as for
// the server; the sets are written into its Comp folder.
//
//   korvane-setchange-bench [--boards N] [--megabytes M] [--rounds R] [--growth 0|1]
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ClientEvents.h"
#include "DemoInstallation.h"
#include "NotifySink.h"
#include "NullComponent.h"
#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

const char kUsage[] =
    "Usage: korvane-setchange-bench [--boards N] [--megabytes M] [--rounds R] [--growth 0|1]\n"
    "\n"
    "Writes a set \"Bench\" of N boards (default 1000) of mixed types whose lists\n"
    "add up to about M megabytes (default 50) into the Comp folder of the\n"
    "installation the registry names, activates it R times (default 2) through\n"
    "the control center server's client interface, and prints each activation's\n"
    "time next to the time a plain copy of the files it wrote takes.\n"
    "The first round starts from an empty active folder; every later round also\n"
    "moves the previous configuration into the backup. Then a change that fails\n"
    "and rolls back, a restore, the CRC-16, the cost of a call, and (unless\n"
    "--growth 0) the time per board at a quarter and four times the boards.\n";

// One set change may take long on a slow disk; the server's own limit for
// the bootp reload alone is two minutes.
constexpr DWORD kOutcomeWaitMs = 30 * 60 * 1000;
constexpr size_t kCopyChunk = 64 * 1024;

struct Options {
  unsigned boards = 1000;
  unsigned long megabytes = 50;
  unsigned rounds = 2;
  bool growth = true;
};

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc ||
        (arg != "--boards" && arg != "--megabytes" && arg != "--rounds" && arg != "--growth")) {
      error = "unexpected argument \"" + arg + "\"";
      return false;
    }
    const std::string value = argv[++i];
    char* end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 10);
    if (arg == "--growth" && (value == "0" || value == "1")) {
      options.growth = value == "1";
      continue;
    }
    if (value.empty() || *end || number == 0) {
      error = arg + " needs a positive number, not \"" + value + "\"";
      return false;
    }
    if (arg == "--boards") {
      if (number >= 0xFFFF) {
        error = "--boards must be below 65535";
        return false;
      }
      options.boards = static_cast<unsigned>(number);
    } else if (arg == "--megabytes") {
      if (number > 2000) {
        error = "--megabytes must be at most 2000";
        return false;
      }
      options.megabytes = number;
    } else {
      if (number > 100) {
        error = "--rounds must be at most 100";
        return false;
      }
      options.rounds = static_cast<unsigned>(number);
    }
  }
  return true;
}

// The installation root the server will use.
std::string InstallationRoot() {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenlow\\Korvane\\Path", 0, KEY_READ,
                    key.put()) != ERROR_SUCCESS)
    RaiseFormatted("No installation is registered: HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane"
                   "\\Path is missing.");
  char root[MAX_PATH] = {};
  DWORD size = sizeof root - 1, type = 0;
  if (RegQueryValueExA(key.get(), "Root", nullptr, &type, reinterpret_cast<BYTE*>(root), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    RaiseFormatted("The installation has no \"Root\" string under Path.");
  std::string text = root;
  while (!text.empty() && text.back() == '\\') text.pop_back();
  return text;
}

class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double Seconds() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_, start_;
};

// The files a set change writes into the active folder (the code files
// beside them are only read).
bool WrittenByChange(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "actset" || lower == "active.ini" || lower == "lmhosts" || lower == "_active.zip")
    return true;
  return lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".cfg") == 0;
}

struct ActiveFiles {
  std::vector<std::string> names;
  unsigned long long bytes = 0;
  unsigned listFiles = 0;  // per-board list files
};

ActiveFiles FilesWrittenByChange(const std::string& active) {
  ActiveFiles files;
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((active + "*").c_str(), &found));
  if (!find) RaiseFormatted("Could not read the folder %s.", active.c_str());
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!WrittenByChange(found.cFileName)) continue;
    files.names.push_back(found.cFileName);
    files.bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    if (_stricmp(found.cFileName, "complete.cfg") != 0 && std::strstr(found.cFileName, ".cfg"))
      ++files.listFiles;
  } while (FindNextFileA(find.get(), &found));
  return files;
}

void CopyOneFile(const std::string& from, const std::string& to, std::vector<char>& buffer) {
  UniqueFileHandle source(CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!source) RaiseFormatted("Could not open %s.", from.c_str());
  UniqueFileHandle target(CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!target) RaiseFormatted("Could not create %s.", to.c_str());
  for (;;) {
    DWORD read = 0, written = 0;
    if (!ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      RaiseFormatted("Could not read %s.", from.c_str());
    if (read == 0) return;
    if (!WriteFile(target.get(), buffer.data(), read, &written, nullptr) || written != read)
      RaiseFormatted("Could not write %s.", to.c_str());
  }
}

void RemoveFolder(const std::string& folder) {
  WIN32_FIND_DATAA found;
  {
    UniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!find) return;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileA((folder + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(find.get(), &found));
  }
  RemoveDirectoryA(folder.c_str());
}

// Files of folder (ending with a backslash) that a change backs up, with
// their sizes: what the backup holds, or what a restore moves back.
ActiveFiles BackedUpFiles(const std::string& folder) {
  ActiveFiles files;
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((folder + "*").c_str(), &found));
  if (!find) return files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!WrittenByChange(found.cFileName)) continue;
    files.names.push_back(found.cFileName);
    files.bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  } while (FindNextFileA(find.get(), &found));
  return files;
}

// Keys and values of the registry subtree (under HKEY_LOCAL_MACHINE).
struct RegistryCount {
  unsigned long keys = 0;
  unsigned long values = 0;
};

void CountKey(HKEY parent, const char* path, RegistryCount& count) {
  UniqueKey key;
  if (RegOpenKeyExA(parent, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0, values = 0;
  RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                   nullptr, nullptr, nullptr, nullptr);
  ++count.keys;
  count.values += values;
  char name[256];
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS)
      CountKey(key.get(), name, count);
  }
}

// What a change writes into the registry: the "Code" and "Active Set" keys.
RegistryCount ChangeRegistryCount() {
  RegistryCount count;
  CountKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenlow\\Korvane\\Code", count);
  CountKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenlow\\Korvane\\Active Set", count);
  return count;
}

// What a restore writes into the registry: every value line of the export.
RegistryCount ExportRegistryCount(const std::string& exportPath) {
  RegistryCount count;
  const std::string text = ReadWholeFile(exportPath);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text[at] == '[') ++count.keys;
    if (text[at] == '"' || text[at] == '@') ++count.values;
    at = end + 1;
  }
  return count;
}

constexpr const char* kBaselineKey = "SOFTWARE\\Brenlow\\KorvaneBenchBaseline";

// The plain program's registry part: as many keys and values (DWORDs) as
// the work wrote, spread evenly over the keys.
void WriteRegistryValues(const RegistryCount& count) {
  const unsigned long keys = count.keys ? count.keys : 1;
  unsigned long written = 0;
  for (unsigned long k = 0; k < keys; ++k) {
    UniqueKey key;
    const std::string path = std::string(kBaselineKey) + "\\" + std::to_string(k);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
      RaiseFormatted("Could not create %s.", path.c_str());
    const unsigned long share = (count.values - written) / (keys - k);
    for (unsigned long v = 0; v < share; ++v, ++written) {
      const DWORD data = written;
      const std::string name = "v" + std::to_string(v);
      RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                     sizeof data);
    }
  }
}

// The plain program: copies each (from, to) file in 64 KB reads and writes
// into a scratch folder on the same disk and writes the registry values;
// returns its seconds.
struct PlainWork {
  std::vector<std::pair<std::string, std::string>> copies;  // source folder, file name
  unsigned long long bytes = 0;
  RegistryCount registry;

  void Add(const std::string& folder, const ActiveFiles& files) {
    for (const std::string& name : files.names) copies.emplace_back(folder, name);
    bytes += files.bytes;
  }
  void Add(const RegistryCount& count) {
    registry.keys += count.keys;
    registry.values += count.values;
  }
};

double PlainSeconds(const PlainWork& work, const std::string& scratch) {
  RemoveFolder(scratch);
  MakeFolders(scratch);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBaselineKey);
  std::vector<char> buffer(kCopyChunk);
  Stopwatch watch;
  unsigned long index = 0;
  for (const auto& copy : work.copies)
    CopyOneFile(copy.first + copy.second,
                scratch + "\\" + std::to_string(index++) + "_" + copy.second, buffer);
  WriteRegistryValues(work.registry);
  const double seconds = watch.Seconds();
  RemoveFolder(scratch);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBaselineKey);
  return seconds;
}

std::string Megabytes(unsigned long long bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

std::string TypeMix(const SetPlan& plan) {
  std::map<char, unsigned> types;
  for (const BoardPlan& board : plan.boards) ++types[board.type];
  std::string text;
  for (const auto& entry : types)
    text += (text.empty() ? "" : ", ") + std::to_string(entry.second) + " " + entry.first;
  return text;
}

std::string ServerErrorText(IControlCenterComponent* component) {
  unsigned short size = 0;
  CoTaskMemHolder<char> text;
  if (FAILED(component->GetErrorText(&size, text.put())) || !text.get())
    return "(the server gave no error text)";
  return OneLine(std::string(text.get(), strnlen(text.get(), size)));
}

// Starts a change (setName) or a restore (null) and waits for its outcome;
// the seconds it took. Raises the server's reason when the outcome is not
// the expected one.
double Run(IControlCenterComponent* component, const char* setName, bool expectSuccess = true) {
  auto queue = std::make_shared<EventQueue>();
  ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
  std::vector<char> name;
  if (setName) name.assign(setName, setName + std::strlen(setName) + 1);
  Stopwatch watch;
  HRESULT hr = setName ? component->SelectSet(static_cast<unsigned short>(name.size()),
                                              name.data(), sink.get())
                       : component->RestoreBackup(sink.get());
  if (FAILED(hr)) {
    CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
    RaiseFormatted("%s failed (HRESULT 0x%08lX): %s", setName ? "SelectSet" : "RestoreBackup",
                   static_cast<unsigned long>(hr), ServerErrorText(component).c_str());
  }
  const ClientEventKind outcome = setName ? ClientEventKind::SetSelected : ClientEventKind::SetRestored;
  for (;;) {
    ClientEvent event;
    while (queue->Pop(event)) {
      if (event.kind != outcome) continue;
      const double seconds = watch.Seconds();
      CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
      if ((event.result == 1) != expectSuccess)
        RaiseFormatted("The %s %s: %s", setName ? "set change" : "restore",
                       expectSuccess ? "failed" : "did not fail", ServerErrorText(component).c_str());
      return seconds;
    }
    if (WaitForSingleObject(queue->Signal(), kOutcomeWaitMs) != WAIT_OBJECT_0) {
      CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
      RaiseFormatted("No outcome within %lu minutes.",
                     static_cast<unsigned long>(kOutcomeWaitMs / 60000));
    }
  }
}

// Writes the set of the plan (its lists, less those named in leftOut) into
// the installation; returns the set file's bytes.
unsigned long long WriteSet(const std::string& root, const SetPlan& plan,
                            const std::vector<std::string>& leftOut = {}) {
  std::vector<NamedList> lists = BuildSetLists(plan);
  for (const std::string& name : leftOut)
    for (auto list = lists.begin(); list != lists.end(); ++list)
      if (list->name == name) {
        lists.erase(list);
        break;
      }
  const std::string set = ComposeSetFile(lists);
  WriteWholeFile(root + "\\Comp\\" + plan.name + ".cfg", set);
  return set.size();
}

// The plan with its last Pellix board (whose own lists are all required)
// moved to the end.
SetPlan PellixBoardLast(SetPlan plan) {
  for (size_t i = plan.boards.size(); i-- > 0;)
    if (plan.boards[i].type == 'I' || plan.boards[i].type == 'K') {
      std::swap(plan.boards[i], plan.boards.back());
      break;
    }
  return plan;
}

// The lists of the plan's last board that no other board has: leaving them
// out makes the change fail at that board, after all the others' work.
std::vector<std::string> LastBoardsOwnLists(const SetPlan& plan) {
  SetPlan shorter = plan;
  shorter.boards.pop_back();
  std::vector<std::string> names, others;
  for (const NamedList& list : BuildSetLists(plan)) names.push_back(list.name);
  for (const NamedList& list : BuildSetLists(shorter)) others.push_back(list.name);
  std::vector<std::string> own;
  for (const std::string& name : names)
    if (std::find(others.begin(), others.end(), name) == others.end()) own.push_back(name);
  return own;
}

// What the plain program does for a change that also backs up: the set in
// and complete.cfg out (a copy of complete.cfg), every other file the change
// wrote, the previous configuration's files into the backup, and the
// registry values.
PlainWork ChangeWork(const std::string& active, const std::string& backup) {
  PlainWork work;
  work.Add(active, FilesWrittenByChange(active));
  work.Add(backup, BackedUpFiles(backup));
  work.Add(ChangeRegistryCount());
  return work;
}

void PrintRatio(const char* what, double seconds, const PlainWork& work, double plain) {
  std::printf("%s: %.2f s; plain program (%s copied in %lu files, %lu registry values in %lu "
              "keys) %.2f s; ratio %.2f\n",
              what, seconds, Megabytes(work.bytes).c_str(),
              static_cast<unsigned long>(work.copies.size()), work.registry.values,
              work.registry.keys, plain, plain > 0 ? seconds / plain : 0.0);
  std::fflush(stdout);
}

// --- CRC-16 ---

// A slicing-by-8 CRC-16/MODBUS written here from the polynomial, apart from
// the server's, as the yardstick of what such a CRC costs on this machine.
class ReferenceCrc {
 public:
  ReferenceCrc() {
    for (unsigned v = 0; v < 256; ++v) {
      unsigned short crc = static_cast<unsigned short>(v);
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
      table_[0][v] = crc;
    }
    for (int k = 1; k < 8; ++k)
      for (unsigned v = 0; v < 256; ++v)
        table_[k][v] = static_cast<unsigned short>((table_[k - 1][v] >> 8) ^ table_[0][table_[k - 1][v] & 0xFF]);
  }
  unsigned short Update(unsigned short crc, const unsigned char* p, size_t n) const {
    for (; n >= 8; n -= 8, p += 8) {
      const unsigned a = (p[0] | (p[1] << 8)) ^ crc;
      crc = table_[7][a & 0xFF] ^ table_[6][a >> 8] ^ table_[5][p[2]] ^ table_[4][p[3]] ^
            table_[3][p[4]] ^ table_[2][p[5]] ^ table_[1][p[6]] ^ table_[0][p[7]];
    }
    while (n--) crc = static_cast<unsigned short>(table_[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8));
    return crc;
  }

 private:
  unsigned short table_[8][256];
};

template <class Crc>
double CrcSeconds(const std::string& bytes, unsigned short* result, Crc crc) {
  Stopwatch watch;
  *result = crc(bytes);
  return watch.Seconds();
}

void CrcFigures(const std::string& completePath) {
  const std::string bytes = ReadWholeFile(completePath);
  const ReferenceCrc reference;
  unsigned short bytewise = 0, ours = 0, sliced = 0;
  double tBytewise = 1e9, tOurs = 1e9, tReference = 1e9;
  // Interleaved, the fastest of each kept: on a shared machine the load
  // changes from one second to the next.
  for (int run = 0; run < 5; ++run) {
    tBytewise = std::min(tBytewise, CrcSeconds(bytes, &bytewise, [](const std::string& b) {
      return Crc16UpdateBytewise(kCrc16Start, b.data(), b.size());
    }));
    tOurs = std::min(tOurs, CrcSeconds(bytes, &ours, [](const std::string& b) {
      return Crc16Update(kCrc16Start, b.data(), b.size());
    }));
    tReference = std::min(tReference, CrcSeconds(bytes, &sliced, [&](const std::string& b) {
      return reference.Update(kCrc16Start, reinterpret_cast<const unsigned char*>(b.data()),
                              b.size());
    }));
  }
  const double mb = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);
  std::printf("CRC-16 of complete.cfg (%s): byte-wise table %.0f MB/s, the server's %.0f MB/s, "
              "reference slicing-by-8 %.0f MB/s; the server's at %.2fx the reference, %.1fx the "
              "byte-wise loop; results %s\n",
              Megabytes(bytes.size()).c_str(), mb / tBytewise, mb / tOurs, mb / tReference,
              tReference / tOurs, tBytewise / tOurs,
              bytewise == ours && ours == sliced ? "identical" : "DIFFER");
  std::fflush(stdout);
}

// --- The cost of a call ---

double CallSeconds(IControlCenterComponent* component, unsigned calls) {
  unsigned char changing = 0;
  Stopwatch watch;
  for (unsigned i = 0; i < calls; ++i)
    if (FAILED(component->IsSetChanging(&changing))) RaiseFormatted("IsSetChanging failed.");
  return watch.Seconds();
}

void CallFigures(IControlCenterComponent* server) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  RegisterNullComponent(exe);
  ComPtr<IControlCenterComponent> null;
  const HRESULT hr = CoCreateInstance(kNullComponentClass, nullptr, CLSCTX_LOCAL_SERVER,
                                      IID_IControlCenterComponent, null.put_void());
  if (FAILED(hr)) {
    UnregisterNullComponent();
    RaiseFormatted("Could not start the do-nothing server (HRESULT 0x%08lX).",
                   static_cast<unsigned long>(hr));
  }
  // Interleaved blocks, the fastest of each kept: the machine is shared.
  constexpr unsigned kCalls = 500;
  double serverBest = 1e9, nullBest = 1e9;
  CallSeconds(server, 50);
  CallSeconds(null.get(), 50);
  for (int block = 0; block < 6; ++block) {
    serverBest = std::min(serverBest, CallSeconds(server, kCalls));
    nullBest = std::min(nullBest, CallSeconds(null.get(), kCalls));
  }
  null.reset();
  UnregisterNullComponent();
  std::printf("IsSetChanging: %.1f us a call; the same call on a do-nothing local server %.1f us; "
              "ratio %.2f\n",
              serverBest / kCalls * 1e6, nullBest / kCalls * 1e6, serverBest / nullBest);
  std::fflush(stdout);
}

int RunBench(const Options& options) {
  const std::string root = InstallationRoot();
  const std::string active = root + "\\active\\";
  const std::string backup = active + "BACKUP\\";
  const std::string scratch = root + "\\bench-copy";
  const unsigned long long bytesPerBoard = options.megabytes * 1024ull * 1024ull / options.boards;
  const SetPlan plan = BenchSetPlan(options.boards, options.megabytes * 1024ull * 1024ull);
  std::printf("Building the set: %u boards (%s), about %lu MB of lists.\n", options.boards,
              TypeMix(plan).c_str(), options.megabytes);
  // Every set gets its archive, so that each change makes a whole backup.
  WriteInstallationFiles(root, {plan.name, "BenchFail", "Grow" + std::to_string(options.boards / 4),
                                "Grow" + std::to_string(options.boards * 4)});
  const unsigned long long setBytes = WriteSet(root, plan);
  std::printf("Wrote %s\\Comp\\%s.cfg: %s.\n", root.c_str(), plan.name.c_str(),
              Megabytes(setBytes).c_str());
  std::fflush(stdout);

  ComPtr<IControlCenterComponent> component;
  HRESULT hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IControlCenterComponent, component.put_void());
  if (FAILED(hr))
    RaiseFormatted("Could not create the control center component (HRESULT 0x%08lX); is the "
                   "server registered in this prefix?",
                   static_cast<unsigned long>(hr));

  // Set changes; from the second on each also backs up the previous one.
  double perBoardAtBase = 0;
  PlainWork lastChange;
  double lastChangeSeconds = 0, lastChangePlain = 0;
  for (unsigned round = 1; round <= options.rounds; ++round) {
    const double seconds = Run(component.get(), plan.name.c_str());
    const PlainWork work = ChangeWork(active, backup);
    const double plain = PlainSeconds(work, scratch);
    const std::string what = "set change " + std::to_string(round) + " (" +
                             std::to_string(options.boards) + " boards" +
                             (round == 1 ? ", empty active folder" : ", with backup") + ")";
    PrintRatio(what.c_str(), seconds, work, plain);
    if (round > 1) perBoardAtBase = seconds / options.boards;
    lastChange = work;
    lastChangeSeconds = seconds;
    lastChangePlain = plain;
  }
  if (options.rounds < 2) return 0;

  CrcFigures(active + "complete.cfg");

  // A restore: the backup's files back, the registry from the export. The
  // plain program copies the same files (from where the restore put them).
  const ActiveFiles backedUp = BackedUpFiles(backup);
  const RegistryCount exported = ExportRegistryCount(backup + "KorvaneRegistry.reg");
  const double restore = Run(component.get(), nullptr);
  PlainWork restoreWork;
  restoreWork.Add(active, backedUp);
  restoreWork.Add(exported);
  PrintRatio("restore", restore, restoreWork, PlainSeconds(restoreWork, scratch));

  // A change that fails at its last board and rolls back: the plain program
  // does the work of a whole change with backup (the files written, the
  // previous ones into the backup, the registry values) and then moves the
  // backed-up configuration back and writes its registry values again.
  SetPlan failing = PellixBoardLast(plan);
  failing.name = "BenchFail";
  WriteSet(root, failing, LastBoardsOwnLists(failing));
  const double rollback = Run(component.get(), failing.name.c_str(), false);
  PlainWork rollbackWork;
  const ActiveFiles configuration = FilesWrittenByChange(active);
  for (int copy = 0; copy < 3; ++copy) rollbackWork.Add(active, configuration);
  rollbackWork.Add(ChangeRegistryCount());
  rollbackWork.Add(ChangeRegistryCount());
  PrintRatio("failed set change with rollback", rollback, rollbackWork,
             PlainSeconds(rollbackWork, scratch));
  DeleteFileA((root + "\\Comp\\" + failing.name + ".cfg").c_str());

  CallFigures(component.get());

  if (options.growth) {
    // The same bytes per board at a quarter and four times the boards; the
    // second change of each (with backup) is the one counted.
    std::printf("growth (%.0f KB of lists per board, changes with backup):\n",
                static_cast<double>(bytesPerBoard) / 1024.0);
    // Each with the plain program's time per board beside it: under Wine
    // creating a file scans its folder, so any program's time per file
    // grows with the number of files in the folder.
    struct Growth {
      unsigned boards;
      double change, plain;  // seconds per board
    };
    std::vector<Growth> growth;
    for (unsigned boards : {options.boards / 4, options.boards * 4}) {
      if (boards == 0 || boards >= 0xFFFF) continue;
      SetPlan grown = BenchSetPlan(boards, bytesPerBoard * boards);
      grown.name = "Grow" + std::to_string(boards);
      WriteSet(root, grown);
      Run(component.get(), grown.name.c_str());
      const double seconds = Run(component.get(), grown.name.c_str());
      const double plain = PlainSeconds(ChangeWork(active, backup), scratch);
      growth.push_back({boards, seconds / boards, plain / boards});
      DeleteFileA((root + "\\Comp\\" + grown.name + ".cfg").c_str());
    }
    growth.push_back({options.boards, perBoardAtBase, lastChangePlain / options.boards});
    std::sort(growth.begin(), growth.end(),
              [](const Growth& a, const Growth& b) { return a.boards < b.boards; });
    for (const Growth& entry : growth)
      std::printf("  %5u boards: set change %.2f ms per board, plain program %.2f ms per board\n",
                  entry.boards, entry.change * 1000.0, entry.plain * 1000.0);
    if (growth.size() > 1)
      std::printf("  per board at %u boards / at %u boards: set change %.2f, plain program %.2f\n",
                  growth.back().boards, growth.front().boards,
                  growth.back().change / growth.front().change,
                  growth.back().plain / growth.front().plain);
  }
  std::printf("summary: set change with backup %.2f s against %.2f s, ratio %.2f\n",
              lastChangeSeconds, lastChangePlain, lastChangeSeconds / lastChangePlain);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (_stricmp(argv[1], "-Embedding") == 0 || _stricmp(argv[1], "/Embedding") == 0))
    return ServeNullComponent();
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "korvane-setchange-bench: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fprintf(stderr, "error: Could not initialise COM.\n");
    return 3;
  }
  // The server calls back (SetSelected) whatever account it runs under.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  int status = 1;
  try {
    status = RunBench(options);
  } catch (...) {
    std::fprintf(stderr, "error: %s\n",
                 CaughtExceptionText("Caught an unknown exception in the bench.").c_str());
  }
  CoUninitialize();
  return status;
}
