// What the tests of ControlCenterComponent share: a test installation of
// the system in the prefix and a UDP listener standing in for the boards.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// A whole installation for the tests: the settings under
// HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane ("Root" pointing at a fresh
// folder below the temporary folder, a "Network" key whose board commands
// go to 127.0.0.1, the client time-out) and no active set. The subtree as
// it was before comes back at destruction and the folder is removed.
//
// Keys are named relative to SOFTWARE\Brenlow\Korvane ("" is that key).
class TestInstallation {
 public:
  explicit TestInstallation(const char* tag);
  ~TestInstallation();
  TestInstallation(const TestInstallation&) = delete;
  TestInstallation& operator=(const TestInstallation&) = delete;

  const std::string& Root() const;

  // Writes the settings every case starts from (Root, Network values, a
  // time-out of 10, no "Active Set").
  void WriteDefaultSettings();

  void SetString(const std::string& key, const char* name, const std::string& text);
  void SetDword(const std::string& key, const char* name, DWORD value);
  void DeleteValue(const std::string& key, const char* name);
  void DeleteKey(const std::string& key);
  // False when the value is missing or not a REG_DWORD.
  bool ReadDword(const std::string& key, const char* name, DWORD* value) const;

  // One board record under "Active Set\Boards", in the key named keyName
  // (normally the 12-digit hardware address).
  void AddBoard(const std::string& keyName, DWORD number);

  // Files and folders below the root; paths use backslashes.
  void MakeDirectory(const std::string& relative);
  void WriteFile(const std::string& relative, const std::string& bytes);
  void RemoveFile(const std::string& relative);

 private:
  struct State;
  std::unique_ptr<State> state;
};

// A UDP socket on 127.0.0.1 with a port of the system's choosing: where
// the board socket's datagrams land when the installation says so.
class UdpListener {
 public:
  UdpListener();
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  unsigned short Port() const { return port; }
  // The next datagram, or false when none came within timeoutMs.
  bool Receive(std::vector<unsigned char>& datagram, DWORD timeoutMs);

 private:
  SOCKET socket_ = INVALID_SOCKET;
  unsigned short port = 0;
};
