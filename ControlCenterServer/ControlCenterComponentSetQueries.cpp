// Questions about the sets on disk and the active directory. Not built yet:
// each answers E_NOTIMPL with a text saying so.
#include "CCCmpnt.h"

HRESULT ControlCenterComponent::ListSets(unsigned short*, unsigned short**, unsigned short*,
                                         char**) {
  return NotAvailableYet("ListSets");
}

HRESULT ControlCenterComponent::BackupExists(unsigned char*) {
  return NotAvailableYet("BackupExists");
}

HRESULT ControlCenterComponent::IsSetChanging(unsigned char*) {
  return NotAvailableYet("IsSetChanging");
}

HRESULT ControlCenterComponent::GetActiveSetName(unsigned short*, char**) {
  return NotAvailableYet("GetActiveSetName");
}

HRESULT ControlCenterComponent::GetBackupSetName(unsigned short*, char**) {
  return NotAvailableYet("GetBackupSetName");
}

HRESULT ControlCenterComponent::ActiveSetExists(unsigned char*) {
  return NotAvailableYet("ActiveSetExists");
}
