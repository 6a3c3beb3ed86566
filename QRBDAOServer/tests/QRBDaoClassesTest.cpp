// The access layer against the real database server: QRBDAOServer.exe is
// started by COM in its own process, and every call crosses the proxy DLL.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DaoServerSettings.h"
#include "DaoTestSupport.h"
#include "QRBDaoClasses.h"
#include "Win32/Holders.h"

namespace {

constexpr DWORD kTestShutdownDelayMs = 500;

class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    RegisterDaoServer();
    settings_ = new DaoServerSettingsScope(kTestShutdownDelayMs);
  }
  void TearDown() override {
    WaitForNoDaoServer(10000);
    delete settings_;
    CoUninitialize();
  }
  static DaoServerSettingsScope* settings_;
};
DaoServerSettingsScope* ServerEnvironment::settings_ = nullptr;
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// A database "name" holding a table "T" with a Long "Id" and a Text(5)
// "Code".
void MakeTable(DaoDatabase& db, const char* name) {
  db.Create(name);
  DaoTable table(&db);
  table.Create("T");
  table.CreateField("Id", 4, 4, 0);
  table.CreateField("Code", 10, 5, 0);
  table.Append();
}

TEST(QRBDaoClasses, WrappersWorkEndToEndThroughTheServer) {
  DaoDatabase db;
  EXPECT_FALSE(db.Exists("Shop"));
  MakeTable(db, "Shop");
  EXPECT_TRUE(db.IsOpen());
  EXPECT_TRUE(db.Exists("Shop"));
  ASSERT_EQ(1, db.GetTableDefCount());
  EXPECT_EQ("T", db.GetTableDefName(0));

  DaoTable table(&db);
  EXPECT_TRUE(table.Exists("T"));
  EXPECT_FALSE(table.Exists("U"));
  table.Open("T");
  DaoRecordSet records(&db);
  records.Open(&table, 1, 0);
  EXPECT_TRUE(records.IsBOF());
  EXPECT_TRUE(records.IsEOF());
  for (long id = 1; id <= 3; ++id) {
    records.AddNew();
    records.SetFieldValue(0, Long(id));
    records.SetFieldValue(1, "c");
    records.Update();
  }
  records.MoveFirst();
  records.MoveNext();
  records.Delete();
  records.MoveLast();
  records.MoveNext();
  EXPECT_TRUE(records.IsEOF());
  records.MovePrev();
  EXPECT_FALSE(records.IsEOF());

  DaoQuery query(&db);
  EXPECT_FALSE(query.Exists("Odd"));
  query.Create("Odd", "SELECT * FROM T WHERE Id % 2 = 1");
  query.Append();
  EXPECT_TRUE(query.Exists("Odd"));
  ASSERT_EQ(1, db.GetQueryDefCount());
  EXPECT_EQ("Odd", db.GetQueryDefName(0));
  DaoRecordSet odd(&db);
  odd.Open(&query, 4, 0);
  odd.MoveLast();  // 1 and 3 are left, both odd
  odd.MovePrev();
  odd.MovePrev();
  EXPECT_TRUE(odd.IsBOF());

  DaoQuery purge(&db);
  purge.Create("", "DELETE FROM T");
  purge.Execute(128);
  records.Open(&table, 2, 0);  // reopening closes the old record set first
  EXPECT_TRUE(records.IsEOF());

  odd.Close();
  records.Close();
  query.Close();
  table.Close();
  db.Close();
  EXPECT_FALSE(db.IsOpen());
  DaoWorkspace workspace;
  workspace.CompactDatabase("Shop");
}

// Sets limits in the server's key for the life of the object.
class ServerLimits {
 public:
  ServerLimits(DWORD statementMs, DWORD handles) {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, key_.put(), nullptr);
    RegSetValueExA(key_.get(), "Statement Time Limit", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&statementMs), sizeof statementMs);
    RegSetValueExA(key_.get(), "Handle Limit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&handles),
                   sizeof handles);
  }
  ~ServerLimits() {
    RegDeleteValueA(key_.get(), "Statement Time Limit");
    RegDeleteValueA(key_.get(), "Handle Limit");
  }

 private:
  UniqueKey key_;
};

