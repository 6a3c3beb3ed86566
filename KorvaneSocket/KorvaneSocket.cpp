#include "KorvaneSocket.h"

#include <ws2tcpip.h>

#include <cstring>

#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

const char kBoardCommandAddressKey[] = "SOFTWARE\\Brenlow\\Korvane\\Network";
const char kBoardCommandAddressValue[] = "Board Command Address";
const char kDefaultBoardCommandAddress[] = "255.255.255.255";

namespace {

constexpr int kBoardCommandSender = 1;
// An IPv4 UDP datagram carries at most 65535 - 20 (IP) - 8 (UDP) bytes.
constexpr unsigned kLargestDatagram = 65507;

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

const char* CheckedKind(int kind, const char* destination) {
  if (kind != kBoardCommandSender)
    RaiseFormatted("Socket kind %d is not available: the board socket is kind %d (board command "
                   "datagrams).", kind, kBoardCommandSender);
  return destination;
}

}  // namespace

std::string ReadBoardCommandAddress() {
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBoardCommandAddressKey, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS)
    return kDefaultBoardCommandAddress;
  DWORD type = 0;
  char text[256] = "";
  DWORD size = sizeof text - 1;
  LONG status = RegQueryValueExA(key.get(), kBoardCommandAddressValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(text), &size);
  if (status == ERROR_FILE_NOT_FOUND) return kDefaultBoardCommandAddress;
  if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && type != REG_SZ))
    RaiseFormatted("The value \"%s\" of HKEY_LOCAL_MACHINE\\%s must be a dotted IPv4 address "
                   "text (REG_SZ).", kBoardCommandAddressValue, kBoardCommandAddressKey);
  if (status != ERROR_SUCCESS)
    RaiseFormatted("Could not read the value \"%s\" of HKEY_LOCAL_MACHINE\\%s: %s",
                   kBoardCommandAddressValue, kBoardCommandAddressKey,
                   SystemErrorText(static_cast<DWORD>(status)).c_str());
  text[size < sizeof text ? size : sizeof text - 1] = '\0';
  return Trimmed(text);
}

SocketThread::SocketThread(const char* destination, unsigned short port) : port_(port) {
  in_addr parsed{};
  if (!destination || InetPtonA(AF_INET, destination, &parsed) != 1)
    RaiseFormatted("The board command address \"%s\" is not a dotted IPv4 address (set it as "
                   "\"%s\" under HKEY_LOCAL_MACHINE\\%s).",
                   destination ? destination : "", kBoardCommandAddressValue,
                   kBoardCommandAddressKey);
  address_ = parsed.s_addr;

  WSADATA data;
  int status = WSAStartup(MAKEWORD(2, 2), &data);
  if (status != 0)
    RaiseFormatted("Could not start Windows Sockets for the board socket: %s",
                   SystemErrorText(static_cast<DWORD>(status)).c_str());
  started_ = true;
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket_ == INVALID_SOCKET) {
    int error = WSAGetLastError();
    WSACleanup();
    started_ = false;
    RaiseFormatted("Could not create the board socket: %s",
                   SystemErrorText(static_cast<DWORD>(error)).c_str());
  }
  // The default destination is the limited broadcast address, and a
  // configured one may be a subnet broadcast: sendto refuses both without
  // this option, and it changes nothing for a single host.
  BOOL broadcast = TRUE;
  setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
             sizeof broadcast);
}

SocketThread::~SocketThread() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  if (started_) WSACleanup();
}

int SocketThread::Send(unsigned short port, unsigned short length, unsigned char* data) {
  if (!data && length) {
    WSASetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  if (length > kLargestDatagram) {
    WSASetLastError(WSAEMSGSIZE);
    return SOCKET_ERROR;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port ? port : port_);
  to.sin_addr.s_addr = address_;
  // sendto copies the datagram into the stack before it returns; nothing of
  // data is kept.
  return sendto(socket_, reinterpret_cast<const char*>(data), length, 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string SocketThread::Destination() const {
  in_addr address{};
  address.s_addr = address_;
  char text[INET_ADDRSTRLEN] = "";
  InetNtopA(AF_INET, &address, text, sizeof text);
  return text;
}

KorvaneSocket::KorvaneSocket(int kind, unsigned short port)
    : SocketThread(CheckedKind(kind, ReadBoardCommandAddress().c_str()), port) {}

KorvaneSocket::KorvaneSocket(int kind, unsigned short port, const char* destination)
    : SocketThread(CheckedKind(kind, destination), port) {}

KorvaneSocket::~KorvaneSocket() = default;
