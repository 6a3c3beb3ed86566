#include "DemoTool.h"

#include <windows.h>

#include <cstdlib>

#include "BootRequester.h"
#include "CommandListener.h"
#include "DemoInstallation.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

const char kDemoToolUsage[] =
    "Usage: korvane-demo <command> ...\n"
    "\n"
    "  lists <folder>\n"
    "      Writes one folder of list files per demonstration set (Plant, Line2,\n"
    "      Incomplete) into <folder>, which must be new or empty; build each into\n"
    "      a set file with \"korvane-setfile build\".\n"
    "  install <root>\n"
    "      Writes the parts of an installation at <root> that are not set files:\n"
    "      config\\common\\brdlists and protomap, the bin folder, Comp with a\n"
    "      companion archive per demonstration set, and two code files in active.\n"
    "  listen <port> [--count N] [--seconds S]\n"
    "      Plays a board: receives UDP datagrams on 127.0.0.1:<port> and shows\n"
    "      each one as bytes and as a board command. Ends after N datagrams\n"
    "      (default 1) or S seconds (default 30).\n"
    "\n"
    "Exit codes: 0 done; 1 listen: fewer datagrams than wanted arrived in time,\n"
    "boot: no reply came;\n"
    "2 usage error; 3 a file, folder or socket could not be used.\n";

namespace {

struct UsageError {
  std::string text;
};

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (number > max) return false;
  value = static_cast<unsigned long>(number);
  return true;
}

bool FolderHoldsSomething(const std::string& folder) {
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &found));
  if (!find) return false;
  bool something = false;
  do {
    const std::string name = found.cFileName;
    something = name != "." && name != "..";
  } while (!something && FindNextFileA(find.get(), &found));
  return something;
}

int Lists(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2) throw UsageError{"lists needs a folder."};
  const std::string& folder = args[1];
  // Never mix the demo's lists with files already there: the set file tool
  // would take every file of a folder into the set.
  if (FolderHoldsSomething(folder)) {
    err << "error: " << folder << " is not empty; give a new or empty folder.\n";
    return kDemoIo;
  }
  for (const SetPlan& plan : DemoSetPlans()) {
    const std::vector<NamedList> lists = BuildSetLists(plan);
    WriteListFolder(folder + "\\" + plan.name, lists);
    out << plan.name << ": " << plan.boards.size() << " boards, " << lists.size() << " lists";
    if (!plan.leftOut.empty()) {
      out << " (left out on purpose:";
      for (const std::string& name : plan.leftOut) out << " " << name;
      out << ")";
    }
    out << "\n";
  }
  return kDemoOk;
}

int Install(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 2) throw UsageError{"install needs an installation root."};
  std::vector<std::string> archives;
  for (const SetPlan& plan : DemoSetPlans()) archives.push_back(plan.name);
  WriteInstallationFiles(args[1], archives);
  out << "Installation files written below " << args[1] << ".\n";
  return kDemoOk;
}

int Listen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  ListenOptions options;
  bool havePort = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    unsigned long value = 0;
    if (arg == "--count" || arg == "--seconds") {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a number."};
      if (!ParseNumber(args[++i], 1000000, value) || value == 0)
        throw UsageError{arg + " needs a number from 1 to 1000000."};
      (arg == "--count" ? options.count : options.seconds) = value;
    } else if (!havePort && ParseNumber(arg, 0xFFFF, value) && value != 0) {
      options.port = static_cast<unsigned short>(value);
      havePort = true;
    } else {
      throw UsageError{"listen needs a port from 1 to 65535, not \"" + arg + "\"."};
    }
  }
  if (!havePort) throw UsageError{"listen needs a port."};
  return ListenForBoardCommands(options, out, err);
}

int Boot(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  BootOptions options;
  unsigned long value = 0;
  size_t at = 1;
  if (at >= args.size() || !ParseNumber(args[at], 0xFFFF, value) || value == 0)
    throw UsageError{"boot needs a port from 1 to 65535."};
  options.port = static_cast<unsigned short>(value);
  if (++at >= args.size() || !ParseHardwareAddress(args[at], options.hardware))
    throw UsageError{"boot needs a hardware address of twelve hex digits."};
  if (++at < args.size()) {
    if (args[at] != "--seconds" || at + 2 != args.size() ||
        !ParseNumber(args[at + 1], 3600, options.seconds) || options.seconds == 0)
      throw UsageError{"boot takes only --seconds, with a number from 1 to 3600."};
  }
  return AskForBoot(options, out, err);
}

}  // namespace

int RunDemoTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) throw UsageError{"No command given."};
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h" || command == "/?") {
      out << kDemoToolUsage;
      return kDemoOk;
    }
    if (command == "lists") return Lists(args, out, err);
    if (command == "install") return Install(args, out);
    if (command == "listen") return Listen(args, out, err);
    if (command == "boot") return Boot(args, out, err);
    throw UsageError{"Unknown command " + command + "."};
  } catch (const UsageError& error) {
    err << error.text << "\n\n" << kDemoToolUsage;
    return kDemoUsage;
  } catch (...) {
    err << "error: " << CaughtExceptionText("Caught an unknown exception in korvane-demo.") << "\n";
    return kDemoIo;
  }
}
