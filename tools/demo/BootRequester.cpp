#include "BootRequester.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "CommandListener.h"

namespace {

std::string Address(const unsigned char* bytes) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

// The fields a reader checks, then every byte.
void Show(const char* what, const std::string& message, std::ostream& out) {
  const unsigned char* m = reinterpret_cast<const unsigned char*>(message.data());
  out << what << " (" << message.size() << " bytes)";
  if (message.size() >= 300) {
    char head[96];
    std::snprintf(head, sizeof head, ": op %u, xid %02X%02X%02X%02X, chaddr %02X%02X%02X%02X%02X%02X",
                  m[0], m[4], m[5], m[6], m[7], m[28], m[29], m[30], m[31], m[32], m[33]);
    out << head << ", yiaddr " << Address(m + 16) << ", siaddr " << Address(m + 20) << ", file \""
        << std::string(message.data() + 108, strnlen(message.data() + 108, 128)) << "\"";
  }
  out << "\n" << HexLines(message, "  ") << "\n";
}

}  // namespace

bool ParseHardwareAddress(const std::string& text, unsigned char hardware[6]) {
  std::string digits;
  for (char c : text)
    if (c != ':') digits += c;
  if (digits.size() != 12) return false;
  for (int i = 0; i < 6; ++i) {
    unsigned value = 0;
    for (int j = 0; j < 2; ++j) {
      char c = static_cast<char>(std::toupper(static_cast<unsigned char>(digits[2 * i + j])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    hardware[i] = static_cast<unsigned char>(value);
  }
  return true;
}

int AskForBoot(const BootOptions& options, std::ostream& out, std::ostream& err) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    err << "error: Windows Sockets did not start.\n";
    return 3;
  }
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 3;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    err << "error: could not open a socket on 127.0.0.1 (Windows Sockets error "
        << WSAGetLastError() << ").\n";
  } else {
    // A boot request as an Ethernet board sends it, asking for vendor
    // extensions.
    std::string request(300, '\0');
    request[0] = 1, request[1] = 1, request[2] = 6;
    for (int i = 0; i < 4; ++i) request[4 + i] = static_cast<char>(options.xid >> (24 - 8 * i));
    std::memcpy(&request[28], options.hardware, 6);
    const char cookie[] = {99, static_cast<char>(130), 83, 99, static_cast<char>(255)};
    std::memcpy(&request[236], cookie, sizeof cookie);
    sockaddr_in to = local;
    to.sin_port = htons(options.port);
    int size = sizeof local;
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &size);
    out << "from 127.0.0.1 port " << ntohs(local.sin_port) << " to 127.0.0.1 port "
        << options.port << "\n";
    Show("request", request, out);
    sendto(s, request.data(), static_cast<int>(request.size()), 0,
           reinterpret_cast<sockaddr*>(&to), sizeof to);

    status = 1;
    DWORD deadline = GetTickCount() + options.seconds * 1000;
    for (DWORD now = GetTickCount(); status == 1 && static_cast<LONG>(deadline - now) > 0;
         now = GetTickCount()) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(s, &readable);
      DWORD left = deadline - now;
      timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
      if (select(0, &readable, nullptr, nullptr, &wait) != 1) break;
      char buffer[2048];
      int got = recv(s, buffer, sizeof buffer, 0);
      if (got < 300) continue;
      std::string reply(buffer, static_cast<size_t>(got));
      // Only the answer to this request counts.
      if (reply[0] == 2 && reply.compare(4, 4, request, 4, 4) == 0 &&
          reply.compare(28, 6, request, 28, 6) == 0) {
        Show("reply", reply, out);
        status = 0;
      }
    }
    if (status == 1) out << "no reply within " << options.seconds << " s\n";
  }
  if (s != INVALID_SOCKET) closesocket(s);
  WSACleanup();
  return status;
}
