// The board socket: board command messages leave the control center as UDP
// datagrams, one message per datagram, unchanged.
//
// Where they go: the destination address is an installation setting,
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\Network
//     "Board Command Address" (REG_SZ, dotted IPv4, e.g. "10.0.0.255")
// read once when the socket is constructed. Without it the messages go to
// the limited broadcast address 255.255.255.255, which reaches every board
// of the board network. The port is the one the caller gives to Send.
//
// Use:
//   KorvaneSocket socket(1, rebootPort);            // address from the registry
//   KorvaneSocket socket(1, rebootPort, "127.0.0.1"); // address given
//   socket.Send(rebootPort, length, buffer);          // buffer may be freed at once
// Construction raises a char* text (Win32/ErrorText.h) when the socket
// cannot be made or the address setting is not an IPv4 address.
#pragma once

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>

#include <string>

// The registry value, its key, and the address used when it is absent.
extern const char kBoardCommandAddressKey[];    // "SOFTWARE\Brenlow\Korvane\Network"
extern const char kBoardCommandAddressValue[];  // "Board Command Address"
extern const char kDefaultBoardCommandAddress[]; // "255.255.255.255"

// The configured board command address as text (surrounding blanks
// removed), or kDefaultBoardCommandAddress when the value or its key is
// absent. Raises when the value exists but is not a string.
std::string ReadBoardCommandAddress();

// Sends datagrams to one IPv4 address. Send may be called from several
// threads at once: each call is one sendto on the one socket.
class SocketThread {
 public:
  SocketThread(const SocketThread&) = delete;
  SocketThread& operator=(const SocketThread&) = delete;

  // Sends length bytes of data as one datagram to the destination address
  // and port (0: the socket's own port). The bytes have been handed to the
  // network stack when Send returns, so the caller may free data at once.
  // Returns the number of bytes sent, or -1 (SOCKET_ERROR) with the reason
  // in WSAGetLastError: WSAEFAULT for null data with a non-zero length,
  // WSAEMSGSIZE for more than a datagram can carry (65507 bytes).
  int Send(unsigned short port, unsigned short length, unsigned char* data);

  // The destination, dotted.
  std::string Destination() const;
  unsigned short Port() const { return port_; }

 protected:
  // destination: dotted IPv4 text; raises when it is not one.
  SocketThread(const char* destination, unsigned short port);
  virtual ~SocketThread();

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool started_ = false;      // WSAStartup succeeded and must be matched
  unsigned long address_ = 0; // network byte order
  unsigned short port_ = 0;
};

class KorvaneSocket : public SocketThread {
 public:
  // kind 1 is the board command sender, the only kind there is; other
  // kinds raise. port is the reboot port: Send's port 0 stands for it.
  // The destination comes from the registry (ReadBoardCommandAddress).
  KorvaneSocket(int kind, unsigned short port);
  // The same with the destination given as dotted IPv4 text.
  KorvaneSocket(int kind, unsigned short port, const char* destination);
  ~KorvaneSocket() override;
};
