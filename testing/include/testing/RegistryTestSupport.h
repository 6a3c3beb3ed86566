// Shared by the tests that use the registry: a private subtree of
// HKEY_LOCAL_MACHINE beside the system's own (a test never touches the
// installation's settings), raw Win32 reads and writes that bypass the code
// under test, and a snapshot of a subtree to compare or to put back.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "Win32/Holders.h"

constexpr const char* kTestSubtree = "SOFTWARE\\Brenlow\\KorvaneRegistryTest";

// What a call raised, or "<nothing raised>".
template <class F>
std::string RaisedText(F&& call) {
  try { call(); } catch (char* text) { return text; }
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

inline bool KeyExists(const std::string& path, HKEY root = HKEY_LOCAL_MACHINE) {
  UniqueKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// One value's type and bytes; false when the key or the value is missing.
inline bool RawRead(HKEY root, const std::string& path, const char* name, DWORD& type,
                      std::string& data) {
  UniqueKey key;
  DWORD size = 0;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return false;
  data.assign(size, '\0');
  return RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                          &size) == ERROR_SUCCESS;
}

inline void RawSet(const std::string& path, const char* name, DWORD type, const void* data,
                   DWORD size) {
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.put(), nullptr), ERROR_SUCCESS) << path;
  EXPECT_EQ(RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), 0)
      << path << " " << name;
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
  char name[16384];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name, type = 0, size = 0;
    if (RegEnumValueA(key, i, name, &length, nullptr, &type, nullptr, &size)) break;
    std::string data(size, '\0');
    length = sizeof name;
    if (RegEnumValueA(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                      &size)) break;
    values[name] = {type, data.substr(0, size)};
  }
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    UniqueKey child;
    if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)) break;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, child.put())) continue;
    SnapshotKey(child.get(), relative.empty() ? name : relative + "\\" + name, tree);
  }
}

// The subtree at path; empty when the key is missing.
inline TreeSnapshot Snapshot(const std::string& path) {
  TreeSnapshot tree;
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    SnapshotKey(key.get(), "", tree);
  return tree;
}

// Writes a snapshot back below path: every key, empty ones too, and its values.
inline void RestoreSnapshot(const std::string& path, const TreeSnapshot& tree) {
  for (const auto& [relative, values] : tree) {
    UniqueKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (relative.empty() ? path : path + "\\" + relative).c_str(),
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr))
      continue;
    for (const auto& [name, value] : values)
      RegSetValueExA(key.get(), name.c_str(), 0, value.first,
                     reinterpret_cast<const BYTE*>(value.second.data()),
                     static_cast<DWORD>(value.second.size()));
  }
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
