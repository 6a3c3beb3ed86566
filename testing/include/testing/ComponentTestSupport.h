// The component tests' fixtures (a test installation, a board listener)
// live with the server fixture.
#pragma once
#include "testing/ServerTestSupport.h"
