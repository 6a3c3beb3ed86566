// Answers boot requests for the boards of the active configuration, on a
// UDP socket the settings name. It has no thread: the reset worker's thread
// waits on ReadyEvent beside its own events, so a new configuration and the
// requests are handled one after the other and need no lock.
#pragma once

#include <winsock2.h>

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ActiveConfiguration.h"
#include "BootpSettings.h"
#include "EventSinks.h"
#include "Win32/Holders.h"

struct CloseSocketFn { void operator()(SOCKET s) const { closesocket(s); } };
using UniqueSocket = UniqueValue<SOCKET, INVALID_SOCKET, CloseSocketFn>;

class BootResponder {
 public:
  using Report = std::pair<BootpEvent, std::string>;

  // Different unknown hardware addresses reported per configuration: a
  // network full of strangers must not flood the listeners.
  static constexpr size_t kUnknownReported = 64;
  // The largest datagram read whole; longer ones are not boot requests.
  static constexpr size_t kLargestDatagram = 2048;

  BootResponder() = default;
  // Closes the socket.
  ~BootResponder();
  BootResponder(const BootResponder&) = delete;
  BootResponder& operator=(const BootResponder&) = delete;

  // Opens, moves or closes the socket as settings say. Settings that did
  // not change leave an open socket alone; one that could not be opened is
  // tried again.
  std::vector<Report> Listen(const ListenSettings& settings);

  // From now on answers for these boards.
  std::vector<Report> Serve(const std::vector<BootpBoard>& boards);

  // Set while datagrams wait; null when nothing listens.
  HANDLE ReadyEvent() const { return ready_.get(); }

  // Reads and answers at most `most` waiting datagrams. True when it
  // stopped at `most`, so that more may wait.
  bool AnswerWaiting(size_t most, std::vector<Report>& reports);

 private:
  using HardwareAddress = std::array<uint8_t, 6>;
  struct Board {
    uint32_t address = 0;  // network order
    std::string file;
  };

  void Close();
  void Answer(const uint8_t* datagram, size_t size, const sockaddr_in& from,
              std::vector<Report>& reports);
  uint32_t ServerAddressFor(const sockaddr_in& requester) const;

  ListenSettings settings_;
  bool started_ = false;  // WSAStartup succeeded and must be matched
  UniqueSocket socket_;
  UniqueHandle ready_;
  uint32_t boundAddress_ = 0;  // network order; 0 for every address
  std::map<HardwareAddress, Board> boards_;
  std::set<HardwareAddress> unknownReported_;
};
