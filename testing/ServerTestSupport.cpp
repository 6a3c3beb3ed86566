#include "testing/ServerTestSupport.h"

#include <tlhelp32.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include "testing/RegistryTestSupport.h"
#include "testing/SetFileTestSupport.h"

namespace {

const char kSubtree[] = "SOFTWARE\\Brenlow\\Korvane";

std::string KeyPath(const std::string& key) {
  return key.empty() ? std::string(kSubtree) : std::string(kSubtree) + "\\" + key;
}

void RegisterDll(const char* name) {
  const std::string path = BinDirectory() + "\\" + name;
  if (!setfile_test::FileExists(path)) return;
  HMODULE dll = LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr) << name;
  auto registerDll = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(dll, "DllRegisterServer"));
  ASSERT_NE(registerDll, nullptr) << name;
  EXPECT_EQ(registerDll(), S_OK) << name;
  FreeLibrary(dll);
}

void RegisterProgram(const char* name) {
  if (!setfile_test::FileExists(BinDirectory() + "\\" + name)) return;
  TestProcess registration(name, "/RegServer");
  ASSERT_TRUE(registration.Started()) << name;
  EXPECT_TRUE(registration.WaitForExit(30000)) << name << " /RegServer";
}

}  // namespace

void RegisterServerForTests() {
  RegisterDll("KorvanePS.dll");
  RegisterDll("BootpServer.dll");
  RegisterProgram("ControlCenterServer.exe");
  RegisterProgram("QRBDAOServer.exe");
}

// The folder, and the subtree as it was before (empty when it was not there).
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
  if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_ALL_ACCESS, holder.put()))
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
  const std::string key = "Active Set\\Boards\\" + keyName;
  SetString(key, "Name", "BRD" + std::to_string(number));
  SetString(key, "Address", "10.0.0." + std::to_string(number + 2));
  SetDword(key, "CRC", 0x1234);
  SetDword(key, "Number", number);
  SetString(key, "Path", Root() + "\\active\\" + keyName);
  SetDword(key, "Size", 100);
}

void TestInstallation::MakeDirectory(const std::string& relative) {
  for (size_t end = 0; end != std::string::npos;) {  // each folder on the way
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

TestInstallationSettings::TestInstallationSettings() {
  // An installation is there when its root is; other tests (the database
  // server's settings) may leave the Korvane key behind without one.
  if (!KeyExists(KeyPath("Path"))) installation = std::make_unique<TestInstallation>("server-test");
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
  const int got = recv(socket_, reinterpret_cast<char*>(datagram.data()), 65536, 0);
  datagram.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return got >= 0;
}

HWND FindServerWindow(DWORD processId) {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, nullptr, "Control Center Server"))) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != GetCurrentProcessId() && (!processId || owner == processId)) return window;
  }
  return nullptr;
}

HWND WaitForServerWindow(DWORD processId, DWORD timeoutMs) {
  for (DWORD start = GetTickCount();; Sleep(50)) {
    if (HWND window = FindServerWindow(processId)) return window;
    if (GetTickCount() - start > timeoutMs) return nullptr;
  }
}

UniqueHandle OpenServerProcess(HWND window) {
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  const DWORD access = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
  return UniqueHandle(owner ? OpenProcess(access, FALSE, owner) : nullptr);
}

void CloseRunningServers() {
  // The window goes before the process ends: only the process's end says
  // that its classes are withdrawn and a new client gets a new server.
  for (int attempt = 0; attempt < 10; ++attempt) {
    HWND window = FindServerWindow();
    if (!window) break;
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (!WaitForProcessExit(OpenServerProcess(window).get(), 5000)) break;
  }
  for (UniqueHandle& process : OpenProcessesNamed("ControlCenterServer.exe")) {
    if (!WaitForProcessExit(process.get(), 10000)) {
      ADD_FAILURE() << "a server process did not end; terminating it";
      TerminateProcess(process.get(), 1);
      WaitForProcessExit(process.get(), 5000);
    }
  }
}

std::vector<UniqueHandle> OpenProcessesNamed(const char* program) {
  std::vector<UniqueHandle> processes;
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (lstrcmpiA(entry.szExeFile, program) != 0) continue;
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (process) processes.push_back(std::move(process));
  }
  return processes;
}

bool ClassesKeyExists(const std::string& path) { return KeyExists(path, HKEY_CLASSES_ROOT); }

std::string ClassesString(const std::string& path, const char* name) {
  DWORD type = 0;
  std::string value;
  if (!RawRead(HKEY_CLASSES_ROOT, path, name, type, value) || type != REG_SZ) return std::string();
  return value.c_str();
}
