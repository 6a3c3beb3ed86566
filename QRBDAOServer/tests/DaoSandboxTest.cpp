// What a client's SQL cannot do to the database server: leave its database,
// change the server's bookkeeping, run forever, hold the file against the
// error log's writers, or grow the server without bound.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DaoStore.h"
#include "DaoTestSupport.h"

namespace {

const char kNothing[] = "(nothing raised)";

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// The file as any SQLite program sees it.
std::vector<std::string> Column(const std::string& path, const std::string& sql) {
  std::vector<std::string> values;
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr)) << sql;
  while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    values.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return values;
}

// Runs a client's SQL text as a client would: executed, or opened as a
// record set when it returns records. Returns what was raised.
std::string RunClientSql(DaoSession& session, const std::string& sql) {
  DaoHandle query = 0;
  std::string text = Raised([&] { query = session.QueryDefCreate("", sql); });
  if (text != kNothing) return text;
  text = Raised([&] { session.QueryDefExecute(query, 0); });
  if (text.find("is a select query") != std::string::npos)
    text = Raised([&] { session.RecordSetClose(session.RecordSetQueryDefOpen(query, kDaoOpenSnapshot, 0)); });
  session.QueryDefClose(query);
  return text;
}

// Adds one record with the given id through a table record set.
void AddItem(DaoSession& session, long id) {
  const DaoHandle table = session.TableOpen("Items");
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  session.AddNew(rs);
  session.SetFieldValue(rs, 0, Long(id));
  session.Update(rs);
  session.RecordSetClose(rs);
  session.TableClose(table);
}

// Calls body on a thread and waits at most timeoutMs for it. A body that
// never returns fails the whole run at once, instead of hanging it.
void FinishesWithin(DWORD timeoutMs, const std::function<void()>& body, const char* what) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([&] {
    body();
    SetEvent(done);
  });
  if (WaitForSingleObject(done, timeoutMs) != WAIT_OBJECT_0) {
    std::printf("FAILED: %s did not end within %lu ms\n", what, timeoutMs);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  worker.join();
  CloseHandle(done);
}

class DaoSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_ = MakeTempDirectory("daosandbox"); }
  void TearDown() override { RemoveDirectoryTree(directory_); }

  // Database "Shop" with a table "Items" (Id Long, Name Text) of ids
  // 1..rows and one stored query "Cheap".
  void MakeShop(DaoSession& session, int rows) {
    session.DatabaseCreate("Shop");
    const DaoHandle table = session.TableCreate("Items");
    session.CreateField(table, "Id", kDaoLong, 0, 0);
    session.CreateField(table, "Name", kDaoText, 10, 0);
    session.TableAppend(table);
    session.TableClose(table);
    for (long id = 1; id <= rows; ++id) AddItem(session, id);
    const DaoHandle query = session.QueryDefCreate("Cheap", "SELECT Id FROM Items WHERE Id < 3");
    session.QueryDefAppend(query);
    session.QueryDefClose(query);
  }

  std::string Shop() { return DaoDatabasePath(directory_, "Shop"); }

  std::string directory_;
};

