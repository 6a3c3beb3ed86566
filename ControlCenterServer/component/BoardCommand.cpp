#include "component/BoardCommand.h"

#include <cstring>

#include "Win32/ErrorText.h"

namespace {

constexpr size_t kFieldSize = 6;
constexpr const char* kInvalidBoardNumber = "Invalid board number";

struct Command {
  long value;
  const char* name;
};
constexpr Command kCommands[] = {
    {1, "REBOOT"}, {2, "CLRPMM"}, {4, "CLRFLS"}, {8, "OVRRID"}, {16, "PSTMRT"}, {32, "ACTVAT"},
};

}  // namespace

const char* BoardCommandName(long command) {
  for (const Command& known : kCommands)
    if (known.value == command) return known.name;
  return nullptr;
}

std::vector<unsigned char> BuildBoardCommand(long command, unsigned short numboards,
                                             const unsigned short* boardnums,
                                             JArray<BoardRecord>& table) {
  const char* name = BoardCommandName(command);
  KORVANE_ASSERT_AS(name, "0", "Invalid board command");

  uint32_t nbrd = table.GetCount();
  KORVANE_ASSERT((numboards > 0) && (numboards <= nbrd), nullptr);
  if (numboards > kMostBoardsPerCommand)
    RaiseFormatted("A board command can name at most %u boards; %u were given.",
                   kMostBoardsPerCommand, static_cast<unsigned>(numboards));
  KORVANE_ASSERT_ARG(boardnums);

  std::vector<unsigned char> message((static_cast<size_t>(numboards) + 2) * kFieldSize, 0);
  std::memcpy(message.data(), name, kFieldSize);
  for (unsigned i = 0; i < numboards; ++i) {
    KORVANE_ASSERT(boardnums[i] < nbrd, kInvalidBoardNumber);
    // The table is indexed by board number once loaded, but a record is
    // trusted only for the number it carries.
    bool foundBoard = false;
    for (uint32_t j = 0; j < nbrd && !foundBoard; ++j) {
      BoardRecord& board = table.ElementAt(j);
      if (board.BoardNum() != boardnums[i]) continue;
      std::memcpy(message.data() + kFieldSize * (i + 1), board.hardwareAddress, kFieldSize);
      foundBoard = true;
    }
    KORVANE_ASSERT(foundBoard, kInvalidBoardNumber);
  }
  return message;
}
