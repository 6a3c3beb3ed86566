// Commands to the boards of the active set. Not built yet.
#include "CCCmpnt.h"

HRESULT ControlCenterComponent::SendBoardCommand(LONG, unsigned short, unsigned short*) {
  return NotAvailableYet("SendBoardCommand");
}
