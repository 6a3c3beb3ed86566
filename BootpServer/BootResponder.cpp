#include "BootResponder.h"

#include <cstdio>

#include "BootPacket.h"
#include "BootpMessages.h"
#include "Win32/HexText.h"

namespace {

std::string SenderText(const sockaddr_in& from) {
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&from.sin_addr.s_addr);
  char text[40];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u port %u", a[0], a[1], a[2], a[3],
                static_cast<unsigned>(ntohs(from.sin_port)));
  return text;
}

}  // namespace

BootResponder::~BootResponder() {
  Close();
  if (started_) WSACleanup();
}

void BootResponder::Close() {
  socket_.reset();
  ready_.reset();
}

std::vector<BootResponder::Report> BootResponder::Listen(const ListenSettings& settings) {
  bool open = static_cast<bool>(socket_);
  if (settings == settings_ && open == settings.enabled) return {};
  settings_ = settings;
  Close();
  if (!settings.enabled) {
    if (open) return {{kInfo, NotListeningText()}};
    return {};
  }

  auto failed = [&](const char* step, int error) -> std::vector<Report> {
    Close();
    return {{kNonFatalError, CannotListenText(settings.address, settings.port, step, error)}};
  };
  if (!started_) {
    WSADATA data;
    int status = WSAStartup(MAKEWORD(2, 2), &data);
    if (status != 0) return failed("start Windows Sockets", status);
    started_ = true;
  }
  socket_.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!socket_) return failed("open a socket", WSAGetLastError());
  // Another program on the port must make this fail, not share its requests.
  BOOL exclusive = TRUE;
  setsockopt(socket_.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  // Boards booting together send in bursts; room for a few hundred.
  int buffer = 256 * 1024;
  setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer),
             sizeof buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(settings.port);
  address.sin_addr.s_addr = inet_addr(settings.address.c_str());
  if (bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return failed("bind the socket", WSAGetLastError());
  boundAddress_ = address.sin_addr.s_addr;
  ready_.reset(WSACreateEvent());
  if (!ready_) return failed("create an event", WSAGetLastError());
  // Also makes the socket non-blocking, which AnswerWaiting relies on.
  if (WSAEventSelect(socket_.get(), ready_.get(), FD_READ) != 0)
    return failed("wait for requests", WSAGetLastError());

  return {{kInfo, ListeningText(settings.address, settings.port)}};
}

std::vector<BootResponder::Report> BootResponder::Serve(const std::vector<BootpBoard>& boards) {
  boards_.clear();
  unknownReported_.clear();
  std::vector<const BootpBoard*> tooLong;
  for (const BootpBoard& board : boards) {
    if (board.listPath.size() > bootpacket::kLongestFileName) {
      tooLong.push_back(&board);
      continue;
    }
    HardwareAddress key;
    std::copy(board.hardwareAddress, board.hardwareAddress + 6, key.begin());
    boards_[key] = Board{inet_addr(board.ipAddress.c_str()), board.listPath};
  }
  if (tooLong.empty() || !settings_.enabled) return {};
  return {{kNonFatalError, ListPathTooLongText(tooLong)}};
}

bool BootResponder::AnswerWaiting(size_t most, std::vector<Report>& reports) {
  if (!socket_) return false;
  WSANETWORKEVENTS happened;
  WSAEnumNetworkEvents(socket_.get(), ready_.get(), &happened);
  uint8_t datagram[kLargestDatagram];
  for (size_t read = 0; read < most; ++read) {
    sockaddr_in from{};
    int fromSize = sizeof from;
    int got = recvfrom(socket_.get(), reinterpret_cast<char*>(datagram), sizeof datagram, 0,
                       reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got >= 0) {
      if (fromSize >= static_cast<int>(sizeof from) && from.sin_family == AF_INET)
        Answer(datagram, static_cast<size_t>(got), from, reports);
      continue;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return false;
    // Too long for a boot request: dropped. An earlier reply's ICMP "port
    // unreachable" shows up as a reset: the requester went away.
    if (error == WSAEMSGSIZE || error == WSAECONNRESET || error == WSAENETRESET) continue;
    Close();
    reports.emplace_back(kNonFatalError, StoppedListeningText(error));
    return false;
  }
  return true;
}

void BootResponder::Answer(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                           std::vector<Report>& reports) {
  BootRequest request;
  if (!ParseBootRequest(datagram, size, &request)) return;
  // A board without an address yet asks from 0.0.0.0; only a broadcast
  // could reach it, and this server sends none (a relay, which asks from
  // its own address, serves such networks).
  if (from.sin_addr.s_addr == INADDR_ANY || from.sin_addr.s_addr == INADDR_BROADCAST ||
      from.sin_port == 0)
    return;
  HardwareAddress key;
  std::copy(request.HardwareAddress(), request.HardwareAddress() + 6, key.begin());
  auto board = boards_.find(key);
  if (board == boards_.end()) {
    if (unknownReported_.size() > kUnknownReported || unknownReported_.count(key)) return;
    unknownReported_.insert(key);
    if (unknownReported_.size() > kUnknownReported)
      reports.emplace_back(kInfo, UnknownBoardsNotReportedText(kUnknownReported));
    else
      reports.emplace_back(kInfo, UnknownBoardText(HardwareAddressText(key.data()), SenderText(from)));
    return;
  }
  auto reply = BuildBootReply(request, board->second.address, ServerAddressFor(from),
                              board->second.file);
  // A reply that cannot be sent is as lost as one the network drops: the
  // board asks again.
  sendto(socket_.get(), reinterpret_cast<const char*>(reply.data()),
         static_cast<int>(reply.size()), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
}

uint32_t BootResponder::ServerAddressFor(const sockaddr_in& requester) const {
  if (boundAddress_ != INADDR_ANY) return boundAddress_;
  // Listening on every address: the one the system would send from to
  // reach the requester is the one the board can reach back. Connecting a
  // UDP socket sends nothing; it only picks the route.
  UniqueSocket probe(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in local{};
  int size = sizeof local;
  if (probe &&
      connect(probe.get(), reinterpret_cast<const sockaddr*>(&requester), sizeof requester) == 0 &&
      getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &size) == 0)
    return local.sin_addr.s_addr;
  return 0;
}
