#include "ClientCommandLine.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

struct CommandName {
  long value;
  const char* name;
};
// The six commands a board understands; each is one bit.
constexpr CommandName kBoardCommands[] = {
    {1, "REBOOT"}, {2, "CLRPMM"}, {4, "CLRFLS"}, {8, "OVRRID"}, {16, "PSTMRT"}, {32, "ACTVAT"},
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Decimal digits only (no sign, no blanks), at most max.
bool ParseCount(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (v > max) return false;
  value = static_cast<unsigned long>(v);
  return true;
}

// Splits "--name=value" so options read the same either way.
struct Option {
  std::string name;
  std::string value;
  bool hasInlineValue = false;
};
Option SplitOption(const std::string& arg) {
  Option option;
  std::string::size_type eq = arg.find('=');
  if (eq == std::string::npos) {
    option.name = arg;
  } else {
    option.name = arg.substr(0, eq);
    option.value = arg.substr(eq + 1);
    option.hasInlineValue = true;
  }
  return option;
}

class ArgumentReader {
 public:
  ArgumentReader(const std::vector<std::string>& args, std::string& error)
      : args_(args), error_(error) {}

  bool AtEnd() const { return next_ >= args_.size(); }
  const std::string& Take() { return args_[next_++]; }

  // The value of an option: inline after '=', else the next argument.
  bool OptionValue(const Option& option, std::string& value) {
    if (option.hasInlineValue) {
      value = option.value;
      return true;
    }
    if (AtEnd()) return Fail(option.name + " needs a value");
    value = Take();
    return true;
  }

  bool Fail(const std::string& reason) {
    error_ = reason;
    return false;
  }

 private:
  const std::vector<std::string>& args_;
  std::string& error_;
  std::size_t next_ = 1;  // args_[0] is the operation
};

bool IsOption(const std::string& arg) { return arg.size() > 2 && arg.compare(0, 2, "--") == 0; }

bool ParseWaitOption(ArgumentReader& reader, const Option& option, ClientRequest& request) {
  std::string value;
  if (!reader.OptionValue(option, value)) return false;
  if (!ParseCount(value, 0xFFFFFFFFul / 1000, request.waitSeconds))
    return reader.Fail("--timeout needs a number of seconds, not \"" + value + "\"");
  return true;
}

// --seconds of watch and errors --follow: how long to go on, above 0.
bool ParseSecondsOption(ArgumentReader& reader, const Option& option, ClientRequest& request) {
  std::string value;
  if (!reader.OptionValue(option, value)) return false;
  if (!ParseCount(value, 0xFFFFFFFFul / 1000, request.watchSeconds) || request.watchSeconds == 0)
    return reader.Fail("--seconds needs a number of seconds above 0, not \"" + value + "\"");
  return true;
}

bool ParseSelectOrRestore(ArgumentReader& reader, ClientRequest& request) {
  const bool wantsSet = request.operation == ClientOperation::Select;
  while (!reader.AtEnd()) {
    const std::string& arg = reader.Take();
    if (IsOption(arg)) {
      Option option = SplitOption(arg);
      if (option.name != "--timeout") return reader.Fail("unknown option " + option.name);
      if (!ParseWaitOption(reader, option, request)) return false;
    } else if (wantsSet && request.setName.empty() && !arg.empty()) {
      request.setName = arg;
    } else {
      return reader.Fail("unexpected argument \"" + arg + "\"");
    }
  }
  if (wantsSet && request.setName.empty()) return reader.Fail("select needs the name of a set");
  // The name's size travels as 16 bits, including the NUL.
  if (request.setName.size() >= 0xFFFF) return reader.Fail("the set name is too long");
  return true;
}

bool ParseCommand(ArgumentReader& reader, ClientRequest& request) {
  if (reader.AtEnd()) return reader.Fail("command needs a command and at least one board");
  const std::string& name = reader.Take();
  if (!ParseBoardCommand(name, request.command))
    return reader.Fail("unknown board command \"" + name +
                       "\" (REBOOT, CLRPMM, CLRFLS, OVRRID, PSTMRT, ACTVAT or a number)");
  while (!reader.AtEnd()) {
    const std::string& board = reader.Take();
    unsigned long number = 0;
    if (!ParseCount(board, 0xFFFF, number))
      return reader.Fail("a board is a number from 0 to 65535, not \"" + board + "\"");
    // The count travels as 16 bits.
    if (request.boards.size() == 0xFFFF) return reader.Fail("too many boards");
    request.boards.push_back(static_cast<unsigned short>(number));
  }
  if (request.boards.empty()) return reader.Fail("command needs at least one board number");
  return true;
}

bool ParseTimeout(ArgumentReader& reader, ClientRequest& request) {
  if (reader.AtEnd()) return reader.Fail("timeout needs a number of seconds");
  const std::string& text = reader.Take();
  unsigned long seconds = 0;
  if (!ParseCount(text, 0xFFFF, seconds))
    return reader.Fail("timeout needs seconds from 0 to 65535, not \"" + text + "\"");
  if (!reader.AtEnd()) return reader.Fail("unexpected argument \"" + reader.Take() + "\"");
  request.clientTimeout = static_cast<unsigned short>(seconds);
  return true;
}

bool ParseWatch(ArgumentReader& reader, ClientRequest& request) {
  while (!reader.AtEnd()) {
    const std::string& arg = reader.Take();
    if (!IsOption(arg)) return reader.Fail("unexpected argument \"" + arg + "\"");
    Option option = SplitOption(arg);
    std::string value;
    if (option.name == "--allow") {
      if (!reader.OptionValue(option, value)) return false;
      if (value == "now") {
        request.allow = AllowPolicy::Now;
      } else if (value == "never") {
        request.allow = AllowPolicy::Never;
      } else if (ParseCount(value, 0x7FFFFFFF, request.allowDelayMs)) {
        request.allow = request.allowDelayMs == 0 ? AllowPolicy::Now : AllowPolicy::Delayed;
      } else {
        return reader.Fail("--allow takes now, never or a delay in milliseconds, not \"" +
                           value + "\"");
      }
    } else if (option.name == "--count") {
      if (!reader.OptionValue(option, value)) return false;
      if (!ParseCount(value, 0xFFFFFFFFul, request.maxEvents) || request.maxEvents == 0)
        return reader.Fail("--count needs a number of notifications above 0, not \"" + value +
                           "\"");
    } else if (option.name == "--seconds") {
      if (!ParseSecondsOption(reader, option, request)) return false;
    } else if (option.name == "--description") {
      if (!reader.OptionValue(option, value)) return false;
      // The size travels as 16 bits, including the NUL.
      if (value.empty() || value.size() >= 0xFFFF)
        return reader.Fail("--description needs a text of 1 to 65534 characters");
      request.description = value;
    } else {
      return reader.Fail("unknown option " + option.name);
    }
  }
  return true;
}

bool ParseStatus(ArgumentReader& reader, ClientRequest& request) {
  while (!reader.AtEnd()) {
    const std::string& arg = reader.Take();
    if (arg != "--json") return reader.Fail("unexpected argument \"" + arg + "\"");
    request.json = true;
  }
  return true;
}

bool ParseErrors(ArgumentReader& reader, ClientRequest& request) {
  while (!reader.AtEnd()) {
    const std::string& arg = reader.Take();
    if (!IsOption(arg)) return reader.Fail("unexpected argument \"" + arg + "\"");
    Option option = SplitOption(arg);
    std::string value;
    if (option.name == "--json" && !option.hasInlineValue) {
      request.json = true;
    } else if (option.name == "--follow" && !option.hasInlineValue) {
      request.follow = true;
    } else if (option.name == "--seconds") {
      if (!ParseSecondsOption(reader, option, request)) return false;
    } else if (option.name == "--since") {
      if (!reader.OptionValue(option, value)) return false;
      if (!ParseLogTime(value, request.since))
        return reader.Fail("--since needs a local time YYYY-MM-DD[ HH:MM[:SS]], not \"" + value +
                           "\"");
    } else if (option.name == "--last") {
      if (!reader.OptionValue(option, value)) return false;
      if (!ParseCount(value, 0x7FFFFFFF, request.last) || request.last == 0)
        return reader.Fail("--last needs a number of entries above 0, not \"" + value + "\"");
    } else {
      return reader.Fail("unknown option " + option.name);
    }
  }
  if (request.watchSeconds && !request.follow) return reader.Fail("--seconds goes with --follow");
  return true;
}

bool ParseNothingMore(ArgumentReader& reader) {
  if (!reader.AtEnd()) return reader.Fail("unexpected argument \"" + reader.Take() + "\"");
  return true;
}

}  // namespace

