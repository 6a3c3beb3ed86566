// The error log against the real database server: every record is written by QRBDAOServer.exe in
// its own process and read back here straight from the SQLite file it keeps.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"
#include "errorlog/ErrorLog.h"
#include "QRBDaoClasses.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new DaoServerEnvironment(500));
DaoServerSettingsScope*& settings = DaoServerEnvironment::settings;

// "size|message" of each record, in order.
std::vector<std::string> Records(const std::string& directory = settings->Directory()) {
  return StoredColumn(DaoDatabasePath(directory, "QRB Errors"),
                      "SELECT \"Error Message Size\" || '|' || CAST(\"Error Message\" AS TEXT)"
                      " FROM \"QRB Errors\" ORDER BY rowid");
}

bool LogLockIsFree() {
  UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kErrorLogLockName));
  const DWORD result = lock ? WaitForSingleObject(lock.get(), 0) : WAIT_FAILED;
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(lock.get());  // give the turn back
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

// The fallback file's last line: the local time to the millisecond, a space, the text.
void ExpectLastFallbackLine(const std::string& text) {
  std::ifstream file(ErrorLogFallbackPath(), std::ios::binary);
  std::string line, last;
  while (std::getline(file, line)) last = line;
  int y, mo, d, h, mi, s, ms;
  EXPECT_EQ(7, std::sscanf(last.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d ", &y, &mo, &d, &h, &mi, &s, &ms)) << last;
  EXPECT_EQ(text + "\r", last.substr(std::min<size_t>(24, last.size()))) << last;
}

// Logs text on a thread of its own; a call that does not return within 30 s fails the run at once
// instead of hanging it. Returns the result and how long the call took.
std::pair<int, ULONGLONG> TimedLog(const char* text) {
  const ULONGLONG start = GetTickCount64();
  std::future<int> result = std::async(std::launch::async, LogErrorToDatabase, text);
  if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::printf("FAILED: logging \"%s\" did not return within 30 s\n", text);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return {result.get(), GetTickCount64() - start};
}

// Another process that takes the log's turn and keeps it until it is killed, as a writer that
// hangs, or dies, inside its write.
struct TurnHolder {
  UniqueHandle process;
  TurnHolder() {
    const std::string name = "ErrorLogTurnHeld-" + std::to_string(GetCurrentProcessId());
    UniqueHandle held(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    std::string command = "\"" + ProgramDirectory() + "\\errorlog_lock_holder.exe\" " + name;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started));
    CloseHandle(started.hThread);
    process.reset(started.hProcess);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.get(), 30000)) << "the holder never took the turn";
  }
  ~TurnHolder() { Kill(); }
  void Kill() {
    if (process && TerminateProcess(process.get(), 1)) WaitForSingleObject(process.get(), 10000);
    process.reset();
  }
};

TEST(ErrorLog, TheFirstErrorMakesTheTableAndEveryTextIsStoredAsItsBytes) {
  EXPECT_EQ(1, LogErrorToDatabase("first"));  // makes the database and the table
  EXPECT_EQ(1, LogErrorToDatabase(std::string(40000, 'x').c_str()));  // cut to what a 16-bit size can say
  EXPECT_EQ(0, LogErrorToDatabase(nullptr));
  EXPECT_EQ((std::vector<std::string>{"5|first", "32767|" + std::string(32767, 'x')}), Records());
  // Local time to the whole second, the milliseconds apart.
  EXPECT_EQ((std::vector<std::string>{"2"}),
            StoredColumn(DaoDatabasePath(settings->Directory(), "QRB Errors"),
                         "SELECT count(*) FROM \"QRB Errors\" WHERE Milliseconds BETWEEN 0 AND 999 AND \"Date/Time\""
                         " BETWEEN datetime('now', 'localtime', '-60 seconds') AND datetime('now', 'localtime')"));
}

TEST(ErrorLog, AWriterKilledWhileHoldingTheTurnBlocksNoLaterWriter) {
  TurnHolder().Kill();
  // A database server that is ending as the next client comes can refuse it; a fresh start keeps
  // that apart from what is tested here.
  ASSERT_TRUE(WaitForNoDaoServer(15000));
  EXPECT_EQ(1, TimedLog("after the holder died").first);
  EXPECT_EQ("21|after the holder died", Records().back());
  EXPECT_TRUE(LogLockIsFree());
}

