// Starting a set change or a restore, and their end on the main thread.
// Not built yet: the client methods answer E_NOTIMPL with a text saying so,
// and the end messages (which nothing sends yet) are ignored.
#include "CCCmpnt.h"

HRESULT ControlCenterComponent::SelectSet(unsigned short, char*, IControlCenterNotify*) {
  return NotAvailableYet("SelectSet");
}

HRESULT ControlCenterComponent::RestoreBackup(IControlCenterNotify*) {
  return NotAvailableYet("RestoreBackup");
}

LRESULT ControlCenterComponent::OnSetChangeDone(WPARAM, LPARAM) { return 0; }

LRESULT ControlCenterComponent::OnRestoreDone(WPARAM, LPARAM) { return 0; }
