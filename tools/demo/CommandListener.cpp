#include "CommandListener.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

namespace {

constexpr size_t kGroup = 6;  // command name, each address and the end mark

std::string HardwareAddress(const std::string& bytes, size_t at) {
  char text[24];
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4],
                b[5]);
  return text;
}

class Winsock {
 public:
  Winsock() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok_) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

class Socket {
 public:
  Socket() : socket_(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
  ~Socket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return socket_; }

 private:
  SOCKET socket_;
};

}  // namespace

std::string HexLines(const std::string& bytes, const std::string& indent) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 24 == 0) text += (i ? "\n" : "") + indent;
    else text += ' ';
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
    text += hex;
  }
  return text;
}

std::string DescribeBoardCommand(const std::string& bytes) {
  if (bytes.size() < 2 * kGroup || bytes.size() % kGroup != 0)
    return "not a board command message: " + std::to_string(bytes.size()) +
           " bytes is not a name, addresses and an end mark of 6 bytes each";
  const std::string name = bytes.substr(0, kGroup);
  for (char c : name)
    if (c < 'A' || c > 'Z') return "not a board command message: it does not begin with a command name";
  if (bytes.find_first_not_of('\0', bytes.size() - kGroup) != std::string::npos)
    return "not a board command message: the last 6 bytes are not the zero end mark";
  const size_t boards = bytes.size() / kGroup - 2;
  if (boards == 0) return "command " + name + " to no board";
  std::string text = "command " + name + " to " + std::to_string(boards) +
                     (boards == 1 ? " board: " : " boards: ");
  for (size_t i = 0; i < boards; ++i) text += (i ? ", " : "") + HardwareAddress(bytes, kGroup * (i + 1));
  return text;
}

int ListenForBoardCommands(const ListenOptions& options, std::ostream& out, std::ostream& err) {
  Winsock winsock;
  if (!winsock.ok()) {
    err << "error: Windows Sockets could not be started.\n";
    return 3;
  }
  Socket socket;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (socket.get() == INVALID_SOCKET ||
      bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    err << "error: could not listen on 127.0.0.1:" << options.port << " (Windows Sockets error "
        << WSAGetLastError() << "); is another program using the port?\n";
    return 3;
  }
  out << "listening on 127.0.0.1:" << options.port << std::endl;

  const ULONGLONG deadline = GetTickCount64() + options.seconds * 1000ull;
  unsigned long received = 0;
  std::string buffer(65536, '\0');
  while (received < options.count) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const ULONGLONG left = deadline - now;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket.get(), &readable);
    timeval wait = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) {
      err << "error: waiting for datagrams failed (Windows Sockets error " << WSAGetLastError()
          << ").\n";
      return 3;
    }
    if (ready == 0) continue;
    sockaddr_in from = {};
    int fromSize = sizeof from;
    const int length = recvfrom(socket.get(), &buffer[0], static_cast<int>(buffer.size()), 0,
                                reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (length == SOCKET_ERROR) {
      err << "error: receiving failed (Windows Sockets error " << WSAGetLastError() << ").\n";
      return 3;
    }
    ++received;
    const std::string bytes = buffer.substr(0, static_cast<size_t>(length));
    char sender[32];
    const unsigned long ip = ntohl(from.sin_addr.s_addr);
    std::snprintf(sender, sizeof sender, "%lu.%lu.%lu.%lu:%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF, static_cast<unsigned>(ntohs(from.sin_port)));
    out << "received " << length << " bytes from " << sender << ":\n"
        << HexLines(bytes, "  ") << "\n  " << DescribeBoardCommand(bytes) << std::endl;
  }
  if (received < options.count) {
    out << "no " << (received ? "further " : "") << "datagram within " << options.seconds
        << " seconds" << std::endl;
    return 1;
  }
  return 0;
}
