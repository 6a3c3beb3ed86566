#include "testing/ComponentTestSupport.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

namespace {

const char kSubtree[] = "SOFTWARE\\Brenlow\\Korvane";

std::string KeyPath(const std::string& key) {
  return key.empty() ? std::string(kSubtree) : std::string(kSubtree) + "\\" + key;
}

struct KeyHolder {
  HKEY key = nullptr;
  ~KeyHolder() {
    if (key) RegCloseKey(key);
  }
};

void RemoveTree(const std::string& directory) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = directory + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(directory.c_str());
}

}  // namespace

struct TestInstallation::KeySnapshot {
  std::map<std::string, std::pair<DWORD, std::string>> values;
  std::map<std::string, KeySnapshot> subkeys;

  void Take(HKEY key) {
    for (DWORD i = 0;; ++i) {
      char name[16384];
      DWORD nameLength = sizeof name, type = 0, size = 0;
      if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS)
        break;
      std::string data(size, '\0');
      nameLength = sizeof name;
      RegEnumValueA(key, i, name, &nameLength, nullptr, &type,
                    reinterpret_cast<BYTE*>(&data[0]), &size);
      data.resize(size);
      values[name] = {type, data};
    }
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD length = sizeof name;
      if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      KeyHolder child;
      if (RegOpenKeyExA(key, name, 0, KEY_READ, &child.key) == ERROR_SUCCESS)
        subkeys[name].Take(child.key);
    }
  }

  void Put(HKEY parent, const std::string& path) const {
    KeyHolder key;
    if (RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key.key,
                        nullptr) != ERROR_SUCCESS)
      return;
    for (const auto& [name, value] : values)
      RegSetValueExA(key.key, name.c_str(), 0, value.first,
                     reinterpret_cast<const BYTE*>(value.second.data()),
                     static_cast<DWORD>(value.second.size()));
    for (const auto& [name, subkey] : subkeys) subkey.Put(key.key, name);
  }
};

TestInstallation::TestInstallation(const char* tag) : saved(new KeySnapshot) {
  KeyHolder key;
  subtreeExisted =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubtree, 0, KEY_READ, &key.key) == ERROR_SUCCESS;
  if (subtreeExisted) saved->Take(key.key);

  char temp[MAX_PATH] = "";
  GetTempPathA(sizeof temp, temp);
  root = std::string(temp) + "korvane-" + tag + "-" + std::to_string(GetCurrentProcessId());
  RemoveTree(root);
  CreateDirectoryA(root.c_str(), nullptr);
  WriteDefaultSettings();
}

TestInstallation::~TestInstallation() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSubtree);
  if (subtreeExisted) saved->Put(HKEY_LOCAL_MACHINE, kSubtree);
  RemoveTree(root);
}

void TestInstallation::WriteDefaultSettings() {
  SetString("Path", "Root", root);
  SetString("Network", "Base IP Address", "10.0.0.1");
  SetDword("Network", "Communication Port", 5000);
  SetDword("Network", "Reboot Port", 5001);
  // Nothing of a test may leave this machine.
  SetString("Network", "Board Command Address", "127.0.0.1");
  SetDword("", "Control Center Client Timeout", 10);
  DeleteKey("Active Set");
}

void TestInstallation::SetString(const std::string& key, const char* name,
                                 const std::string& text) {
  KeyHolder holder;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &holder.key, nullptr),
            ERROR_SUCCESS)
      << key;
  ASSERT_EQ(RegSetValueExA(holder.key, name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
}

void TestInstallation::SetDword(const std::string& key, const char* name, DWORD value) {
  KeyHolder holder;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &holder.key, nullptr),
            ERROR_SUCCESS)
      << key;
  ASSERT_EQ(RegSetValueExA(holder.key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value),
            ERROR_SUCCESS);
}

void TestInstallation::DeleteValue(const std::string& key, const char* name) {
  KeyHolder holder;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_ALL_ACCESS, &holder.key) ==
      ERROR_SUCCESS)
    RegDeleteValueA(holder.key, name);
}

void TestInstallation::DeleteKey(const std::string& key) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str());
}

bool TestInstallation::ReadDword(const std::string& key, const char* name, DWORD* value) const {
  KeyHolder holder;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_READ, &holder.key) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = sizeof *value;
  return RegQueryValueExA(holder.key, name, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &size) == ERROR_SUCCESS &&
         type == REG_DWORD;
}

void TestInstallation::AddBoard(const std::string& keyName, DWORD number) {
  std::string key = "Active Set\\Boards\\" + keyName;
  SetString(key, "Name", "BRD" + std::to_string(number));
  SetString(key, "Address", "10.0.0." + std::to_string(number + 2));
  SetDword(key, "CRC", 0x1234);
  SetDword(key, "Number", number);
  SetString(key, "Path", root + "\\active\\" + keyName);
  SetDword(key, "Size", 100);
}

void TestInstallation::MakeDirectory(const std::string& relative) {
  std::string path = root;
  size_t start = 0;
  // Each folder on the way.
  while (start <= relative.size()) {
    size_t end = relative.find('\\', start);
    if (end == std::string::npos) end = relative.size();
    path += "\\" + relative.substr(start, end - start);
    CreateDirectoryA(path.c_str(), nullptr);
    start = end + 1;
  }
}

void TestInstallation::WriteFile(const std::string& relative, const std::string& bytes) {
  size_t slash = relative.find_last_of('\\');
  if (slash != std::string::npos) MakeDirectory(relative.substr(0, slash));
  FILE* file = std::fopen((root + "\\" + relative).c_str(), "wb");
  ASSERT_NE(file, nullptr) << relative;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

void TestInstallation::RemoveFile(const std::string& relative) {
  DeleteFileA((root + "\\" + relative).c_str());
}

UdpListener::UdpListener() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_NE(socket_, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
}

UdpListener::~UdpListener() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  WSACleanup();
}

bool UdpListener::Receive(std::vector<unsigned char>& datagram, DWORD timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_, &readable);
  timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
  datagram.assign(65536, 0);
  int got = recv(socket_, reinterpret_cast<char*>(datagram.data()),
                 static_cast<int>(datagram.size()), 0);
  if (got < 0) return false;
  datagram.resize(static_cast<size_t>(got));
  return true;
}