// The server's limits come from its key for every connection, and a client
// across the process boundary hears why it was stopped or refused.
TEST(QRBDaoClasses, TheServersLimitsAndSandboxHoldAcrossTheProcessBoundary) {
  ServerLimits limits(700, 4);
  DaoDatabase db;
  MakeTable(db, "Limits");
  DaoQuery forever(&db);
  forever.Create("", "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n)"
                     " SELECT count(*) FROM n, (SELECT count(*) FROM T)");
  DaoRecordSet records(&db);
  const ULONGLONG start = GetTickCount64();
  const std::string stopped = Raised([&] { records.Open(&forever, 4, 0); });
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_EQ("Query \"\" failed: it ran longer than 700 ms, the longest one statement may run.",
            ServerTextOf(stopped, "Could not open a record set.",
                         "SUCCEEDED((*pdb)->RecordSetQueryDefOpen( (unsigned long)*qry, nOpenType,"
                         " nOptions, &recordSetHandle))"));
  EXPECT_LT(took, 10000u);

  const char* create = "SUCCEEDED((*pdb)->QueryDefCreate( qrynm, sqlstr, &queryHandle))";
  DaoQuery escape(&db);
  EXPECT_EQ("The SQL text of query \"\" is refused: VACUUM is not allowed in a query"
            " (CompactDatabase compacts a database).",
            ServerTextOf(Raised([&] { escape.Create("", "VACUUM INTO 'C:\\copy.db'"); }),
                         "Could not create a query.", create));
  DaoQuery one(&db), two(&db), three(&db), four(&db);
  one.Create("", "SELECT 1");
  two.Create("", "SELECT 2");
  three.Create("", "SELECT 3");  // with forever, the fourth handle
  EXPECT_EQ("This connection already holds 4 open tables, record sets and queries, the most one"
            " connection may hold: close some before opening more.",
            ServerTextOf(Raised([&] { four.Create("", "SELECT 4"); }), "Could not create a query.",
                         create));
}

