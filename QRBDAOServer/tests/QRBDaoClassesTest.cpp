// The access layer. Its checks and messages run against an in-process server object; one round
// trip, the limits from the server's key and its shutdown delay run against QRBDAOServer.exe,
// started by COM in its own process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DaoServerObject.h"
#include "DaoTestSupport.h"
#include "QRBDaoClasses.h"

namespace {

constexpr DWORD kShutdownDelayMs = 500;
const auto* const environment = ::testing::AddGlobalTestEnvironment(new DaoServerEnvironment(kShutdownDelayMs));
DaoServerSettingsScope*& settings = DaoServerEnvironment::settings;

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// What a call raised: the layer's message (none for a plain check) and, after it, the end of the
// server's own text (none for a check made before any call).
void ExpectRaised(const std::function<void()>& call, const char* message, const std::string& serverEnd = "") {
  const std::string text = Raised(call);
  EXPECT_EQ(0u, text.find(message ? message : "Condition (")) << text;
  if (serverEnd.empty())
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text.back()))) << "a server text in: " << text;
  else
    EXPECT_EQ(serverEnd, text.substr(text.size() - std::min(text.size(), serverEnd.size()))) << text;
}

// A database with a table "T" of a Long "Id" and a Text(5) "Code".
void MakeTable(DaoDatabase& db, const char* name) {
  db.Create(name);
  DaoTable table(&db);
  table.Create("T");
  table.CreateField("Id", 4, 4, 0);
  table.CreateField("Code", 10, 5, 0);
  table.Append();
}

// An in-process server object over a database directory of its own.
struct Connection {
  std::string directory = MakeTempDirectory("daoclasses");
  IQRBDAO* dao = nullptr;
  Connection() { CreateDaoServerObject(directory, DaoLimits{}, IID_IQRBDAO, reinterpret_cast<void**>(&dao)); }
  ~Connection() { dao->Release(), RemoveDirectoryTree(directory); }
};

TEST(QRBDaoClasses, ARoundTripThroughTheServerProcess) {
  {
    DaoDatabase db;
    EXPECT_FALSE(db.Exists("Shop"));
    MakeTable(db, "Shop");
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((settings->Directory() + "\\Shop.db").c_str()));
    EXPECT_EQ("T", db.GetTableDefName(0));
    DaoTable table(&db);
    table.Open("T");
    DaoRecordSet records(&db);
    records.Open(&table, 1, 0);
    for (long id = 1; id <= 3; ++id) {
      records.AddNew();
      records.SetFieldValue(0, Long(id));
      records.SetFieldValue(1, "c");
      records.Update();
    }
    DaoQuery query(&db);
    query.Create("Odd", "SELECT * FROM T WHERE Id % 2 = 1");
    query.Append();
    EXPECT_EQ("Odd", db.GetQueryDefName(0));
    records.Open(&query, 4, 0);  // closes the table's record set first
    records.MoveNext();
    records.MoveNext();  // past 1 and 3
    EXPECT_TRUE(records.IsEOF());
  }
  DaoWorkspace workspace;
  workspace.CompactDatabase("Shop");
  ExpectRaised([&] { workspace.CompactDatabase("Missing"); }, "Could not compact a database", "\"Missing\" does not exist.");
  ExpectRaised([&] { workspace.CompactDatabase(nullptr); }, nullptr);
}

TEST(QRBDaoClasses, TheServerTakesItsLimitsFromItsKey) {
  DaoServerSettingsScope limits(kShutdownDelayMs);
  limits.SetDword("Statement Time Limit", 700);
  limits.SetDword("Handle Limit", 4);
  DaoDatabase db;
  MakeTable(db, "Limits");
  DaoQuery forever(&db);
  forever.Create("", "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n)"
                     " SELECT count(*) FROM n, (SELECT count(*) FROM T)");
  DaoRecordSet records(&db);
  const ULONGLONG start = GetTickCount64();
  ExpectRaised([&] { records.Open(&forever, 4, 0); }, "Could not open a record set.",
               "Query \"\" failed: it ran longer than 700 ms, the longest one statement may run.");
  EXPECT_LT(GetTickCount64() - start, 10000u);
  DaoQuery one(&db), two(&db), three(&db), four(&db);
  one.Create("", "SELECT 1");
  two.Create("", "SELECT 2");
  three.Create("", "SELECT 3");  // with forever, the fourth handle
  ExpectRaised([&] { four.Create("", "SELECT 4"); }, "Could not create a query.",
               "This connection already holds 4 open tables, record sets and queries, the most one connection may"
               " hold: close some before opening more.");
}

