// Commands to the boards of the active set: checked against the board
// records, built into one message and handed to the board socket.
#include "KorvaneSocket.h"  // winsock2.h before anything pulls in windows.h

#include "component/CCCmpnt.h"

#include <vector>

#include "component/BoardCommand.h"
#include "registry/BoardRecord.h"
#include "Win32/ErrorText.h"

HRESULT ControlCenterComponent::SendBoardCommand(LONG command, unsigned short numboards,
                                                 unsigned short* boardnums) {
  // A running change rebuilds boardList and reboots the boards itself.
  if (IsBusy()) RaiseBusy();
  // boardList is read without a lock: only the workers and the first
  // instance rebuild it, and neither runs now.
  std::vector<unsigned char> message = BuildBoardCommand(command, numboards, boardnums, boardList);
  KORVANE_ASSERT(boardSocket, "The board socket is missing.");
  // Nothing comes back from the boards; what the socket reports is not
  // the client's concern.
  boardSocket->Send(rebootPort, static_cast<unsigned short>(message.size()), message.data());
  return S_OK;
}
