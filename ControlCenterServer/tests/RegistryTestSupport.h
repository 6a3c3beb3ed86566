// Shared by the registry tests: a private subtree of HKEY_LOCAL_MACHINE
// beside the system's own (so a test never touches the installation's
// settings), raw Win32 access that does not go through the code under test,
// and a snapshot of a subtree for comparisons.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

constexpr const char* kTestSubtree = "SOFTWARE\\Brenlow\\KorvaneRegistryTest";
constexpr const char* kBrenlowPath = "SOFTWARE\\Brenlow";

// The text a call raises, or a marker when it raises nothing.
template <class F>
std::string RaisedText(F&& call) {
  try {
    call();
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

inline std::string Under(const std::string& relative) {
  return relative.empty() ? std::string(kTestSubtree) : std::string(kTestSubtree) + "\\" + relative;
}

inline bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

inline void RawSet(const std::string& path, const char* name, DWORD type, const void* data,
                   DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void RawSetString(const std::string& path, const char* name, const std::string& text) {
  RawSet(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

inline void RawSetDword(const std::string& path, const char* name, DWORD value) {
  RawSet(path, name, REG_DWORD, &value, sizeof value);
}

// Every key of a subtree (by path relative to its root, "" for the root) with
// every value (name -> type and bytes).
struct StoredValue {
  DWORD type;
  std::vector<BYTE> bytes;
  bool operator==(const StoredValue& o) const { return type == o.type && bytes == o.bytes; }
};
using KeyValues = std::map<std::string, StoredValue>;
using TreeSnapshot = std::map<std::string, KeyValues>;

inline void SnapshotKey(HKEY key, const std::string& relative, TreeSnapshot& tree) {
  KeyValues& values = tree[relative];
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD nameLength = sizeof name, type = 0, size = 0;
    if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      break;
    StoredValue value{type, std::vector<BYTE>(size)};
    DWORD got = size;
    RegQueryValueExA(key, name, nullptr, nullptr, value.bytes.data(), &got);
    values[name] = value;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    SnapshotKey(child, relative.empty() ? name : relative + "\\" + name, tree);
    RegCloseKey(child);
  }
}

inline TreeSnapshot Snapshot(const std::string& path) {
  TreeSnapshot tree;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return tree;
  SnapshotKey(key, "", tree);
  RegCloseKey(key);
  return tree;
}

// A test that works in the private subtree, which it finds and leaves
// absent. The Brenlow key is removed again only when the test made it.
class RegistryTestSubtree : public ::testing::Test {
 protected:
  void SetUp() override {
    brenlowExisted_ = KeyExists(kBrenlowPath);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestSubtree);
    ASSERT_FALSE(KeyExists(kTestSubtree));
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestSubtree);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestSubtree);
    if (!brenlowExisted_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBrenlowPath);
    for (const std::string& file : files_) DeleteFileA(file.c_str());
  }

  // A file name in the temporary directory, removed after the test.
  std::string TempFile(const char* stem) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    std::string path = std::string(dir) + "korvane-" + stem + "-" +
                       std::to_string(GetCurrentProcessId()) + ".reg";
    files_.push_back(path);
    return path;
  }

 private:
  bool brenlowExisted_ = false;
  std::vector<std::string> files_;
};