TEST(QRBDaoClasses, TheServerStaysForItsShutdownDelayAndServesTheNextClient) {
  ASSERT_TRUE(WaitForNoDaoServer(10000));
  settings->SetShutdownDelay(3000);
  DWORD server = 0;
  {
    DaoDatabase first;
    ASSERT_EQ(1u, DaoServerProcesses().size());
    server = DaoServerProcesses()[0];
  }
  Sleep(1500);
  {
    DaoDatabase second;  // within the delay: the same process serves it
    ASSERT_EQ(std::vector<DWORD>{server}, DaoServerProcesses());
  }
  const DWORD released = GetTickCount();
  Sleep(2000);
  EXPECT_EQ(std::vector<DWORD>{server}, DaoServerProcesses()) << "ended before its delay";
  EXPECT_TRUE(WaitForNoDaoServer(8000)) << "still running long after its delay";
  EXPECT_GE(GetTickCount() - released, 2900u);
  settings->SetShutdownDelay(kShutdownDelayMs);
}

TEST(QRBDaoClasses, FailedCallsRaiseTheirMessageWithTheServersText) {
  Connection connection;
  DaoDatabase db(connection.dao);
  DaoTable table(&db);
  DaoRecordSet records(&db);
  DaoQuery query(&db);
  const char* noDatabase = "No database is open on this connection: open or create one first.";
  // In order: each call works on what the ones before it left.
  const struct {
    std::function<void()> call;
    const char* message;
    std::string serverEnd;
  } failures[] = {
      {[&] { db.Open("Missing"); }, "Could not open a database.", "Database \"Missing\" does not exist."},
      {[&] { db.Exists("a/b"); }, "Could not determine if a database file exists.",
       "(control characters and \\ / : * ? \" < > |)."},
      {[&] { db.Exists(""); }, "Could not determine if a database file exists.", "A database name must not be empty."},
      {[&] { db.GetTableDefCount(); }, "Could not get the number of tables in a database.", noDatabase},
      {[&] { db.GetQueryDefCount(); }, "Could not get the number of queries in a database.", noDatabase},
      {[&] { table.Exists("T"); }, "Could not determine if a table in a database file exists.", noDatabase},
      {[&] { query.Exists("Q"); }, "Could not determine if a query in a database file exists.", noDatabase},
      {[&] { MakeTable(db, "Errors"); db.Create("Errors"); }, "Could not create a database.", "\"Errors\" already exists."},
      {[&] { db.Open("Errors"); db.GetTableDefName(1); }, "Could not get a table name from a database.", "it has 1 tables."},
      {[&] { db.GetQueryDefName(0); }, "Could not get a query name from a database.", "it has 0 queries."},
      {[&] { table.Open("Nope"); }, "Could not open a table.", "Table \"Nope\" does not exist in database \"Errors\"."},
      {[&] { table.Append(); }, nullptr, ""},  // the server left -1 behind the failed open: no table held
      {[&] { table.Create("t"); }, "Could not create a table.", "Table \"t\" already exists in database \"Errors\"."},
      {[&] { table.Create("Fresh"); table.Append(); }, "Could not append fields to a table.", "before appending it."},
      {[&] { table.CreateField("X", 5, 0, 0); }, "Could not create a field in a table.", "or 12 (Memo)."},
      {[&] { records.Open(&table, 1, 0); }, "Could not open a record set.", "has not been appended to the database yet."},
      {[&] { table.Open("T"); records.Open(&table, 1, 0); records.Update(); }, "Could not update a record set.",
       "there is no new record to store."},
      {[&] { records.MoveFirst(); }, "Could not move to the first record in a record set.", "the record set is empty."},
      {[&] { records.MoveLast(); }, "Could not move to the last record in a record set.", "the record set is empty."},
      {[&] { records.MoveNext(); }, "Could not move to the next record in a record set.", "past its last record."},
      {[&] { records.MovePrev(); }, "Could not move to the previous record in a record set.", "before its first record."},
      {[&] { records.Delete(); }, "Could not delete a record from a record set.", "No current record to delete."},
      {[&] { records.AddNew(); records.AddNew(); }, "Could not add a new record to a record set.", "with Update first."},
      {[&] { records.SetFieldValue(2, Long(1)); }, "Could not set a field value in a record set.", "it has 2 fields."},
      {[&] { records.SetFieldValue(1, "toolong"); }, "Could not set a field value in a record set.", "holds at most 5."},
      {[&] { records.SetFieldValue(1, static_cast<const char*>(nullptr)); }, nullptr, ""},
      {[&] { query.Open("Nope"); }, "Could not open a query.", "Query \"Nope\" does not exist in database \"Errors\"."},
      {[&] { query.Create("Q", "SELECT FROM"); }, "Could not create a query.", "syntax error."},
      {[&] { query.Create("", "SELECT * FROM T"); query.Append(); }, "Could not append a query.", "cannot be appended."},
      {[&] { query.Execute(0); }, "Could not execute a query.", "instead of executing it."},
      {[&] { query.Create("", "DELETE FROM T"); records.Open(&query, 2, 0); }, "Could not open a record set.",
       "execute it instead of opening a record set."},
  };
  for (const auto& failure : failures) ExpectRaised(failure.call, failure.message, failure.serverEnd);
}