TEST(QRBDaoClasses, FailedCallsJoinTheServersTextToTheAssertion) {
  DaoDatabase db;
  ExpectAssertion(Raised([&] { db.Open("Missing"); }), "Could not open a database.",
                  "SUCCEEDED(pIQRBDAO->DatabaseOpen(dbn))", "Database \"Missing\" does not exist.");
  EXPECT_FALSE(db.IsOpen());
  ExpectAssertion(Raised([&] { db.Exists("a/b"); }),
                  "Could not determine if a database file exists.",
                  "SUCCEEDED(pIQRBDAO->DatabaseExists(dbn,&exists))",
                  "The database name \"a/b\" contains a character that file names cannot hold"
                  " (control characters and \\ / : * ? \" < > |).");
  ExpectAssertion(Raised([&] { db.GetTableDefCount(); }),
                  "Could not get the number of tables in a database.",
                  "SUCCEEDED(pIQRBDAO->GetTableDefCount(&tdcount))",
                  "No database is open on this connection: open or create one first.");
  ExpectAssertion(Raised([&] { db.GetQueryDefCount(); }),
                  "Could not get the number of queries in a database.",
                  "SUCCEEDED(pIQRBDAO->GetQueryDefCount(&qcount))",
                  "No database is open on this connection: open or create one first.");
  ExpectAssertion(Raised([&] { DaoWorkspace().CompactDatabase("Missing"); }),
                  "Could not compact a database", "SUCCEEDED(pIQRBDAO->CompactDatabase(dbn))",
                  "Database \"Missing\" does not exist.");

  MakeTable(db, "Errors");
  ExpectAssertion(Raised([&] { DaoDatabase().Create("Errors"); }), "Could not create a database.",
                  "SUCCEEDED(pIQRBDAO->DatabaseCreate(dbn))", "Database \"Errors\" already exists.");
  ExpectAssertion(Raised([&] { db.GetTableDefName(1); }),
                  "Could not get a table name from a database.",
                  "SUCCEEDED(pIQRBDAO->GetTableDefName(tableDefIndex,&tblname))",
                  "There is no table number 1 in database \"Errors\": it has 1 tables.");
  ExpectAssertion(Raised([&] { db.GetQueryDefName(0); }),
                  "Could not get a query name from a database.",
                  "SUCCEEDED(pIQRBDAO->GetQueryDefName(queryDefIndex,&qname))",
                  "There is no query number 0 in database \"Errors\": it has 0 queries.");

  DaoTable table(&db);
  ExpectAssertion(Raised([&] { table.Open("Nope"); }), "Could not open a table.",
                  "SUCCEEDED((*pdb)->TableOpen(tbn,&tableHandle))",
                  "Table \"Nope\" does not exist in database \"Errors\".");
  // The server leaves -1 behind a failed open, so the table holds nothing.
  ExpectAssertion(Raised([&] { table.Append(); }), nullptr, "tableHandle != -1");
  ExpectAssertion(Raised([&] { table.Create("t"); }), "Could not create a table.",
                  "SUCCEEDED((*pdb)->TableCreate(tbn,&tableHandle))",
                  "Table \"t\" already exists in database \"Errors\".");
  table.Create("Fresh");
  ExpectAssertion(Raised([&] { table.Append(); }), "Could not append fields to a table.",
                  "SUCCEEDED((*pdb)->TableAppend(tableHandle))",
                  "Table \"Fresh\" has no fields; create at least one before appending it.");
  ExpectAssertion(Raised([&] { table.CreateField("X", 5, 0, 0); }),
                  "Could not create a field in a table.",
                  "SUCCEEDED((*pdb)->CreateField( tableHandle, fldname, fieldtype, fieldsize,"
                  " fieldattributes))",
                  "Field type 5 is not supported; use 1 (Boolean), 2 (Byte), 3 (Integer),"
                  " 4 (Long), 6 (Single), 7 (Double), 8 (Date/Time), 10 (Text),"
                  " 11 (Long Binary) or 12 (Memo).");
  DaoRecordSet records(&db);
  ExpectAssertion(Raised([&] { records.Open(&table, 1, 0); }), "Could not open a record set.",
                  "SUCCEEDED((*pdb)->RecordSetTableOpen( (unsigned long)*tbl, nOpenType, nOptions,"
                  " &recordSetHandle))",
                  "Table \"Fresh\" has not been appended to the database yet.");

  table.Open("T");
  records.Open(&table, 1, 0);
  ExpectAssertion(Raised([&] { records.Update(); }), "Could not update a record set.",
                  "SUCCEEDED((*pdb)->Update(recordSetHandle))",
                  "Update without AddNew: there is no new record to store.");
  ExpectAssertion(Raised([&] { records.MoveFirst(); }),
                  "Could not move to the first record in a record set.",
                  "SUCCEEDED((*pdb)->MoveFirst(recordSetHandle))",
                  "No current record: the record set is empty.");
  ExpectAssertion(Raised([&] { records.MoveLast(); }),
                  "Could not move to the last record in a record set.",
                  "SUCCEEDED((*pdb)->MoveLast(recordSetHandle))",
                  "No current record: the record set is empty.");
  ExpectAssertion(Raised([&] { records.MoveNext(); }),
                  "Could not move to the next record in a record set.",
                  "SUCCEEDED((*pdb)->MoveNext(recordSetHandle))",
                  "No current record: the record set is already past its last record.");
  ExpectAssertion(Raised([&] { records.MovePrev(); }),
                  "Could not move to the previous record in a record set.",
                  "SUCCEEDED((*pdb)->MovePrev(recordSetHandle))",
                  "No current record: the record set is already before its first record.");
  ExpectAssertion(Raised([&] { records.Delete(); }),
                  "Could not delete a record from a record set.",
                  "SUCCEEDED((*pdb)->Delete(recordSetHandle))", "No current record to delete.");
  records.AddNew();
  ExpectAssertion(Raised([&] { records.AddNew(); }), "Could not add a new record to a record set.",
                  "SUCCEEDED((*pdb)->AddNew(recordSetHandle))",
                  "AddNew was already called: store the new record with Update first.");
  ExpectAssertion(Raised([&] { records.SetFieldValue(2, Long(1)); }),
                  "Could not set a field value in a record set.",
                  "SUCCEEDED((*pdb)->SetFieldValue( recordSetHandle, nOrdinal, (VARIANT)varValue))",
                  "There is no field number 2 in table \"T\": it has 2 fields.");
  ExpectAssertion(Raised([&] { records.SetFieldValue(1, "toolong"); }),
                  "Could not set a field value in a record set.",
                  "SUCCEEDED((*pdb)->SetFieldValueString( recordSetHandle, nOrdinal, fldValue))",
                  "The text for field \"Code\" has 7 characters; the field holds at most 5.");

  DaoQuery query(&db);
  ExpectAssertion(Raised([&] { query.Open("Nope"); }), "Could not open a query.",
                  "SUCCEEDED((*pdb)->QueryDefOpen(qrynm,&queryHandle))",
                  "Query \"Nope\" does not exist in database \"Errors\".");
  ExpectAssertion(Raised([&] { query.Create("Q", "SELECT FROM"); }), "Could not create a query.",
                  "SUCCEEDED((*pdb)->QueryDefCreate( qrynm, sqlstr, &queryHandle))",
                  "The SQL text of query \"Q\" is not valid: near \"FROM\": syntax error.");
  query.Create("", "SELECT * FROM T");
  ExpectAssertion(Raised([&] { query.Append(); }), "Could not append a query.",
                  "SUCCEEDED((*pdb)->QueryDefAppend(queryHandle))",
                  "A query without a name is temporary and cannot be appended.");
  ExpectAssertion(Raised([&] { query.Execute(0); }), "Could not execute a query.",
                  "SUCCEEDED((*pdb)->QueryDefExecute( queryHandle, nOptions))",
                  "Query \"\" is a select query: open a record set on it instead of executing it.");
  query.Create("", "DELETE FROM T");
  ExpectAssertion(Raised([&] { records.Open(&query, 2, 0); }), "Could not open a record set.",
                  "SUCCEEDED((*pdb)->RecordSetQueryDefOpen( (unsigned long)*qry, nOpenType,"
                  " nOptions, &recordSetHandle))",
                  "Query \"\" returns no records; execute it instead of opening a record set.");
}