bool ParseLogTime(const std::string& text, std::string& normalized) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  auto digits = [&](size_t at, size_t count, unsigned& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
  };
  const size_t length = text.size();
  if (length != 10 && length != 16 && length != 19) return false;
  if (!digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
      !digits(8, 2, day))
    return false;
  if (length > 10 && ((text[10] != ' ' && text[10] != 'T') || !digits(11, 2, hour) ||
                      text[13] != ':' || !digits(14, 2, minute)))
    return false;
  if (length > 16 && (text[16] != ':' || !digits(17, 2, second))) return false;
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
    return false;
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour,
                minute, second);
  normalized = buffer;
  return true;
}

bool ParseBoardCommand(const std::string& text, long& command) {
  const std::string upper = Upper(text);
  for (const CommandName& entry : kBoardCommands) {
    if (upper == entry.name) {
      command = entry.value;
      return true;
    }
  }
  // A number: strtoll takes the sign and a 0x prefix; everything must be used.
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  const bool hex = upper.size() > 2 && (upper.compare(0, 2, "0X") == 0 ||
                                        upper.compare(0, 3, "-0X") == 0);
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  command = static_cast<long>(value);
  return true;
}

std::string BoardCommandName(long command) {
  for (const CommandName& entry : kBoardCommands)
    if (entry.value == command) return entry.name;
  return "command " + std::to_string(command);
}