TEST(QRBDaoClasses, ACloseThatFailsKeepsTheNewOpenFromRunning) {
  Connection connection;
  DaoDatabase db(connection.dao);
  MakeTable(db, "Closing");
  DaoTable table(&db);
  table.Open("T");
  DaoRecordSet records(&db);
  records.Open(&table, 1, 0);
  DaoQuery query(&db);
  query.Create("", "SELECT 1");
  const unsigned long oldTable = table;
  db.Open("Closing");  // reopening the database ends every handle the server gave out for it
  ExpectRaised([&] { table.Open("T"); }, "Could not close a table.", std::to_string(oldTable) + " is not an open table.");
  EXPECT_EQ(oldTable, static_cast<unsigned long>(table));  // no new table was opened
  ExpectRaised([&] { records.Open(&query, 2, 0); }, "Could not close a record set.", " is not an open record set.");
  // Still the old, dead record set: the open was not attempted.
  ExpectRaised([&] { records.IsEOF(); }, "Could not get a position in a record set.", " is not an open record set.");
  ExpectRaised([&] { query.Close(); }, "Could not close a query.", " is not an open query.");
  // The destructors meet the same dead handles and must stay quiet.
}

TEST(QRBDaoClasses, TheServerObjectHandsOutEachErrorTextOnceAndReadsATextOnlyToItsSize) {
  Connection connection;
  char name[] = "Missing", ab[] = "AB", abc[] = {'A', 'B', 'C'};
  EXPECT_EQ(E_FAIL, connection.dao->DatabaseOpen(DaoString{8, name}));
  unsigned short size = 0;
  char* text = nullptr;
  ASSERT_EQ(S_OK, connection.dao->GetErrorText(&size, &text));
  EXPECT_EQ("Database \"Missing\" does not exist.", std::string(text));
  EXPECT_EQ(std::strlen(text) + 1, size);
  CoTaskMemFree(text);
  EXPECT_EQ(E_FAIL, connection.dao->GetErrorText(&size, &text));
  unsigned char exists = 0;
  ASSERT_EQ(S_OK, connection.dao->DatabaseCreate(DaoString{3, ab}));
  EXPECT_EQ(S_OK, connection.dao->DatabaseExists(DaoString{2, abc}, &exists));
  EXPECT_EQ(1, exists);
}

// A check missing here would send -1 or a null text to the server, or crash on it: the server's
// answer would come back with a message and its text, where a first check raises neither.
TEST(QRBDaoClasses, FirstChecksRaisePlainAssertionsBeforeAnyCall) {
  Connection connection;
  DaoDatabase db(connection.dao), none(nullptr);
  DaoTable table(&db);
  DaoRecordSet records(&db);
  DaoQuery query(&db);
  const std::function<void()> plain[] = {
      [&] { db.Exists(nullptr); }, [&] { db.Create(nullptr); }, [&] { db.Open(nullptr); }, [&] { DaoTable t(nullptr); },
      [&] { DaoRecordSet r(nullptr); }, [&] { DaoQuery q(nullptr); }, [&] { table.Exists(nullptr); },
      [&] { table.Open(nullptr); }, [&] { table.Create(nullptr); }, [&] { table.CreateField("F", 4, 0, 0); },
      [&] { table.Append(); }, [&] { static_cast<void>(static_cast<unsigned long>(table)); }, [&] { records.AddNew(); },
      [&] { records.Update(); }, [&] { records.Delete(); }, [&] { records.MoveFirst(); }, [&] { records.MoveLast(); },
      [&] { records.MoveNext(); }, [&] { records.MovePrev(); }, [&] { records.IsBOF(); }, [&] { records.IsEOF(); },
      [&] { records.SetFieldValue(0, Long(1)); }, [&] { records.SetFieldValue(0, "x"); },
      [&] { records.Open(static_cast<DaoTable*>(nullptr), 1, 0); }, [&] { records.Open(static_cast<DaoQuery*>(nullptr), 1, 0); },
      [&] { records.Open(&table, 1, 0); }, [&] { records.Open(&query, 2, 0); }, [&] { query.Exists(nullptr); },
      [&] { query.Open(nullptr); }, [&] { query.Create(nullptr, "SELECT 1"); }, [&] { query.Create("Q", nullptr); },
      [&] { none.Exists("X"); }, [&] { none.Open("X"); }, [&] { none.Close(); }, [&] { none.GetTableDefCount(); }};
  for (const auto& call : plain) ExpectRaised(call, nullptr);
  ExpectRaised([&] { DaoTable(&none).Open("T"); }, "Database is not initialized.");
  ExpectRaised([&] { DaoTable(&none).Exists("T"); }, "Database is not initialized.");
  ExpectRaised([&] { DaoQuery(&none).Create("Q", "SELECT 1"); }, "Database is not initialized.");
  // Without a handle these do nothing at all.
  EXPECT_EQ("(nothing raised)", Raised([&] {
              query.Append();
              query.Execute(0);
              query.Close();
              table.Close();
              records.Close();
            }));
}

}  // namespace
