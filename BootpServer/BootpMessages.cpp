#include "BootpMessages.h"

#include <winsock2.h>

#include "ActiveConfiguration.h"
#include "BootpSettings.h"
#include "Win32/ErrorText.h"

namespace {

// Enough names for an operator to recognise the set; the count says the
// rest.
constexpr size_t kNamesShown = 16;
// A record quoted in a text is cut to this length.
constexpr size_t kLineShown = 80;

std::string Boards(size_t count) {
  return std::to_string(count) + (count == 1 ? " board" : " boards");
}

std::string MoreText(size_t total, size_t shown) {
  return total > shown ? ", and " + std::to_string(total - shown) + " more" : std::string();
}

}  // namespace

std::string ErrorCodeText(DWORD error) {
  std::string text = SystemErrorText(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(static_cast<unsigned long>(error));
  return text;
}

void RaiseCannotRead(const std::string& path, DWORD error) {
  throw KeepMessageText("Could not read the active configuration " + path + ": " +
                        ErrorCodeText(error) + ".");
}

void RaiseTooLarge(const std::string& path) {
  throw KeepMessageText("The active configuration " + path +
                        " is larger than 4 MB, so it is not a board file.");
}

void RaiseNoConfigSection(const std::string& path) {
  throw KeepMessageText("The active configuration " + path + " has no [CONFIG] section.");
}

void RaiseMalformedLine(const std::string& path, int line, const std::string& text,
                        const std::string& reason) {
  std::string shown = text.size() > kLineShown ? text.substr(0, kLineShown) + "..." : text;
  throw KeepMessageText("The active configuration " + path + " is malformed: line " +
                        std::to_string(line) + " (" + shown + "): " + reason + ".");
}

void RaiseNoInstallationRoot(const char* problem) {
  throw KeepMessageText(std::string("Could not find the Korvane installation root: ") + problem);
}

void RaiseCannotReadRoot(LONG error) {
  throw KeepMessageText(std::string("Could not find the Korvane installation root: the value \"") +
                        kRootValue + "\" of HKEY_LOCAL_MACHINE\\" + kPathKey +
                        " cannot be read as a string (" +
                        ErrorCodeText(static_cast<DWORD>(error)) + ").");
}

void RaiseBadListenPort() {
  throw KeepMessageText(std::string("The value \"") + kListenPortValue +
                        "\" of HKEY_LOCAL_MACHINE\\" + kBootpKey +
                        " is not a REG_DWORD from 1 to 65535.");
}

void RaiseBadListenAddress() {
  throw KeepMessageText(std::string("The value \"") + kListenAddressValue +
                        "\" of HKEY_LOCAL_MACHINE\\" + kBootpKey +
                        " is not a dotted IPv4 address.");
}

std::string ServingText(const std::string& path, const std::vector<BootpBoard>& boards) {
  if (boards.empty()) return "Serving no boards from " + path + ".";
  std::string text = "Serving " + Boards(boards.size()) + " from " + path + ": ";
  size_t shown = boards.size() < kNamesShown ? boards.size() : kNamesShown;
  for (size_t i = 0; i < shown; ++i) {
    if (i) text += ", ";
    text += boards[i].name + " (" + boards[i].ipAddress + ")";
  }
  return text + MoreText(boards.size(), shown) + ".";
}

std::string NothingActiveYetText(const std::string& path) {
  return "No set has been activated yet (" + path +
         " does not exist): serving no boards until one is.";
}

std::string SilentResetText() {
  return std::string("A reset was requested and left unanswered: \"") + kSilentValue +
         "\" under HKEY_LOCAL_MACHINE\\" + kBootpKey + " is set.";
}

std::string KeptConfigurationText(const std::string& problem, size_t servedBefore) {
  if (servedBefore == 0) return problem + "  Serving no boards until a configuration can be read.";
  return problem + "  Still serving the " + Boards(servedBefore) +
         " of the previous configuration.";
}

std::string MissingListFilesText(const std::vector<const BootpBoard*>& boards) {
  std::string text = boards.size() == 1 ? "A board has no list file, so it cannot boot: "
                                        : Boards(boards.size()) +
                                              " have no list file, so they cannot boot: ";
  size_t shown = boards.size() < kNamesShown ? boards.size() : kNamesShown;
  for (size_t i = 0; i < shown; ++i) {
    if (i) text += ", ";
    text += boards[i]->name + " (" + boards[i]->listPath + ")";
  }
  return text + MoreText(boards.size(), shown) + ".";
}

std::string NoInstallationText(const std::string& problem) {
  return problem + "  The bootp server cannot read any configuration.";
}

std::string CannotCreateEventText(const char* name, DWORD error) {
  return std::string("The bootp server cannot start: could not create the event \"") + name +
         "\": " + ErrorCodeText(error) + ".";
}

std::string CannotCreateThreadText(DWORD error) {
  return "The bootp server cannot start: could not create its thread: " + ErrorCodeText(error) +
         ".";
}

std::string WaitFailedText(DWORD error) {
  return "The bootp server has stopped: waiting for a reset request failed: " +
         ErrorCodeText(error) + ".";
}

std::string ListeningText(const std::string& address, unsigned short port) {
  return "Answering boot requests on " + address + " port " + std::to_string(port) + ".";
}

std::string NotListeningText() {
  return std::string("No longer answering boot requests: \"") + kListenPortValue +
         "\" under HKEY_LOCAL_MACHINE\\" + kBootpKey + " is gone.";
}

std::string UnknownBoardText(const std::string& hardware, const std::string& sender) {
  return "A boot request for " + hardware + " from " + sender +
         " was not answered: no board of the active configuration has that hardware address.";
}

std::string UnknownBoardsNotReportedText(size_t reported) {
  return "Boot requests came for " + std::to_string(reported) +
         " unknown hardware addresses: no more are reported until the next reset.";
}

// The system often has no text for a Windows Sockets error; the ones an
// operator meets when choosing a port get one here.
std::string SocketErrorText(int error) {
  std::string number = "Windows Sockets error " + std::to_string(error);
  switch (error) {
    case WSAEADDRINUSE: return "another program uses that port (" + number + ")";
    case WSAEADDRNOTAVAIL: return "the address is not one of this machine's (" + number + ")";
    case WSAEACCES: return "access is denied (" + number + ")";
  }
  std::string text = SystemErrorText(static_cast<DWORD>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.'))
    text.pop_back();
  return text.empty() ? number : text + " (" + number + ")";
}

std::string CannotListenText(const std::string& address, unsigned short port, const char* step,
                             int error) {
  return "Boot requests are not answered: could not " + std::string(step) + " on " + address +
         " port " + std::to_string(port) + ": " + SocketErrorText(error) + ".";
}

std::string StoppedListeningText(int error) {
  return "Boot requests are no longer answered: receiving failed: " + SocketErrorText(error) +
         ".";
}

std::string NotAnsweringText(const std::string& problem) {
  return problem + "  Boot requests are not answered.";
}

std::string ListPathTooLongText(const std::vector<const BootpBoard*>& boards) {
  std::string text = boards.size() == 1
                         ? "A board gets no boot reply, since the path of its list file is "
                           "longer than 127 characters: "
                         : Boards(boards.size()) +
                               " get no boot reply, since the paths of their list files are "
                               "longer than 127 characters: ";
  size_t shown = boards.size() < kNamesShown ? boards.size() : kNamesShown;
  for (size_t i = 0; i < shown; ++i) {
    if (i) text += ", ";
    text += boards[i]->name + " (" + boards[i]->listPath + ")";
  }
  return text + MoreText(boards.size(), shown) + ".";
}
