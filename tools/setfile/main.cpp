#include <iostream>

#include "SetFileTool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunSetFileTool(args, std::cout, std::cerr);
}
