// A component that does nothing, served by a local server that does nothing
// else: the floor under which no client call of the control center server
// can go, since a call to it costs the marshalling and the process switch
// alone. The benchmark program is that server when COM starts it with
// "-Embedding" under kNullComponentClass.
#pragma once

#include <windows.h>

#include <string>

// {6B1F3E52-8C1D-4A57-9E0B-2D4C7A9F1E63}
extern const CLSID kNullComponentClass;

// Registers the program at exePath as the local server of the class for
// the machine; Unregister removes it again.
void RegisterNullComponent(const std::string& exePath);
void UnregisterNullComponent();

// Serves one client of the class until its last object is released.
int ServeNullComponent();
