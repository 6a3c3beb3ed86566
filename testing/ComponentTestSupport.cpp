#include "testing/ComponentTestSupport.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include "testing/RegistryTestSupport.h"
#include "testing/SetFileTestSupport.h"

namespace {

const char kSubtree[] = "SOFTWARE\\Brenlow\\Korvane";

std::string KeyPath(const std::string& key) {
  return key.empty() ? std::string(kSubtree) : std::string(kSubtree) + "\\" + key;
}

}  // namespace

// The folder, and the subtree as it was before the test (empty when it was
// not there).
struct TestInstallation::State {
  explicit State(const char* tag) : folder(tag), saved(Snapshot(kSubtree)) {}
  setfile_test::ScratchFolder folder;
  TreeSnapshot saved;
};

TestInstallation::TestInstallation(const char* tag) : state(std::make_unique<State>(tag)) {
  WriteDefaultSettings();
}

TestInstallation::~TestInstallation() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSubtree);
  RestoreSnapshot(kSubtree, state->saved);
}

const std::string& TestInstallation::Root() const { return state->folder.path(); }

void TestInstallation::WriteDefaultSettings() {
  SetString("Path", "Root", Root());
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
  RawSetString(KeyPath(key), name, text);
}

void TestInstallation::SetDword(const std::string& key, const char* name, DWORD value) {
  RawSetDword(KeyPath(key), name, value);
}

void TestInstallation::DeleteValue(const std::string& key, const char* name) {
  UniqueKey holder;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_ALL_ACCESS, holder.put()) ==
      ERROR_SUCCESS)
    RegDeleteValueA(holder.get(), name);
}

void TestInstallation::DeleteKey(const std::string& key) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str());
}

bool TestInstallation::ReadDword(const std::string& key, const char* name, DWORD* value) const {
  DWORD type = 0;
  std::string bytes;
  if (!RawRead(HKEY_LOCAL_MACHINE, KeyPath(key), name, type, bytes) || type != REG_DWORD ||
      bytes.size() != sizeof *value)
    return false;
  std::memcpy(value, bytes.data(), sizeof *value);
  return true;
}

void TestInstallation::AddBoard(const std::string& keyName, DWORD number) {
  std::string key = "Active Set\\Boards\\" + keyName;
  SetString(key, "Name", "BRD" + std::to_string(number));
  SetString(key, "Address", "10.0.0." + std::to_string(number + 2));
  SetDword(key, "CRC", 0x1234);
  SetDword(key, "Number", number);
  SetString(key, "Path", Root() + "\\active\\" + keyName);
  SetDword(key, "Size", 100);
}

void TestInstallation::MakeDirectory(const std::string& relative) {
  // Each folder on the way.
  for (size_t end = 0; end != std::string::npos;) {
    end = relative.find('\\', end + 1);
    setfile_test::MakeFolder(Root() + "\\" + relative.substr(0, end));
  }
}

void TestInstallation::WriteFile(const std::string& relative, const std::string& bytes) {
  const size_t slash = relative.find_last_of('\\');
  if (slash != std::string::npos) MakeDirectory(relative.substr(0, slash));
  setfile_test::WriteFile(Root() + "\\" + relative, bytes);
}

void TestInstallation::RemoveFile(const std::string& relative) {
  DeleteFileA((Root() + "\\" + relative).c_str());
}

UdpListener::UdpListener() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_NE(socket_, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