TEST(QRBDaoClasses, ACloseThatFailsKeepsTheNewOpenFromRunning) {
  DaoDatabase db;
  MakeTable(db, "Closing");
  DaoTable table(&db);
  table.Open("T");
  DaoRecordSet records(&db);
  records.Open(&table, 1, 0);
  DaoQuery query(&db);
  query.Create("", "SELECT 1");
  const unsigned long oldTable = table;
  // Reopening the database ends every handle the server gave out for it.
  db.Open("Closing");
  const std::string deadTable = "Handle " + std::to_string(oldTable) + " is not an open table.";
  ExpectAssertion(Raised([&] { table.Open("T"); }), "Could not close a table.",
                  "SUCCEEDED((*pdb)->TableClose(tableHandle))", deadTable);
  EXPECT_EQ(oldTable, static_cast<unsigned long>(table));  // no new table was opened
  const std::string closing = ServerTextOf(Raised([&] { records.Open(&query, 2, 0); }),
                                           "Could not close a record set.",
                                           "SUCCEEDED((*pdb)->RecordSetClose(recordSetHandle))");
  EXPECT_NE(std::string::npos, closing.find(" is not an open record set.")) << closing;
  // Still the old, dead record set: the open was not attempted.
  EXPECT_EQ(closing, ServerTextOf(Raised([&] { records.IsEOF(); }),
                                  "Could not get a position in a record set.",
                                  "SUCCEEDED((*pdb)->IsEOF(recordSetHandle,&iseof))"));
  const std::string queryText = ServerTextOf(Raised([&] { query.Close(); }),
                                             "Could not close a query.",
                                             "SUCCEEDED((*pdb)->QueryDefClose(queryHandle))");
  EXPECT_NE(std::string::npos, queryText.find(" is not an open query.")) << queryText;
  // The destructors meet the same dead handles and must stay quiet.
}

