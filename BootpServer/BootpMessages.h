// Every text the bootp server component raises or sends through its events,
// composed in one place so that each kind reads the same wherever it comes
// from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct BootpBoard;

// Reading active.ini.
[[noreturn]] void RaiseCannotRead(const std::string& path, DWORD error);
[[noreturn]] void RaiseTooLarge(const std::string& path);
[[noreturn]] void RaiseNoConfigSection(const std::string& path);
[[noreturn]] void RaiseMalformedLine(const std::string& path, int line, const std::string& text,
                                     const std::string& reason);

// Reading the installation settings.
[[noreturn]] void RaiseNoInstallationRoot(const char* problem);
[[noreturn]] void RaiseCannotReadRoot(LONG error);
[[noreturn]] void RaiseBadListenPort();
[[noreturn]] void RaiseBadListenAddress();

// "Info": what is served now.
std::string ServingText(const std::string& path, const std::vector<BootpBoard>& boards);
// "Info": the first start of an installation, before any set change.
std::string NothingActiveYetText(const std::string& path);
// "Info": a reset that silent mode leaves unanswered.
std::string SilentResetText();

// "NonFatalError": a configuration that could not be read (problem is the
// raised text); servedBefore is what the server goes on serving.
std::string KeptConfigurationText(const std::string& problem, size_t servedBefore);
// "NonFatalError": boards whose list file is not on disk.
std::string MissingListFilesText(const std::vector<const BootpBoard*>& boards);

// "FatalError".
std::string NoInstallationText(const std::string& problem);
std::string CannotCreateEventText(const char* name, DWORD error);
std::string CannotCreateThreadText(DWORD error);
std::string WaitFailedText(DWORD error);

// Answering boot requests. address and port say where it listens.
// "Info": listening, and no longer listening (the settings say so now).
std::string ListeningText(const std::string& address, unsigned short port);
std::string NotListeningText();
// "Info": a request that no board of the configuration matches; the hardware
// address as twelve hex digits, the sender as "a.b.c.d port n". After
// BootResponder::kUnknownReported addresses one text says no more follow.
std::string UnknownBoardText(const std::string& hardware, const std::string& sender);
std::string UnknownBoardsNotReportedText(size_t reported);
// "NonFatalError": the socket cannot be opened or bound, or stopped working,
// or the settings are unusable (problem is the raised text); resets are
// still answered.
std::string CannotListenText(const std::string& address, unsigned short port, const char* step,
                             int error);
std::string StoppedListeningText(int error);
std::string NotAnsweringText(const std::string& problem);
// "NonFatalError": boards that get no reply because their list file's path
// does not fit the reply's 128-byte file field.
std::string ListPathTooLongText(const std::vector<const BootpBoard*>& boards);

// The system's text for an error code, without its line end, or the number.
std::string ErrorCodeText(DWORD error);
