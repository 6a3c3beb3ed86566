// The board socket against a real UDP listener on 127.0.0.1. Nothing here
// sends anywhere else: every socket is given 127.0.0.1, directly or through
// the registry setting.
#include <gtest/gtest.h>

#include "testing/ComponentTestSupport.h"  // winsock2.h before windows.h

#include "KorvaneSocket.h"

#include <string>
#include <vector>

namespace {

const char kNetwork[] = "Network";  // the key of the board command address

// True when body raises a text that starts with start.
bool Raises(void (*body)(), const std::string& start) {
  try {
    body();
  } catch (char* text) {
    return std::string(text).rfind(start, 0) == 0;
  }
  return false;
}

TEST(KorvaneSocket, SendsTheBufferUnchangedAsOneDatagram) {
  UdpListener listener;
  KorvaneSocket socket(1, listener.Port(), "127.0.0.1");
  std::vector<unsigned char> bytes(65508), got;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  // A board command message; the buffer may change as soon as Send returns.
  std::vector<unsigned char> message(bytes.begin(), bytes.begin() + 24);
  EXPECT_EQ(socket.Send(listener.Port(), 24, message.data()), 24);
  message.assign(24, 0xEE);
  ASSERT_TRUE(listener.Receive(got, 2000));
  EXPECT_EQ(got, std::vector<unsigned char>(bytes.begin(), bytes.begin() + 24));
  // Port 0 stands for the socket's own port. The largest datagram goes out
  // whole; one byte more cannot be one datagram and is refused.
  EXPECT_EQ(socket.Send(0, 65507, bytes.data()), 65507);
  ASSERT_TRUE(listener.Receive(got, 2000));
  EXPECT_EQ(got, std::vector<unsigned char>(bytes.begin(), bytes.end() - 1));
  EXPECT_EQ(socket.Send(0, 65508, bytes.data()), -1);
  EXPECT_FALSE(listener.Receive(got, 300)) << "one Send, one datagram";
}

TEST(KorvaneSocket, TheDestinationComesFromTheInstallationSettingsOrIsRefusedWithItsText) {
  TestInstallation setting("socket-test");
  UdpListener listener;
  setting.SetString(kNetwork, kBoardCommandAddressValue, " 127.0.0.1 ");
  KorvaneSocket socket(1, listener.Port());
  EXPECT_EQ(socket.Destination(), "127.0.0.1");
  unsigned char reboot[12] = {'R', 'E', 'B', 'O', 'O', 'T'};
  EXPECT_EQ(socket.Send(0, sizeof reboot, reboot), 12);
  std::vector<unsigned char> got;
  EXPECT_TRUE(listener.Receive(got, 2000));

  setting.SetString(kNetwork, kBoardCommandAddressValue, "boards.local");
  EXPECT_TRUE(Raises([] { KorvaneSocket(1, 4000); },
                     "The board command address \"boards.local\" is not a dotted IPv4 address"));
  setting.SetDword(kNetwork, kBoardCommandAddressValue, 0x7F000001);
  EXPECT_TRUE(Raises([] { KorvaneSocket(1, 4000); },
                     "The value \"Board Command Address\" of "
                     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Network must be"));
  EXPECT_TRUE(Raises([] { KorvaneSocket(1, 4000, "127.0.0.256"); },
                     "The board command address \"127.0.0.256\" is not a dotted IPv4 address"));
  EXPECT_TRUE(
      Raises([] { KorvaneSocket(2, 4000, "127.0.0.1"); }, "Socket kind 2 is not available"));
  // Without the setting a real installation reaches every board. (Only the
  // address is checked: nothing is sent.)
  setting.DeleteValue(kNetwork, kBoardCommandAddressValue);
  EXPECT_EQ(KorvaneSocket(1, 4000).Destination(), "255.255.255.255");
}

}  // namespace
