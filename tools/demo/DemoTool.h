// The commands of korvane-demo, callable in-process so that the tests run
// them without starting the program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

enum DemoToolExit {
  kDemoOk = 0,
  kDemoNothingReceived = 1,  // listen, boot: time ran out before the datagrams came
  kDemoUsage = 2,
  kDemoIo = 3,  // a file, folder or socket of the tool's own failed
};

// args excludes the program name. Reports go to out, errors to err.
int RunDemoTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char kDemoToolUsage[];