TEST(ErrorLog, WhatCannotBeStoredInTimeGoesToTheFallbackFile) {
  ASSERT_EQ(1, LogErrorToDatabase("before the holder"));
  const size_t before = Records().size();
  {
    SetErrorLogWaits(1000, 20000);
    TurnHolder holder;  // alive, and never done
    const auto [result, took] = TimedLog("no turn in time");
    EXPECT_EQ(0, result);
    EXPECT_TRUE(took >= 900 && took < 10000) << took;
    ExpectLastFallbackLine("no turn in time");
  }
  EXPECT_EQ(before, Records().size());
  // Another program holds the file's write lock: the server's insert waits its busy time-out for it,
  // longer than the caller does.
  sqlite3* holder = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(DaoDatabasePath(settings->Directory(), "QRB Errors").c_str(), &holder));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
  SetErrorLogWaits(10000, 2000);
  const auto [result, took] = TimedLog("unanswered");
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  SetErrorLogWaits(10000, 20000);
  EXPECT_EQ(0, result);
  EXPECT_TRUE(took >= 1900 && took < 10000) << took;
  ExpectLastFallbackLine("unanswered");
  // The write that was under way lands once the file is free: the text is then in both places,
  // never in none.
  for (int i = 0; i < 400 && !LogLockIsFree(); ++i) Sleep(100);
  EXPECT_EQ("10|unanswered", Records().back());
  ASSERT_TRUE(WaitForNoDaoServer(15000));
  EXPECT_EQ(1, LogErrorToDatabase("answered again"));
}

TEST(ErrorLog, TheTranslatingFrameLogsThroughTheInstalledLogInsteadOfAMessageBox) {
  static std::atomic<int> shown{0};
  SetExceptionShower([](const char*) { ++shown; });
  InstallErrorLog();
  EXPECT_FALSE(RunInTranslatingFrame([] { throw 42; }));
  EXPECT_EQ(0, shown.load());  // stored, so no "EXCEPTION" box
  EXPECT_EQ("55|Caught an unknown exception in CFactory::CreateInstance", Records().back());
  SetErrorLogger(nullptr);
  SetExceptionShower(nullptr);
}

TEST(ErrorLog, ADatabaseLeftWithoutItsTableGetsTheTableBack) {
  DaoServerSettingsScope elsewhere(500);
  DaoDatabase().Create("QRB Errors");  // a first write cut short after the database, before the table
  EXPECT_EQ(1, LogErrorToDatabase("the table is made again"));
  EXPECT_EQ(1, LogErrorToDatabase("and then only opened"));
  EXPECT_EQ((std::vector<std::string>{"23|the table is made again", "20|and then only opened"}),
            Records(elsewhere.Directory()));
  EXPECT_TRUE(LogLockIsFree());
}

TEST(ErrorLog, WithoutTheDatabaseServerTheTextGoesToTheFallbackFileAndTheLockIsFreeAgain) {
  ASSERT_TRUE(WaitForNoDaoServer(10000));  // a server that still lingers would take the call
  const size_t before = Records().size();
  UnregisterDaoServer();
  const int result = LogErrorToDatabase("kept beside the database");
  const bool free = LogLockIsFree();
  // What the log ran into: a connection that cannot be made, reported without any server text.
  const std::string database = Raised([] { DaoDatabase database; });
  const std::string workspace = Raised([] { DaoWorkspace workspace; });
  RegisterDaoServer();
  EXPECT_EQ(0, result);
  EXPECT_TRUE(free);
  ExpectLastFallbackLine("kept beside the database");
  EXPECT_EQ(0u, database.find("Failed to initialize a database object.")) << database;
  EXPECT_EQ(0u, workspace.find("Failed to initialize a database workspace.")) << workspace;
  EXPECT_EQ(before, Records().size());
  EXPECT_EQ(1, LogErrorToDatabase("back again"));
  EXPECT_EQ("10|back again", Records().back());
}

}  // namespace
