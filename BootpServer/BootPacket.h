// The boot protocol's message: one fixed layout for request and reply,
// 300 bytes, every multi-byte number in network order.
//
//   offset size  field
//        0    1  op        1 request, 2 reply
//        1    1  htype     hardware type (1: Ethernet)
//        2    1  hlen      hardware address length (6 for Ethernet)
//        3    1  hops      set by relays
//        4    4  xid       the client's transaction id
//        8    2  secs      seconds since the client began booting
//       10    2  (unused)
//       12    4  ciaddr    client address, when the client knows it
//       16    4  yiaddr    "your" address: the client's, in a reply
//       20    4  siaddr    the server's address, in a reply
//       24    4  giaddr    the relay's address, when one forwarded it
//       28   16  chaddr    client hardware address
//       44   64  sname     server host name (zero-terminated)
//      108  128  file      boot file name (zero-terminated)
//      236   64  vend      vendor area
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bootpacket {

constexpr size_t kMessageSize = 300;
constexpr size_t kOp = 0, kHtype = 1, kHlen = 2, kHops = 3, kXid = 4, kSecs = 8, kCiaddr = 12,
                 kYiaddr = 16, kSiaddr = 20, kGiaddr = 24, kChaddr = 28, kSname = 44,
                 kFile = 108, kVend = 236;
constexpr size_t kChaddrSize = 16, kSnameSize = 64, kFileSize = 128, kVendSize = 64;
constexpr uint8_t kBootRequest = 1, kBootReply = 2;
constexpr uint8_t kEthernet = 1, kEthernetLength = 6;
// Clients that want vendor extensions start vend with this cookie; the
// reply then carries it too, followed by the end option.
constexpr uint8_t kMagicCookie[4] = {99, 130, 83, 99};
constexpr uint8_t kEndOption = 255;
// The longest file name a reply can carry, its terminating zero left out.
constexpr size_t kLongestFileName = kFileSize - 1;

}  // namespace bootpacket

// A request that passed ParseBootRequest: its first 300 bytes, of which
// the reply keeps most.
struct BootRequest {
  std::array<uint8_t, bootpacket::kMessageSize> bytes{};

  // The Ethernet address the request asks for.
  const uint8_t* HardwareAddress() const { return bytes.data() + bootpacket::kChaddr; }
};

// True, with *request filled, when the datagram is a boot request from an
// Ethernet client: at least 300 bytes (clients may send a longer vendor
// area, which is ignored), op 1, htype 1, hlen 6. Anything else - replies,
// other hardware, truncated or random data - is false, and *request is left
// as it was.
bool ParseBootRequest(const uint8_t* datagram, size_t size, BootRequest* request);

// The reply to request: op 2, the request's htype, hlen, hops, xid, secs,
// ciaddr, giaddr and chaddr, the given addresses (network order) and the
// boot file name (cut to kLongestFileName characters; callers check the
// length first), the rest zero but for the vendor cookie when the request
// had it.
std::array<uint8_t, bootpacket::kMessageSize> BuildBootReply(const BootRequest& request,
                                                             uint32_t yourAddress,
                                                             uint32_t serverAddress,
                                                             const std::string& file);