bool ParseClientCommandLine(const std::vector<std::string>& args, ClientRequest& request,
                            std::string& error) {
  request = ClientRequest();
  if (args.empty()) {
    error = "no command given";
    return false;
  }
  struct Named {
    const char* name;
    ClientOperation operation;
  };
  static const Named kOperations[] = {
      {"help", ClientOperation::Help},         {"-h", ClientOperation::Help},
      {"--help", ClientOperation::Help},       {"/?", ClientOperation::Help},
      {"list", ClientOperation::List},         {"active", ClientOperation::Active},
      {"backup", ClientOperation::Backup},     {"changing", ClientOperation::Changing},
      {"select", ClientOperation::Select},     {"restore", ClientOperation::Restore},
      {"command", ClientOperation::Command},   {"timeout", ClientOperation::Timeout},
      {"watch", ClientOperation::Watch},       {"status", ClientOperation::Status},
      {"errors", ClientOperation::Errors},
  };
  bool known = false;
  for (const Named& entry : kOperations) {
    if (args[0] == entry.name) {
      request.operation = entry.operation;
      known = true;
      break;
    }
  }
  if (!known) {
    error = "unknown command \"" + args[0] + "\"";
    return false;
  }

  ArgumentReader reader(args, error);
  switch (request.operation) {
    case ClientOperation::Select:
    case ClientOperation::Restore:
      return ParseSelectOrRestore(reader, request);
    case ClientOperation::Command:
      return ParseCommand(reader, request);
    case ClientOperation::Timeout:
      return ParseTimeout(reader, request);
    case ClientOperation::Watch:
      return ParseWatch(reader, request);
    case ClientOperation::Status:
      return ParseStatus(reader, request);
    case ClientOperation::Errors:
      return ParseErrors(reader, request);
    default:
      return ParseNothingMore(reader);
  }
}

