// The error log against the real database server: every record is written
// by QRBDAOServer.exe in its own process and read back here straight from
// the SQLite file it keeps.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"
#include "errorlog/ErrorLog.h"
#include "QRBDaoClasses.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    RegisterDaoServer();
    settings = new DaoServerSettingsScope(500);
  }
  void TearDown() override {
    WaitForNoDaoServer(10000);
    delete settings;
    CoUninitialize();
  }
  static DaoServerSettingsScope* settings;
};
DaoServerSettingsScope* ServerEnvironment::settings = nullptr;
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

struct Record {
  std::string dateTime;
  int milliseconds;
  int size;
  std::string blobType;
  std::string message;
};

std::string ErrorFile(const std::string& directory) {
  return DaoDatabasePath(directory, "QRB Errors");
}

// Rows of a query, each column as text.
std::vector<std::vector<std::string>> Rows(const std::string& file, const char* sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr)) << sqlite3_errmsg(db);
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, i));
      row.emplace_back(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::vector<Record> Records() {
  std::vector<Record> records;
  for (const auto& row : Rows(ErrorFile(ServerEnvironment::settings->Directory()),
                              "SELECT \"Date/Time\", \"Milliseconds\", \"Error Message Size\","
                              " typeof(\"Error Message\"), \"Error Message\""
                              " FROM \"QRB Errors\" ORDER BY rowid"))
    records.push_back({row[0], std::stoi(row[1]), std::stoi(row[2]), row[3], row[4]});
  return records;
}

bool LogLockIsFree() {
  UniqueHandle lock(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kErrorLogLockName));
  if (!lock) return false;
  const DWORD result = WaitForSingleObject(lock.get(), 0);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
  ReleaseMutex(lock.get());  // give the turn back
  return true;
}

// The last line of the fallback file, or "" when there is none.
std::string LastFallbackLine() {
  FILE* file = std::fopen(ErrorLogFallbackPath().c_str(), "rb");
  if (!file) return "";
  std::string all;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) all.append(buffer, n);
  std::fclose(file);
  if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\n") == 0) all.resize(all.size() - 2);
  const size_t start = all.rfind("\r\n");
  return start == std::string::npos ? all : all.substr(start + 2);
}

// A fallback line: the local time to the millisecond, a space, the text.
void ExpectFallbackLine(const std::string& line, const std::string& text) {
  ASSERT_GT(line.size(), 24u) << line;
  EXPECT_EQ(text, line.substr(24));
  int y, mo, d, h, mi, s, ms;
  EXPECT_EQ(7, std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms))
      << line;
}

// Calls body; a body that does not return within timeoutMs fails the run
// at once instead of hanging it.
void ReturnsWithin(DWORD timeoutMs, const std::function<void()>& body, const char* what) {
  UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::thread worker([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    body();
    CoUninitialize();
    SetEvent(done.get());
  });
  if (WaitForSingleObject(done.get(), timeoutMs) != WAIT_OBJECT_0) {
    std::printf("FAILED: %s did not return within %lu ms\n", what, timeoutMs);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  worker.join();
}

// Another process that takes the log's turn and keeps it until it is
// killed, as a writer that hangs or dies inside its write.
class TurnHolder {
 public:
  TurnHolder() {
    const std::string name = "ErrorLogTurnHeld-" + std::to_string(GetCurrentProcessId());
    held_.reset(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    std::string command = "\"" + ProgramDirectory() + "\\errorlog_lock_holder.exe\" " + name;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &started));
    CloseHandle(started.hThread);
    process_.reset(started.hProcess);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held_.get(), 30000)) << "the holder never took the turn";
  }
  ~TurnHolder() { Kill(); }
  void Kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
    process_.reset();
  }

 private:
  UniqueHandle held_;
  UniqueHandle process_;
};

std::string LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond);
  return text;
}

