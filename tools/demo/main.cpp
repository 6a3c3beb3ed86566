// korvane-demo: makes the demonstration installation and plays a board
// for it. scripts/run.sh drives it; "korvane-demo help" lists the commands.
#include <fcntl.h>
#include <io.h>

#include <iostream>
#include <string>
#include <vector>

#include "DemoTool.h"

int main(int argc, char** argv) {
  // LF line ends, so that the Linux scripts that read the output under Wine
  // see no stray CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return RunDemoTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
