// korvane-setchange-bench: how long a set change of a large set takes,
// measured the way a client sees it (from SelectSet to SetSelected), next to
// the time a plain copy of the bytes that the change wrote takes on the same
// disk. The installation is the one the registry names (Path\Root), as for
// the server; the set "Bench" is written into its Comp folder.
//
//   korvane-setchange-bench [--boards N] [--megabytes M] [--rounds R]
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

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
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

const char kUsage[] =
    "Usage: korvane-setchange-bench [--boards N] [--megabytes M] [--rounds R]\n"
    "\n"
    "Writes a set \"Bench\" of N boards (default 1000) of mixed types whose lists\n"
    "add up to about M megabytes (default 50) into the Comp folder of the\n"
    "installation the registry names, activates it R times (default 2) through\n"
    "the control center server's client interface, and prints each activation's\n"
    "time next to the time a plain copy of the files it wrote takes.\n"
    "The first round starts from an empty active folder; every later round also\n"
    "moves the previous configuration into the backup.\n";

// One set change may take long on a slow disk; the server's own limit for
// the bootp reload alone is two minutes.
constexpr DWORD kOutcomeWaitMs = 30 * 60 * 1000;
constexpr size_t kCopyChunk = 64 * 1024;

struct Options {
  unsigned boards = 1000;
  unsigned long megabytes = 50;
  unsigned rounds = 2;
};

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc || (arg != "--boards" && arg != "--megabytes" && arg != "--rounds")) {
      error = "unexpected argument \"" + arg + "\"";
      return false;
    }
    const std::string value = argv[++i];
    char* end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 10);
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

// The time a plain copy of the files takes, file by file in 64 KB chunks,
// into a folder beside them on the same disk.
double PlainCopySeconds(const std::string& active, const ActiveFiles& files, const std::string& copy) {
  RemoveFolder(copy);
  MakeFolders(copy);
  std::vector<char> buffer(kCopyChunk);
  Stopwatch watch;
  for (const std::string& name : files.names) CopyOneFile(active + name, copy + "\\" + name, buffer);
  const double seconds = watch.Seconds();
  RemoveFolder(copy);
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

// Activates the set and waits for its outcome; the seconds it took, or
// raises the server's reason.
double Activate(IControlCenterComponent* component, const char* setName) {
  auto queue = std::make_shared<EventQueue>();
  ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
  std::vector<char> name(setName, setName + std::strlen(setName) + 1);
  Stopwatch watch;
  HRESULT hr = component->SelectSet(static_cast<unsigned short>(name.size()), name.data(), sink.get());
  if (FAILED(hr)) {
    CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
    RaiseFormatted("SelectSet failed (HRESULT 0x%08lX): %s", static_cast<unsigned long>(hr),
                   ServerErrorText(component).c_str());
  }
  for (;;) {
    ClientEvent event;
    while (queue->Pop(event)) {
      if (event.kind != ClientEventKind::SetSelected) continue;
      const double seconds = watch.Seconds();
      CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
      if (event.result != 1)
        RaiseFormatted("The set change failed: %s", ServerErrorText(component).c_str());
      return seconds;
    }
    if (WaitForSingleObject(queue->Signal(), kOutcomeWaitMs) != WAIT_OBJECT_0) {
      CoDisconnectObject(static_cast<IControlCenterNotify*>(sink.get()), 0);
      RaiseFormatted("No outcome of the set change within %lu minutes.",
                     static_cast<unsigned long>(kOutcomeWaitMs / 60000));
    }
  }
}

int RunBench(const Options& options) {
  const std::string root = InstallationRoot();
  const SetPlan plan = BenchSetPlan(options.boards, options.megabytes * 1024ull * 1024ull);
  std::printf("Building the set: %u boards (%s), about %lu MB of lists.\n", options.boards,
              TypeMix(plan).c_str(), options.megabytes);
  const std::vector<NamedList> lists = BuildSetLists(plan);
  const std::string set = ComposeSetFile(lists);
  WriteInstallationFiles(root, {plan.name});
  const std::string setPath = root + "\\Comp\\" + plan.name + ".cfg";
  WriteWholeFile(setPath, set);
  std::printf("Wrote %s: %lu lists, %s.\n", setPath.c_str(), static_cast<unsigned long>(lists.size()),
              Megabytes(set.size()).c_str());
  std::fflush(stdout);

  ComPtr<IControlCenterComponent> component;
  HRESULT hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IControlCenterComponent, component.put_void());
  if (FAILED(hr))
    RaiseFormatted("Could not create the control center component (HRESULT 0x%08lX); is the "
                   "server registered in this prefix?",
                   static_cast<unsigned long>(hr));

  const std::string active = root + "\\active\\";
  const std::string copy = root + "\\bench-copy";
  double activationTotal = 0, copyTotal = 0;
  for (unsigned round = 1; round <= options.rounds; ++round) {
    const double activation = Activate(component.get(), plan.name.c_str());
    const ActiveFiles files = FilesWrittenByChange(active);
    const double plainCopy = PlainCopySeconds(active, files, copy);
    activationTotal += activation;
    copyTotal += plainCopy;
    std::printf("round %u%s: set change %.2f s; it wrote %s in %lu files (complete.cfg, %u list "
                "files, active.ini, LMHOSTS, ACTSET, _active.zip); plain copy of those files "
                "%.2f s; ratio %.1f\n",
                round, round == 1 ? "" : " (also backs up the previous configuration)", activation,
                Megabytes(files.bytes).c_str(), static_cast<unsigned long>(files.names.size()),
                files.listFiles, plainCopy, plainCopy > 0 ? activation / plainCopy : 0.0);
    std::fflush(stdout);
  }
  std::printf("overall: set change %.2f s, plain copy %.2f s, ratio %.1f\n",
              activationTotal / options.rounds, copyTotal / options.rounds,
              copyTotal > 0 ? activationTotal / copyTotal : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  } catch (char* text) {
    std::fprintf(stderr, "error: %s\n", text);
  } catch (const char* text) {
    std::fprintf(stderr, "error: %s\n", text);
  }
  CoUninitialize();
  return status;
}