TEST(ErrorLog, TheFirstErrorMakesTheDatabaseAndTableTheSecondOnlyOpensThem) {
  const std::string file = ErrorFile(ServerEnvironment::settings->Directory());
  ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
  const std::string before = LocalNow();
  EXPECT_EQ(1, LogErrorToDatabase("first"));
  const std::string after = LocalNow();
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));

  const std::vector<std::vector<std::string>> fields = {
      {"0", "Date/Time", "8", "8", "0"},
      {"1", "Milliseconds", "3", "2", "0"},
      {"2", "Error Message Size", "3", "2", "0"},
      {"3", "Error Message", "11", "0", "0"}};
  const char* describe =
      "SELECT c.cid, c.name, d.type, d.size, d.attributes FROM pragma_table_info('QRB Errors') c"
      " JOIN korvane_fielddefs d ON d.table_name = 'QRB Errors' AND d.field_name = c.name"
      " ORDER BY c.cid";
  EXPECT_EQ(fields, Rows(file, describe));

  EXPECT_EQ(1, LogErrorToDatabase("second"));
  EXPECT_EQ(fields, Rows(file, describe));
  const std::vector<Record> records = Records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("first", records[0].message);
  EXPECT_EQ("second", records[1].message);
  // Local time to the whole second; the milliseconds apart.
  EXPECT_EQ(19u, records[0].dateTime.size()) << records[0].dateTime;
  EXPECT_LE(before, records[0].dateTime);
  EXPECT_GE(after, records[0].dateTime);
  EXPECT_LE(records[0].dateTime, records[1].dateTime);
  for (const Record& record : records) {
    EXPECT_GE(record.milliseconds, 0);
    EXPECT_LE(record.milliseconds, 999);
  }
}

TEST(ErrorLog, TextsAreStoredAsTheirBytesWithoutTheNul) {
  const std::string twenty = "twenty characters...";
  ASSERT_EQ(20u, twenty.size());
  EXPECT_EQ(1, LogErrorToDatabase(twenty.c_str()));
  EXPECT_EQ(1, LogErrorToDatabase(""));
  const std::string longText(40000, 'x');
  EXPECT_EQ(1, LogErrorToDatabase(longText.c_str()));
  EXPECT_EQ(0, LogErrorToDatabase(nullptr));

  const std::vector<Record> records = Records();
  ASSERT_GE(records.size(), 3u);
  const Record& stored = records[records.size() - 3];
  EXPECT_EQ(20, stored.size);
  EXPECT_EQ("blob", stored.blobType);
  EXPECT_EQ(twenty, stored.message);  // exactly 20 bytes, no NUL
  const Record& empty = records[records.size() - 2];
  EXPECT_EQ(0, empty.size);
  EXPECT_EQ("blob", empty.blobType);  // an empty array, not a null
  EXPECT_EQ("", empty.message);
  // Cut to what the signed 16-bit size can say.
  const Record& cut = records.back();
  EXPECT_EQ(32767, cut.size);
  EXPECT_EQ(std::string(32767, 'x'), cut.message);
}

TEST(ErrorLog, TwoThreadsLoggingAtOnceGiveTwoCompleteRecords) {
  const size_t before = Records().size();
  std::atomic<bool> go{false};
  int results[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      while (!go) Sleep(0);
      results[i] = LogErrorToDatabase(i ? "from thread one" : "from thread zero");
    });
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, results[0]);
  EXPECT_EQ(1, results[1]);
  const std::vector<Record> records = Records();
  ASSERT_EQ(before + 2, records.size());
  std::vector<std::string> messages = {records[before].message, records[before + 1].message};
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ((std::vector<std::string>{"from thread one", "from thread zero"}), messages);
  for (size_t i = before; i < records.size(); ++i)
    EXPECT_EQ(static_cast<int>(records[i].message.size()), records[i].size);
  EXPECT_TRUE(LogLockIsFree());
}

TEST(ErrorLog, AWriterKilledWhileHoldingTheTurnBlocksNoLaterWriter) {
  TurnHolder holder;
  holder.Kill();
  // A database server that is ending as the next client comes can refuse
  // it; a fresh start keeps that apart from what is tested here.
  ASSERT_TRUE(WaitForNoDaoServer(15000));
  int result = -1;
  ReturnsWithin(30000, [&] { result = LogErrorToDatabase("after the holder died"); },
                "a log after a killed holder");
  EXPECT_EQ(1, result);
  EXPECT_EQ("after the holder died", Records().back().message);
  EXPECT_TRUE(LogLockIsFree());
}

TEST(ErrorLog, WhenTheTurnDoesNotComeInTimeTheTextGoesToTheFallbackFile) {
  ASSERT_EQ(1, LogErrorToDatabase("before the holder"));
  const size_t before = Records().size();
  SetErrorLogWaits(1000, 20000);
  TurnHolder holder;  // alive, and never done
  int result = -1;
  const ULONGLONG start = GetTickCount64();
  ReturnsWithin(30000, [&] { result = LogErrorToDatabase("no turn in time"); }, "a log without its turn");
  const ULONGLONG took = GetTickCount64() - start;
  holder.Kill();
  SetErrorLogWaits(10000, 20000);
  EXPECT_EQ(0, result);
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 10000u);
  ExpectFallbackLine(LastFallbackLine(), "no turn in time");
  EXPECT_EQ(before, Records().size());
  ASSERT_TRUE(WaitForNoDaoServer(15000));
  EXPECT_EQ(1, LogErrorToDatabase("after the holder"));
}

