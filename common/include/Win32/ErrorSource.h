// Reading back what AssertFailed (Win32/ErrorText.h) put into a text, for
// the tools that show logged errors. Apart from ErrorText.h so that the
// whole system does not depend on it.
#pragma once

#include <string>

// Where an assertion text says it failed, as "file:line"; empty for a text
// AssertFailed did not compose.
std::string AssertionSource(const std::string& text);
