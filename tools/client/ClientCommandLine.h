// What an operator asked korvane-client to do, taken from its command line.
// Parsing touches nothing outside: a bad command line is answered before
// the server is started.
#pragma once

#include <string>
#include <vector>

// Exit codes scripts rely on; the usage text documents them.
enum ClientExitCode {
  kExitSuccess = 0,      // the operation succeeded
  kExitFailed = 1,       // the server refused it, or the set change/restore failed
  kExitUsage = 2,        // the command line was wrong
  kExitUnreachable = 3,  // the server could not be reached or created
};

enum class ClientOperation {
  Help, List, Active, Backup, Changing, Select, Restore, Command, Timeout, Watch, Status, Errors,
};

// How a watching observer answers ConfigurationChanging.
enum class AllowPolicy { Now, Delayed, Never };

struct ClientRequest {
  ClientOperation operation = ClientOperation::Help;

  // select: the set to activate.
  std::string setName;
  // select, restore: how long to wait for the outcome; 0 waits without limit.
  unsigned long waitSeconds = 300;

  // command: the command number (names are mapped) and the boards.
  long command = 0;
  std::vector<unsigned short> boards;

  // timeout: the observers' answer time in seconds.
  unsigned short clientTimeout = 0;

  // watch
  AllowPolicy allow = AllowPolicy::Now;
  unsigned long allowDelayMs = 0;
  unsigned long maxEvents = 0;     // 0: no limit
  unsigned long watchSeconds = 0;  // 0: no limit; also errors --follow
  std::string description = "korvane-client watch";

  // status, errors: JSON instead of a table.
  bool json = false;

  // errors: the entries logged at or after since ("YYYY-MM-DD HH:MM:SS",
  // local time; empty: all), the last `last` of them (0: all), and whether
  // to go on printing new ones.
  std::string since;
  unsigned long last = 0;
  bool follow = false;
};

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (a "T" may
// stand for the blank) into "YYYY-MM-DD HH:MM:SS"; false when it is none
// of them or names no real time.
bool ParseLogTime(const std::string& text, std::string& normalized);

// Parses the arguments after the program name. On failure returns false
// with a one-line reason in error.
bool ParseClientCommandLine(const std::vector<std::string>& args, ClientRequest& request,
                            std::string& error);

// The full usage text, commands, output format and exit codes.
const char* ClientUsageText();

// The board commands by name ("REBOOT" ... "ACTVAT", any letter case) or by
// number (decimal or 0x hexadecimal, any signed 32-bit value: numbers that
// are no command are the server's to refuse). False when it is neither.
bool ParseBoardCommand(const std::string& text, long& command);
// The name the server sends for a command, or "command N" for a number
// that names none.
std::string BoardCommandName(long command);