TEST(QRBDaoClasses, FirstChecksRaisePlainAssertionsBeforeAnyCall) {
  DaoDatabase db;
  ExpectAssertion(Raised([&] { db.Exists(nullptr); }), nullptr, "dbname");
  ExpectAssertion(Raised([&] { db.Create(nullptr); }), nullptr, "dbname");
  ExpectAssertion(Raised([&] { db.Open(nullptr); }), nullptr, "dbname");
  ExpectAssertion(Raised([&] { DaoWorkspace().CompactDatabase(nullptr); }), nullptr, "dbname");
  ExpectAssertion(Raised([&] { DaoTable table(nullptr); }), nullptr, "db");
  ExpectAssertion(Raised([&] { DaoRecordSet records(nullptr); }), nullptr, "db");
  ExpectAssertion(Raised([&] { DaoQuery query(nullptr); }), nullptr, "db");

  DaoTable table(&db);
  ExpectAssertion(Raised([&] { table.Exists(nullptr); }), nullptr, "tablename");
  ExpectAssertion(Raised([&] { table.Open(nullptr); }), nullptr, "tablename");
  ExpectAssertion(Raised([&] { table.Create(nullptr); }), nullptr, "tablename");
  ExpectAssertion(Raised([&] { table.CreateField("F", 4, 0, 0); }), nullptr, "tableHandle != -1");
  ExpectAssertion(Raised([&] { table.Append(); }), nullptr, "tableHandle != -1");
  ExpectAssertion(Raised([&] { static_cast<void>(static_cast<unsigned long>(table)); }), nullptr,
                  "tableHandle != -1");

  DaoRecordSet records(&db);
  const std::vector<std::function<void()>> needHandle = {
      [&] { records.AddNew(); },    [&] { records.Update(); },   [&] { records.Delete(); },
      [&] { records.MoveFirst(); }, [&] { records.MoveLast(); }, [&] { records.MoveNext(); },
      [&] { records.MovePrev(); },  [&] { records.IsBOF(); },    [&] { records.IsEOF(); },
      [&] { records.SetFieldValue(0, Long(1)); }, [&] { records.SetFieldValue(0, "x"); }};
  for (const auto& call : needHandle) ExpectAssertion(Raised(call), nullptr, "recordSetHandle != -1");
  ExpectAssertion(Raised([&] { records.Open(static_cast<DaoTable*>(nullptr), 1, 0); }), nullptr, "tbl");
  ExpectAssertion(Raised([&] { records.Open(static_cast<DaoQuery*>(nullptr), 1, 0); }), nullptr, "qry");
  // A table without a handle is refused when the record set asks for it.
  ExpectAssertion(Raised([&] { records.Open(&table, 1, 0); }), nullptr, "tableHandle != -1");

  DaoQuery query(&db);
  ExpectAssertion(Raised([&] { query.Exists(nullptr); }), nullptr, "queryname");
  ExpectAssertion(Raised([&] { query.Open(nullptr); }), nullptr, "queryname");
  ExpectAssertion(Raised([&] { query.Create(nullptr, "SELECT 1"); }), nullptr, "queryname");
  ExpectAssertion(Raised([&] { query.Create("Q", nullptr); }), nullptr, "sqlstring");
  ExpectAssertion(Raised([&] { records.Open(&query, 2, 0); }), nullptr, "queryHandle != -1");
  // Without a handle these do nothing at all.
  EXPECT_EQ("(nothing raised)", Raised([&] {
              query.Append();
              query.Execute(0);
              query.Close();
              table.Close();
              records.Close();
            }));

  MakeTable(db, "Plain");
  table.Open("T");
  records.Open(&table, 1, 0);
  records.AddNew();
  ExpectAssertion(Raised([&] { records.SetFieldValue(1, static_cast<const char*>(nullptr)); }),
                  nullptr, "lpszValue");
}

