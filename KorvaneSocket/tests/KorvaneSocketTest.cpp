// The board socket against a real UDP listener on 127.0.0.1. Nothing here
// sends anywhere else: every socket is given 127.0.0.1, directly or through
// the registry setting.
#include <gtest/gtest.h>

#include "KorvaneSocket.h"

#include <ws2tcpip.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Win32/Holders.h"

namespace {

// A UDP socket bound to 127.0.0.1 on a port of the system's choosing.
class Listener {
 public:
  Listener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int size = sizeof address;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    closesocket(socket_);
    WSACleanup();
  }

  unsigned short Port() const { return port_; }

  // The next datagram, or false when none arrives within the time.
  bool Receive(std::vector<unsigned char>& datagram, int milliseconds = 2000) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
    datagram.resize(65536);
    int got = recv(socket_, reinterpret_cast<char*>(datagram.data()),
                   static_cast<int>(datagram.size()), 0);
    if (got < 0) return false;
    datagram.resize(static_cast<size_t>(got));
    return true;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  unsigned short port_ = 0;
};

// Sets the registry's board command address for one test and puts back
// what was there, keys it had to create included.
class AddressSetting {
 public:
  AddressSetting() {
    std::string path = kBoardCommandAddressKey;
    for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
      std::string level = path.substr(0, end);
      DWORD disposition = 0;
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, level.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      key_.put(), &disposition);
      if (disposition == REG_CREATED_NEW_KEY) created_.push_back(level);
      if (end == std::string::npos) break;
    }
    char text[256] = "";
    DWORD size = sizeof text;
    had_ = RegQueryValueExA(key_.get(), kBoardCommandAddressValue, nullptr, &type_,
                            reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS;
    if (had_) old_.assign(text, size);
  }
  ~AddressSetting() {
    if (had_)
      RegSetValueExA(key_.get(), kBoardCommandAddressValue, 0, type_,
                     reinterpret_cast<const BYTE*>(old_.data()), static_cast<DWORD>(old_.size()));
    else
      RegDeleteValueA(key_.get(), kBoardCommandAddressValue);
    key_.reset();
    for (auto level = created_.rbegin(); level != created_.rend(); ++level)
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, level->c_str());
  }
  void Set(const char* text) {
    RegSetValueExA(key_.get(), kBoardCommandAddressValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(strlen(text) + 1));
  }
  void SetNumber(DWORD number) {
    RegSetValueExA(key_.get(), kBoardCommandAddressValue, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&number), sizeof number);
  }
  void Remove() { RegDeleteValueA(key_.get(), kBoardCommandAddressValue); }

 private:
  UniqueKey key_;
  std::vector<std::string> created_;
  bool had_ = false;
  DWORD type_ = 0;
  std::string old_;
};

std::string RaisedText(void (*body)()) {
  try {
    body();
  } catch (char* text) {
    return text;
  }
  return "(nothing raised)";
}

TEST(KorvaneSocket, SendsTheBufferUnchangedAsOneDatagram) {
  Listener listener;
  KorvaneSocket socket(1, listener.Port(), "127.0.0.1");

  // A board command message: name, two hardware addresses, end mark. The
  // buffer is freed as soon as Send returns, the way the server does it.
  const unsigned char message[24] = {'C', 'L', 'R', 'F', 'L', 'S', 0x00, 0xA0, 0x12,
                                     0x34, 0x56, 0x78, 0x00, 0xA0, 0x12, 0x9A, 0xBC, 0xDE};
  auto buffer = std::make_unique<unsigned char[]>(sizeof message);
  std::memcpy(buffer.get(), message, sizeof message);
  EXPECT_EQ(socket.Send(listener.Port(), sizeof message, buffer.get()), 24);
  std::memset(buffer.get(), 0xEE, sizeof message);
  buffer.reset();

  std::vector<unsigned char> got;
  ASSERT_TRUE(listener.Receive(got));
  EXPECT_EQ(got, std::vector<unsigned char>(message, message + sizeof message));
  EXPECT_FALSE(listener.Receive(got, 300)) << "one Send, one datagram";

  // Port 0 stands for the socket's own port. The largest datagram goes out
  // whole; one byte more cannot be one datagram and is refused.
  std::vector<unsigned char> large(65508);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(socket.Send(0, 65507, large.data()), 65507);
  ASSERT_TRUE(listener.Receive(got));
  EXPECT_EQ(got, std::vector<unsigned char>(large.begin(), large.begin() + 65507));
  EXPECT_EQ(socket.Send(0, 65508, large.data()), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
  EXPECT_EQ(socket.Send(0, 6, nullptr), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_FALSE(listener.Receive(got, 300));
}

TEST(KorvaneSocket, DestinationComesFromTheInstallationSettings) {
  AddressSetting setting;
  Listener listener;

  setting.Set(" 127.0.0.1 ");
  EXPECT_EQ(ReadBoardCommandAddress(), "127.0.0.1");
  {
    KorvaneSocket socket(1, listener.Port());
    EXPECT_EQ(socket.Destination(), "127.0.0.1");
    EXPECT_EQ(socket.Port(), listener.Port());
    unsigned char reboot[12] = {'R', 'E', 'B', 'O', 'O', 'T'};
    EXPECT_EQ(socket.Send(listener.Port(), sizeof reboot, reboot), 12);
    std::vector<unsigned char> got;
    ASSERT_TRUE(listener.Receive(got));
    EXPECT_EQ(got, std::vector<unsigned char>(reboot, reboot + sizeof reboot));
  }

  // Without the setting a real installation reaches every board. (Only the
  // address is checked: nothing is sent.)
  setting.Remove();
  EXPECT_EQ(ReadBoardCommandAddress(), "255.255.255.255");
  EXPECT_EQ(KorvaneSocket(1, 4000).Destination(), "255.255.255.255");
}

TEST(KorvaneSocket, BadSettingsAreRefusedWithClearTexts) {
  AddressSetting setting;
  setting.Set("boards.local");
  EXPECT_EQ(RaisedText([] { KorvaneSocket socket(1, 4000); }),
            "The board command address \"boards.local\" is not a dotted IPv4 address (set it as "
            "\"Board Command Address\" under "
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Network).");
  setting.SetNumber(0x7F000001);
  EXPECT_EQ(RaisedText([] { KorvaneSocket socket(1, 4000); }),
            "The value \"Board Command Address\" of "
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Network must be a dotted IPv4 "
            "address text (REG_SZ).");
  EXPECT_EQ(RaisedText([] { KorvaneSocket socket(2, 4000, "127.0.0.1"); }),
            "Socket kind 2 is not available: the board socket is kind 1 (board command "
            "datagrams).");
  EXPECT_EQ(RaisedText([] { KorvaneSocket socket(1, 4000, "127.0.0.256"); }).rfind(
                "The board command address \"127.0.0.256\" is not a dotted IPv4 address", 0),
            0u);
}

}  // namespace