TEST_F(DaoSandboxTest, EveryEscapeIsRefusedWithItsReason) {
  DaoSession session(directory_);
  MakeShop(session, 3);
  const std::string copy = directory_ + "\\copy.db";
  // SQLite reads a view's tables only when the view is used: made it may
  // be, used it may not.
  EXPECT_EQ(kNothing, RunClientSql(session, "CREATE VIEW peek AS SELECT * FROM korvane_fielddefs"));
  struct Escape {
    std::string sql;
    const char* reason;
  };
  const Escape escapes[] = {
      {"VACUUM INTO '" + copy + "'", "VACUUM is not allowed in a query"},
      {"/* tidy up */ vacuum main\n into '" + copy + "'", "VACUUM is not allowed in a query"},
      {"EXPLAIN VACUUM", "VACUUM is not allowed in a query"},
      {"ATTACH DATABASE '" + copy + "' AS other", "ATTACH and DETACH are not allowed"},
      {"PRAGMA writable_schema = ON", "PRAGMA statements are not allowed"},
      {"PRAGMA journal_mode = DELETE", "PRAGMA statements are not allowed"},
      {"SELECT name FROM pragma_table_info('Items')", "PRAGMA statements are not allowed"},
      {"CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN DELETE FROM Items; END",
       "triggers cannot be created"},
      {"CREATE TEMP TRIGGER spoil AFTER INSERT ON Items BEGIN SELECT 1; END",
       "triggers cannot be created"},
      {"CREATE TEMP TABLE korvane_querydefs (name, sql)", "temporary tables"},
      {"CREATE TEMP VIEW Items AS SELECT 1 AS Id", "temporary tables"},
      {"SELECT sql FROM korvane_querydefs", "the server's own tables are out of a query's reach"},
      {"SELECT * FROM peek", "out of a query's reach"},
      {"UPDATE korvane_fielddefs SET type = 1", "out of a query's reach"},
      {"INSERT INTO korvane_querydefs VALUES ('x', 'y')", "out of a query's reach"},
      {"DROP TABLE korvane_fielddefs", "out of a query's reach"},
      {"ALTER TABLE korvane_querydefs RENAME TO mine", "out of a query's reach"},
      {"CREATE INDEX snoop ON korvane_querydefs (sql)", "out of a query's reach"},
      {"BEGIN IMMEDIATE", "every query runs in a transaction of its own"},
      {"SAVEPOINT hold", "every query runs in a transaction of its own"},
  };
  for (const Escape& escape : escapes) {
    const std::string text = RunClientSql(session, escape.sql);
    EXPECT_NE(std::string::npos, text.find(escape.reason)) << escape.sql << "\n  gave: " << text;
    EXPECT_EQ(std::string::npos, text.find("not authorized")) << "a refusal without its reason: " << text;
  }
  // Nothing of it happened: no copy, no trigger, bookkeeping whole, the
  // server's own writes and reads still work, the journal is untouched.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));
  AddItem(session, 4);
  EXPECT_EQ((std::vector<std::string>{"4"}), Column(Shop(), "SELECT count(*) FROM Items"));
  EXPECT_EQ((std::vector<std::string>{"Cheap"}), Column(Shop(), "SELECT name FROM korvane_querydefs"));
  EXPECT_EQ((std::vector<std::string>{"2"}), Column(Shop(), "SELECT count(*) FROM korvane_fielddefs"));
  EXPECT_EQ((std::vector<std::string>{"peek"}),
            Column(Shop(), "SELECT name FROM sqlite_master WHERE type IN ('trigger', 'view')"));
  EXPECT_EQ(kNothing, RunClientSql(session, "SELECT Id FROM Items WHERE Name IS NULL"));
  EXPECT_EQ(kNothing, RunClientSql(session, "CREATE VIEW Small AS SELECT Id FROM Items WHERE Id < 3"));
  EXPECT_EQ((std::vector<std::string>{"wal"}), Column(Shop(), "PRAGMA journal_mode"));
}

TEST_F(DaoSandboxTest, TriggersMadeElsewhereNeverFireInsideTheServersStatements) {
  {
    DaoSession session(directory_);
    MakeShop(session, 1);
  }
  // Made with another SQLite program, where nothing stops it.
  Column(Shop(),
         "CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN"
         " UPDATE korvane_querydefs SET sql = 'DELETE FROM Items'; END");
  DaoSession session(directory_);
  session.DatabaseOpen("Shop");
  AddItem(session, 2);
  EXPECT_EQ((std::vector<std::string>{"SELECT Id FROM Items WHERE Id < 3"}),
            Column(Shop(), "SELECT sql FROM korvane_querydefs"));
}