TEST(QRBDaoClasses, ADatabaseWithoutConnectionSaysSo) {
  DaoDatabase db(nullptr);
  ExpectAssertion(Raised([&] { db.Exists("X"); }), nullptr, "pIQRBDAO");
  ExpectAssertion(Raised([&] { db.Open("X"); }), nullptr, "pIQRBDAO");
  ExpectAssertion(Raised([&] { db.Close(); }), nullptr, "pIQRBDAO");
  ExpectAssertion(Raised([&] { db.GetTableDefCount(); }), nullptr, "pIQRBDAO");
  DaoTable table(&db);
  ExpectAssertion(Raised([&] { table.Open("T"); }), "Database is not initialized.", "pIQRBDAO");
  ExpectAssertion(Raised([&] { table.Exists("T"); }), "Database is not initialized.", "pIQRBDAO");
  DaoQuery query(&db);
  ExpectAssertion(Raised([&] { query.Create("Q", "SELECT 1"); }), "Database is not initialized.",
                  "pIQRBDAO");
}

TEST(QRBDaoClasses, TheServerHandsOutEachErrorTextOnceAndMinusOneForFailedOpens) {
  ComPtr<IQRBDAO> dao;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_QRBDAOServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IQRBDAO,
                                   dao.put_void()));
  ComPtr<IQRBConsoleComponent> console;
  ASSERT_EQ(S_OK, dao->QueryInterface(IID_IQRBConsoleComponent, console.put_void()));
  char name[] = "Missing";
  unsigned long handle = 7;
  EXPECT_EQ(E_FAIL, dao->DatabaseOpen(DaoString{8, name}));
  unsigned short size = 0;
  char* text = nullptr;
  ASSERT_EQ(S_OK, console->GetErrorText(&size, &text));
  const std::string expected = "Database \"Missing\" does not exist.";
  EXPECT_EQ(expected, text);
  EXPECT_EQ(expected.size() + 1, size);
  CoTaskMemFree(text);
  text = nullptr;
  EXPECT_EQ(E_FAIL, console->GetErrorText(&size, &text));
  EXPECT_EQ(nullptr, text);

  // The same text through IQRBDAO's own slot, and -1 in a failed open's
  // handle across the process boundary.
  char table[] = "T";
  EXPECT_EQ(E_FAIL, dao->TableOpen(DaoString{2, table}, &handle));
  EXPECT_EQ(0xFFFFFFFFul, handle);
  ASSERT_EQ(S_OK, dao->GetErrorText(&size, &text));
  EXPECT_STREQ("No database is open on this connection: open or create one first.", text);
  CoTaskMemFree(text);
  // A text without its NUL is read only as far as its size goes.
  char unterminated[] = {'A', 'B', 'C'};
  unsigned char exists = 1;
  EXPECT_EQ(S_OK, dao->DatabaseExists(DaoString{2, unterminated}, &exists));
  EXPECT_EQ(0, exists);
}

TEST(QRBDaoClasses, TheServerStaysForItsShutdownDelayAndServesTheNextClient) {
  ASSERT_TRUE(WaitForNoDaoServer(10000));
  ServerEnvironment::settings_->SetShutdownDelay(3000);
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
  ServerEnvironment::settings_->SetShutdownDelay(kTestShutdownDelayMs);
}

// An in-process stand-in for the server, for what the real one never does:
// it records the calls, refuses TableClose, and answers a name request with
// success but no text. Its own error text is always "fake text".
class FakeDao final : public IQRBDAO, public IQRBConsoleComponent {
 public:
  std::vector<std::string> calls;
  ULONG lastTextSize = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IQRBConsoleComponent))
      *object = static_cast<IQRBConsoleComponent*>(this);
    else
      *object = static_cast<IQRBDAO*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override {
    *text = static_cast<char*>(CoTaskMemAlloc(10));
    std::memcpy(*text, "fake text", 10);
    *size = 10;
    return S_OK;
  }
