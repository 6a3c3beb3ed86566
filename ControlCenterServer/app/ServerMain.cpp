// ControlCenterServer.exe: the process is its application object.
#include <windows.h>

#include "app/ServerApp.h"

namespace {
CServerApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand) {
  return AfxWinMain(instance, previous, commandLine, showCommand);
}