const char* ClientUsageText() {
  return
      "Usage: korvane-client COMMAND [ARGUMENTS]\n"
      "\n"
      "Operates the Korvane control center server; COM starts the server when needed.\n"
      "\n"
      "Commands:\n"
      "  list                       List the configuration sets on disk, one name a line.\n"
      "  active                     Print the name of the active set.\n"
      "  backup                     Print the name of the backed-up set (only when a\n"
      "                             complete backup exists).\n"
      "  changing                   Print \"yes\" while a set change or restore runs, else \"no\".\n"
      "  select SET [--timeout S]   Activate the set SET and wait for the outcome, printing\n"
      "                             each notification as it arrives.\n"
      "  restore [--timeout S]      Restore the backed-up set and wait for the outcome.\n"
      "                             --timeout S: stop waiting after S seconds (default 300;\n"
      "                             0 waits without limit).\n"
      "  command CMD BOARD...       Send a command to boards of the active set, named by\n"
      "                             their board numbers. CMD is REBOOT, CLRPMM, CLRFLS,\n"
      "                             OVRRID, PSTMRT or ACTVAT, or a number (1, 2, 4, 8, 16, 32).\n"
      "  timeout SECONDS            Set how long observers get to allow a set change\n"
      "                             (0 to 65535 seconds).\n"
      "  watch [OPTIONS]            Observe set changes and bootp server messages until\n"
      "                             stopped (Ctrl+C, --count or --seconds):\n"
      "      --allow now|DELAY_MS|never  allow each change at once (default), after\n"
      "                                  DELAY_MS milliseconds, or never\n"
      "      --count N                   stop after N notifications\n"
      "      --seconds S                 stop after S seconds\n"
      "      --description TEXT          this observer's description for the server\n"
      "                                  (default \"korvane-client watch\")\n"
      "  status [--json]            Show the active set, the backup set, whether a set\n"
      "                             change runs (as the server answers), then the boards\n"
      "                             of the active set (number, name, type, IP address,\n"
      "                             hardware address, list file) and the code files with\n"
      "                             their CRCs, as the last set change recorded them.\n"
      "                             --json: one JSON object instead.\n"
      "  errors [OPTIONS]           Show the server's error log, newest last: local time,\n"
      "                             source (file:line of a failed check, else \"-\") and\n"
      "                             text, one entry a line. It is read from the database\n"
      "                             server; the control center server is not needed.\n"
      "      --since TIME                entries logged at or after TIME, a local time\n"
      "                                  YYYY-MM-DD[ HH:MM[:SS]]\n"
      "      --last N                    only the last N entries\n"
      "      --follow                    go on printing entries as they are logged, until\n"
      "                                  stopped (Ctrl+C, the console closes, --seconds)\n"
      "      --seconds S                 with --follow: stop after S seconds\n"
      "      --json                      one JSON object a line: time, source, text\n"
      "  help                       Show this text.\n"
      "\n"
      "Output: results, actions and notifications go to standard output, one line\n"
      "each, as soon as they happen:\n"
      "  SelectSet: started               RestoreBackup: started\n"
      "  ChangeProceeding                 ClientsNotResponding[: TEXT]\n"
      "  SetSelected: succeeded|failed    SetRestored: succeeded|failed\n"
      "  ConfigurationChanging            ConfigurationChanged\n"
      "  BootpError: TEXT                 BootpInfo: TEXT\n"
      "  Watching: cookie N, bootp cookie M\n"
      "  AllowSetChange: ok\n"
      "  SendBoardCommand: NAME sent to board(s) N...\n"
      "  SetClientTimeout: N seconds\n"
      "Failures go to standard error: \"METHOD failed: HRESULT 0xXXXXXXXX\" followed by\n"
      "\"Error: TEXT\" with the server's error text; after a failed set change or restore,\n"
      "\"Error: TEXT\" with the server's reason. Texts are shown on one line.\n"
      "\n"
      "Exit codes:\n"
      "  0  success\n"
      "  1  the operation failed: the server refused it, the set change or restore failed\n"
      "     or gave no outcome in time, or there is no active set or complete backup;\n"
      "     status: the records of the active set could not be read; errors: the\n"
      "     database server refused a call\n"
      "  2  usage error\n"
      "  3  the server could not be reached or created\n"
      "     (errors: the database server could not be reached or started)\n";
}
