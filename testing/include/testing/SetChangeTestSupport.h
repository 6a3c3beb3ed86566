// Shared by the set change and restore worker tests: a private installation
// on disk (Comp, config\common, bin, active), a private registry subtree
// beside the system's own, a private server lock, and snapshots of the
// active directory and the subtree to compare before and after.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "setchange/ConfigurationWorker.h"
#include "testing/RegistryTestSupport.h"
#include "testing/SetFileTestSupport.h"

namespace setchange_test {

using setfile_test::Board;
using setfile_test::FileExists;
using setfile_test::Networkd;
using setfile_test::ReadFile;
using setfile_test::WriteFile;
using setfile_test::XBoard;

constexpr const char* kWorkerSubtree = "SOFTWARE\\Brenlow\\KorvaneSetChangeTest";
constexpr unsigned long kBaseIp = 0x0A000001;  // 10.0.0.1
constexpr unsigned short kCommPort = 0x1234;

// file name (upper case) -> content, for the plain files of a directory.
using DirectorySnapshot = std::map<std::string, std::string>;

inline DirectorySnapshot SnapshotDirectory(const std::string& directory) {
  DirectorySnapshot files;
  for (const std::string& name : MatchingFiles(directory + "\\", "*")) {
    std::string key = name;
    for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    files[key] = ReadFile(directory + "\\" + name);
  }
  return files;
}

// A string or DWORD value, or a marker (0xDEADBEEF) when it is missing or
// of another type.
inline std::string RegString(const std::string& path, const char* name) {
  DWORD type = 0;
  std::string text;
  if (!RawRead(HKEY_LOCAL_MACHINE, path, name, type, text)) return "<no value>";
  if (type != REG_SZ) return "<not a string>";
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

inline DWORD RegDword(const std::string& path, const char* name) {
  DWORD type = 0, number = 0xDEADBEEF;
  std::string bytes;
  if (RawRead(HKEY_LOCAL_MACHINE, path, name, type, bytes) && type == REG_DWORD && bytes.size() == 4)
    memcpy(&number, bytes.data(), 4);
  return number;
}

// The subkey names of a key, in enumeration order.
inline std::vector<std::string> Subkeys(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& [relative, values] : Snapshot(path))
    if (!relative.empty() && relative.find('\\') == std::string::npos) names.push_back(relative);
  return names;
}

// An installation with its own registry subtree and lock, and the setup
// that points the workers at them. The bootp reset is a callable the test
// can watch and make fail.
class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest()
      : folder("setchange"),
        lock(("korvane set change test " + std::to_string(GetCurrentProcessId())).c_str()),
        boards(0, 10, false) {}

  void SetUp() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kWorkerSubtree);
    // Every board of the types these tests use gets "boardlst" from here.
    setfile_test::MakeInstallationFolders(Root(), "boardlst 1 AVX\n", {"bin", "active"});
  }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kWorkerSubtree); }

  ConfigurationWorkerSetup WorkerSetup() {
    ConfigurationWorkerSetup setup;
    setup.rootPath = folder.path();
    setup.baseIpAddress = kBaseIp;
    setup.communicationPort = kCommPort;
    setup.registrySubtree = kWorkerSubtree;
    setup.serverLock = &lock;
    setup.boardList = &boards;
    setup.bootpReset = [this] {
      ++resets;
      if (onReset) onReset();
    };
    setup.warningShower = [this](const char* text) { warnings.push_back(text); };
    setup.logError = [this](const char* text) { logged.push_back(text); };
    setup.stepPassed = [this](const char* step) { if (stepPassed) stepPassed(step); };
    return setup;
  }

  std::string Root() const { return folder.path(); }
  std::string Active() const { return folder / "active"; }
  std::string ActiveFile(const std::string& name) const { return folder / ("active\\" + name); }
  std::string Backup() const { return folder / "active\\BACKUP"; }
  std::string Key(const std::string& relative = "") const {
    return relative.empty() ? kWorkerSubtree : std::string(kWorkerSubtree) + "\\" + relative;
  }

  std::string WriteSet(const std::string& name, const std::vector<NamedList>& lists,
                       const std::string* archive = nullptr) {
    return setfile_test::WriteSetFile(Root(), name, lists, archive);
  }

  // The active directory's own files (BACKUP left out).
  DirectorySnapshot ActiveFiles() const { return SnapshotDirectory(Active()); }

  setfile_test::ScratchFolder folder;
  ServerLock lock;
  JArray<BoardRecord> boards;
  int resets = 0;
  std::function<void()> onReset;
  // Told each step a worker passes.
  std::function<void(const char*)> stepPassed;
  std::vector<std::string> warnings;
  std::vector<std::string> logged;
};

// A manual-reset event, already set unless told otherwise.
struct AllowEvent : UniqueHandle {
  explicit AllowEvent(bool set = true) : UniqueHandle(CreateEventA(nullptr, TRUE, set, nullptr)) {}
};

// The lists every board of these tests' sets needs besides "networkd".
inline std::vector<NamedList> CommonLists(const std::vector<NetworkRecord>& table,
                                          const std::string& flavour = "one") {
  return {{"networkd", Networkd(table)}, {"boardlst", "board list of " + flavour},
          {"v25_mpk_", "mpk of " + flavour}, {"cp_spec0", ""}, {"cp_type.exp", ""}};
}

}  // namespace setchange_test