TEST_F(DaoSandboxTest, ARunawayQueryEndsAtItsDeadlineAndNeverHoldsOffTheWriters) {
  DaoLimits limits;
  limits.statementMs = 1500;
  DaoSession runaway(directory_, limits);
  MakeShop(runaway, 3);
  // Reads Items, so it holds a read transaction on the file while it runs.
  const DaoHandle forever = runaway.QueryDefCreate(
      "Forever",
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n)"
      " SELECT count(*) FROM n, (SELECT max(Id) FROM Items)");
  DaoSession writer(directory_);
  writer.DatabaseOpen("Shop");

  std::string text;
  HANDLE ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD writeReturnedWhileRunning = 0;
  const ULONGLONG start = GetTickCount64();
  FinishesWithin(
      60000,
      [&] {
        std::thread reader([&] {
          text = Raised([&] { runaway.RecordSetQueryDefOpen(forever, kDaoOpenSnapshot, 0); });
          SetEvent(ended);
        });
        Sleep(300);
        AddItem(writer, 10);  // a writer while the reader runs
        writeReturnedWhileRunning = WaitForSingleObject(ended, 0) == WAIT_TIMEOUT;
        reader.join();
      },
      "a query without end");
  const ULONGLONG elapsed = GetTickCount64() - start;
  CloseHandle(ended);
  EXPECT_EQ("Query \"Forever\" failed: it ran longer than 1500 ms, the longest one statement may"
            " run.",
            text);
  EXPECT_GE(elapsed, 1400u);
  EXPECT_LT(elapsed, 15000u);
  EXPECT_TRUE(writeReturnedWhileRunning) << "the writer waited for the reader to end";

  // A runaway write ends the same way, leaves nothing behind and releases
  // the file at once; the connection goes on working.
  const std::string writeText = RunClientSql(
      runaway,
      "INSERT INTO Items (Id) WITH RECURSIVE n(i) AS (SELECT 100 UNION ALL SELECT i + 1 FROM n)"
      " SELECT i FROM n");
  EXPECT_NE(std::string::npos, writeText.find("it ran longer than 1500 ms")) << writeText;
  AddItem(writer, 11);
  EXPECT_EQ((std::vector<std::string>{"5"}), Column(Shop(), "SELECT count(*) FROM Items"));
  EXPECT_EQ(kNothing, RunClientSql(runaway, "SELECT count(*) FROM Items"));
}

TEST_F(DaoSandboxTest, RecordSetsAndHandlesHaveCeilings) {
  DaoLimits limits;
  limits.recordSetRows = 5;
  limits.handles = 4;
  DaoSession session(directory_, limits);
  MakeShop(session, 5);
  const DaoHandle five = session.QueryDefCreate("", "SELECT Id FROM Items");
  const DaoHandle rs = session.RecordSetQueryDefOpen(five, kDaoOpenSnapshot, 0);
  const DaoHandle six = session.QueryDefCreate("Six", "SELECT Id FROM Items UNION ALL SELECT 6");
  EXPECT_EQ("Query \"Six\" returns more than 5 records, the most a record set holds; narrow it"
            " with WHERE or LIMIT.",
            Raised([&] { session.RecordSetQueryDefOpen(six, kDaoOpenSnapshot, 0); }));
  // Three handles open; one more fits, then every kind of opening stops.
  const DaoHandle table = session.TableOpen("Items");
  const char* full =
      "This connection already holds 4 open tables, record sets and queries, the most one"
      " connection may hold: close some before opening more.";
  EXPECT_EQ(full, Raised([&] { session.TableOpen("Items"); }));
  EXPECT_EQ(full, Raised([&] { session.TableCreate("More"); }));
  EXPECT_EQ(full, Raised([&] { session.QueryDefOpen("Cheap"); }));
  EXPECT_EQ(full, Raised([&] { session.QueryDefCreate("", "SELECT 1"); }));
  EXPECT_EQ(full, Raised([&] { session.RecordSetTableOpen(table, kDaoOpenTable, 0); }));
  EXPECT_EQ(full, Raised([&] { session.RecordSetQueryDefOpen(five, kDaoOpenSnapshot, 0); }));
  session.RecordSetClose(rs);
  session.RecordSetClose(session.RecordSetTableOpen(table, kDaoOpenTable, 0));
}

}  // namespace
