// Shared by the registry tests: a private subtree of HKEY_LOCAL_MACHINE
// beside the system's own (a test never touches the installation's
// settings), raw Win32 writes that bypass the code under test, and a
// snapshot of a subtree for comparisons.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

constexpr const char* kTestSubtree = "SOFTWARE\\Brenlow\\KorvaneRegistryTest";

template <class F>
std::string RaisedText(F&& call) {
  try {
    call();
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

#define EXPECT_STARTS_WITH(text, prefix)                 \
  do {                                                   \
    const std::string startsWith_ = (text);              \
    EXPECT_EQ(startsWith_.rfind(prefix, 0), 0u) << startsWith_; \
  } while (0)

inline std::string Under(const std::string& relative) {
  return std::string(kTestSubtree) + "\\" + relative;
}

inline bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return false;
  RegCloseKey(key);
  return true;
}

inline void RawSet(const std::string& path, const char* name, DWORD type, const void* data,
                   DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr), ERROR_SUCCESS) << path;
  EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), 0);
  RegCloseKey(key);
}
inline void RawSetString(const std::string& path, const char* name, const std::string& text) {
  RawSet(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}
inline void RawSetDword(const std::string& path, const char* name, DWORD value) {
  RawSet(path, name, REG_DWORD, &value, sizeof value);
}

// key path relative to the snapshot's root ("" for the root) -> value name
// -> type and bytes.
using KeyValues = std::map<std::string, std::pair<DWORD, std::string>>;
using TreeSnapshot = std::map<std::string, KeyValues>;

inline void SnapshotKey(HKEY key, const std::string& relative, TreeSnapshot& tree) {
  KeyValues& values = tree[relative];
  static char name[16384], data[65536];
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = sizeof name, type = 0, size = sizeof data;
    if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                      &size)) break;
    values[name] = {type, std::string(data, size)};
  }
  for (DWORD i = 0;; ++i) {
    char sub[256];
    DWORD length = sizeof sub;
    HKEY child = nullptr;
    if (RegEnumKeyExA(key, i, sub, &length, nullptr, nullptr, nullptr, nullptr)) break;
    if (RegOpenKeyExA(key, sub, 0, KEY_READ, &child)) continue;
    SnapshotKey(child, relative.empty() ? sub : relative + "\\" + sub, tree);
    RegCloseKey(child);
  }
}

inline TreeSnapshot Snapshot(const std::string& path) {
  TreeSnapshot tree;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return tree;
  SnapshotKey(key, "", tree);
  RegCloseKey(key);
  return tree;
}

// A test in the private subtree, which it finds and leaves absent. The
// Brenlow key goes again only when the test made it.
class RegistryTestSubtree : public ::testing::Test {
 protected:
  void SetUp() override {
    brenlowExisted_ = KeyExists("SOFTWARE\\Brenlow");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestSubtree);
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestSubtree);
    if (!brenlowExisted_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenlow");
    for (const std::string& file : files_) DeleteFileA(file.c_str());
  }
  // A file in the temporary folder, removed after the test.
  std::string TempFile(const char* stem) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    files_.push_back(std::string(dir) + "korvane-" + stem + ".reg");
    return files_.back();
  }

 private:
  bool brenlowExisted_ = false;
  std::vector<std::string> files_;
};