TEST(ErrorLog, TheCallerGoesOnWhenTheDatabaseServerDoesNotAnswerInTime) {
  ASSERT_EQ(1, LogErrorToDatabase("before the file was held"));
  // Another program holds the file's write lock: the server's insert waits
  // its busy time-out of 30 s for it.
  sqlite3* holder = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(ErrorFile(ServerEnvironment::settings->Directory()).c_str(), &holder));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
  SetErrorLogWaits(10000, 2000);
  int result = -1;
  const ULONGLONG start = GetTickCount64();
  ReturnsWithin(30000, [&] { result = LogErrorToDatabase("unanswered"); }, "a log the server does not answer");
  const ULONGLONG took = GetTickCount64() - start;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  SetErrorLogWaits(10000, 20000);
  EXPECT_EQ(0, result);
  EXPECT_GE(took, 1900u);
  EXPECT_LT(took, 10000u);
  ExpectFallbackLine(LastFallbackLine(), "unanswered");
  // The write that was under way lands once the file is free: the text is
  // then in both places, never in none.
  for (int i = 0; i < 400 && !LogLockIsFree(); ++i) Sleep(100);
  EXPECT_EQ("unanswered", Records().back().message);
  ASSERT_TRUE(WaitForNoDaoServer(15000));
  EXPECT_EQ(1, LogErrorToDatabase("answered again"));
}

TEST(ErrorLog, TheTranslatingFrameLogsThroughTheInstalledLog) {
  static std::atomic<int> shown{0};
  SetExceptionShower([](const char*) { ++shown; });
  InstallErrorLog();
  EXPECT_EQ(&LogErrorToDatabase, GetErrorLogger());
  EXPECT_FALSE(RunInTranslatingFrame([] { throw 42; }));
  EXPECT_EQ(0, shown.load());  // stored, so no message box
  EXPECT_EQ("Caught an unknown exception in CFactory::CreateInstance", Records().back().message);
  SetErrorLogger(nullptr);
  SetExceptionShower(nullptr);
}

TEST(ErrorLog, ADatabaseLeftWithoutItsTableGetsTheTableBack) {
  DaoServerSettingsScope elsewhere(500);
  {
    // A first write cut short after the database, before the table.
    DaoDatabase database;
    database.Create("QRB Errors");
  }
  EXPECT_EQ(1, LogErrorToDatabase("the table is made again"));
  EXPECT_EQ(1, LogErrorToDatabase("and then only opened"));
  const std::vector<std::vector<std::string>> messages =
      Rows(ErrorFile(elsewhere.Directory()), "SELECT \"Error Message\" FROM \"QRB Errors\" ORDER BY rowid");
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"the table is made again"}, {"and then only opened"}}),
            messages);
  EXPECT_TRUE(LogLockIsFree());
}

TEST(ErrorLog, WithoutTheDatabaseServerTheTextGoesToTheFallbackFileAndTheLockIsFreeAgain) {
  // A server that still lingers would take the call: let it go first.
  ASSERT_TRUE(WaitForNoDaoServer(10000));
  const size_t before = Records().size();
  UnregisterDaoServer();
  const int result = LogErrorToDatabase("kept beside the database");
  const bool free = LogLockIsFree();
  const std::string fallback = LastFallbackLine();
  // What the log ran into: a connection that cannot be made, reported
  // without any server text.
  const std::string database = Raised([] { DaoDatabase database; });
  const std::string workspace = Raised([] { DaoWorkspace workspace; });
  RegisterDaoServer();
  EXPECT_EQ(0, result);
  EXPECT_TRUE(free);
  ExpectFallbackLine(fallback, "kept beside the database");
  ExpectAssertion(database, "Failed to initialize a database object.", "SUCCEEDED(hr)");
  ExpectAssertion(workspace, "Failed to initialize a database workspace.", "SUCCEEDED(hr)");
  EXPECT_EQ(before, Records().size());
  EXPECT_EQ(1, LogErrorToDatabase("back again"));
  EXPECT_EQ("back again", Records().back().message);
}

}  // namespace