#define FAKE(name, ...)                                     \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override {    \
    calls.push_back(#name);                                 \
    return S_OK;                                            \
  }
#define FAKE_TEXT(name, ...)                                \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override {    \
    calls.push_back(#name);                                 \
    lastTextSize = text.size;                               \
    return S_OK;                                            \
  }
  FAKE_TEXT(CompactDatabase, DaoString text)
  FAKE_TEXT(DatabaseExists, DaoString text, unsigned char*)
  FAKE_TEXT(DatabaseCreate, DaoString text)
  FAKE_TEXT(DatabaseOpen, DaoString text)
  FAKE(DatabaseClose)
  FAKE(GetTableDefCount, unsigned short*)
  FAKE(GetTableDefName, LONG, DaoString*)
  FAKE(GetQueryDefCount, unsigned short*)
  FAKE(GetQueryDefName, LONG, DaoString*)
  FAKE_TEXT(TableExists, DaoString text, unsigned char*)
  HRESULT STDMETHODCALLTYPE TableOpen(DaoString, ULONG* table) override {
    calls.push_back("TableOpen");
    *table = 5;
    return S_OK;
  }
  FAKE(TableCreate, DaoString, ULONG*)
  HRESULT STDMETHODCALLTYPE TableClose(ULONG) override {
    calls.push_back("TableClose");
    return E_FAIL;
  }
  FAKE(CreateField, ULONG, DaoString, short, LONG, LONG)
  FAKE(TableAppend, ULONG)
  FAKE(RecordSetTableOpen, ULONG, LONG, LONG, ULONG*)
  FAKE(RecordSetQueryDefOpen, ULONG, LONG, LONG, ULONG*)
  FAKE(RecordSetClose, ULONG)
  FAKE(AddNew, ULONG)
  FAKE(Update, ULONG)
  FAKE(Delete, ULONG)
  FAKE(MoveFirst, ULONG)
  FAKE(MoveLast, ULONG)
  FAKE(MoveNext, ULONG)
  FAKE(MovePrev, ULONG)
  FAKE(SetFieldValue, ULONG, LONG, VARIANT)
  FAKE(SetFieldValueString, ULONG, LONG, DaoString)
  FAKE(IsBOF, ULONG, unsigned char*)
  FAKE(IsEOF, ULONG, unsigned char*)
  FAKE(QueryDefExists, DaoString, unsigned char*)
  FAKE(QueryDefCreate, DaoString, DaoString, ULONG*)
  FAKE(QueryDefOpen, DaoString, ULONG*)
  FAKE(QueryDefClose, ULONG)
  FAKE(QueryDefAppend, ULONG)
  FAKE(QueryDefExecute, ULONG, LONG)
#undef FAKE
#undef FAKE_TEXT

 private:
  ULONG refs = 1;
};

TEST(QRBDaoClasses, WhatOnlyAStandInServerDoes) {
  FakeDao fake;
  {
    DaoDatabase db(&fake);
    // A name without a text is refused plainly, without the server's text.
    ExpectAssertion(Raised([&] { db.GetTableDefName(0); }), nullptr, "tblname.str");
    ExpectAssertion(Raised([&] { db.GetQueryDefName(0); }), nullptr, "qname.str");
    db.Exists("");
    EXPECT_EQ(1u, fake.lastTextSize);  // an empty name still carries its NUL
    db.Open("Eleven char");
    EXPECT_EQ(12u, fake.lastTextSize);

    DaoTable table(&db);
    table.Open("A");
    fake.calls.clear();
    ExpectAssertion(Raised([&] { table.Open("B"); }), "Could not close a table.",
                    "SUCCEEDED((*pdb)->TableClose(tableHandle))", "fake text");
    EXPECT_EQ(std::vector<std::string>{"TableClose"}, fake.calls);  // no second open
    fake.calls.clear();
  }
  // Destruction closed the table (quietly failing) and then the database.
  EXPECT_EQ((std::vector<std::string>{"TableClose", "DatabaseClose"}), fake.calls);
}

}  // namespace
