#include "BootRequester.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "CommandListener.h"
#include "Win32/Holders.h"

namespace {

struct CloseSocketFn { void operator()(SOCKET s) const { closesocket(s); } };
using UniqueSocket = UniqueValue<SOCKET, INVALID_SOCKET, CloseSocketFn>;

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
    std::snprintf(head, sizeof head,
                  ": op %u, xid %02X%02X%02X%02X, chaddr %02X%02X%02X%02X%02X%02X", m[0], m[4],
                  m[5], m[6], m[7], m[28], m[29], m[30], m[31], m[32], m[33]);
    out << head << ", yiaddr " << Address(m + 16) << ", siaddr " << Address(m + 20) << ", file \""
        << std::string(message.data() + 108, strnlen(message.data() + 108, 128)) << "\"";
  }
  out << "\n" << HexLines(message, "  ") << "\n";
}

// The exchange itself, with Windows Sockets started.
int Exchange(const BootOptions& options, std::ostream& out, std::ostream& err) {
  UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    err << "error: could not open a socket on 127.0.0.1 (Windows Sockets error "
        << WSAGetLastError() << ").\n";
    return 3;
  }
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
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &size);
  out << "from 127.0.0.1 port " << ntohs(local.sin_port) << " to 127.0.0.1 port " << options.port
      << "\n";
  Show("request", request, out);
  sendto(s.get(), request.data(), static_cast<int>(request.size()), 0,
         reinterpret_cast<sockaddr*>(&to), sizeof to);

  const DWORD deadline = GetTickCount() + options.seconds * 1000;
  for (DWORD now = GetTickCount(); static_cast<LONG>(deadline - now) > 0; now = GetTickCount()) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s.get(), &readable);
    const DWORD left = deadline - now;
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) break;
    char buffer[2048];
    int got = recv(s.get(), buffer, sizeof buffer, 0);
    if (got < 300) continue;
    std::string reply(buffer, static_cast<size_t>(got));
    // Only the answer to this request counts.
    if (reply[0] == 2 && reply.compare(4, 4, request, 4, 4) == 0 &&
        reply.compare(28, 6, request, 28, 6) == 0) {
      Show("reply", reply, out);
      return 0;
    }
  }
  out << "no reply within " << options.seconds << " s\n";
  return 1;
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
  int status = Exchange(options, out, err);
  WSACleanup();
  return status;
}
