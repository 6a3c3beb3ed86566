// The class-wide state of ControlCenterComponent: built by the first
// instance, torn down by the last.
#include "CCCmpnt.h"

#include "ServerApp.h"

CriticalSection ControlCenterComponent::busyLock;
unsigned long ControlCenterComponent::instanceCount = 0;
unsigned long ControlCenterComponent::nextInstanceID = 0;
bool ControlCenterComponent::changeInProgress = false;
ControlCenterComponent* ControlCenterComponent::currentComponent = nullptr;
HWND ControlCenterComponent::mainWindow = nullptr;

// The installation settings, the board socket, the board records and the
// bootp client join here as they are built, each undone again when a later
// step raises.
void ControlCenterComponent::BuildClassState() {
  mainWindow = ServerMainWindow();
  currentComponent = nullptr;
  changeInProgress = false;
}

void ControlCenterComponent::TearDownClassState() {
  currentComponent = nullptr;
  mainWindow = nullptr;
}
