#include "BootPacket.h"

#include <cstring>

using namespace bootpacket;

bool ParseBootRequest(const uint8_t* datagram, size_t size, BootRequest* request) {
  if (!datagram || !request || size < kMessageSize) return false;
  if (datagram[kOp] != kBootRequest || datagram[kHtype] != kEthernet ||
      datagram[kHlen] != kEthernetLength)
    return false;
  std::memcpy(request->bytes.data(), datagram, kMessageSize);
  return true;
}

std::array<uint8_t, kMessageSize> BuildBootReply(const BootRequest& request, uint32_t yourAddress,
                                                 uint32_t serverAddress,
                                                 const std::string& file) {
  const uint8_t* in = request.bytes.data();
  std::array<uint8_t, kMessageSize> reply{};
  reply[kOp] = kBootReply;
  // htype, hlen, hops, xid, secs, the two bytes later clients use as flags,
  // ciaddr.
  std::memcpy(&reply[kHtype], in + kHtype, kCiaddr + 4 - kHtype);
  std::memcpy(&reply[kYiaddr], &yourAddress, 4);
  std::memcpy(&reply[kSiaddr], &serverAddress, 4);
  std::memcpy(&reply[kGiaddr], in + kGiaddr, 4);
  std::memcpy(&reply[kChaddr], in + kChaddr, kChaddrSize);
  std::memcpy(&reply[kFile], file.data(), file.size() < kLongestFileName ? file.size()
                                                                         : kLongestFileName);
  if (std::memcmp(in + kVend, kMagicCookie, sizeof kMagicCookie) == 0) {
    std::memcpy(&reply[kVend], kMagicCookie, sizeof kMagicCookie);
    reply[kVend + sizeof kMagicCookie] = kEndOption;
  }
  return reply;
}
