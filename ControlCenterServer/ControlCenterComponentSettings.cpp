// Installation settings a client may change. Not built yet.
#include "CCCmpnt.h"

HRESULT ControlCenterComponent::SetClientTimeout(unsigned short) {
  return NotAvailableYet("SetClientTimeout");
}
