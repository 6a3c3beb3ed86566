// The database server's storage, driven in-process: what a client's calls leave in the SQLite
// file, what they refuse, and what a client's SQL cannot do to the server.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DaoDate.h"
#include "DaoStore.h"
#include "DaoTestSupport.h"

namespace {

const char kNothing[] = "(nothing raised)";

VARIANT Value(VARTYPE type, double value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = type;
  if (type == VT_I4) v.lVal = static_cast<long>(value);
  else v.date = value;
  return v;
}
VARIANT Long(long value) { return Value(VT_I4, value); }

std::vector<std::string> Is(std::initializer_list<std::string> values) { return values; }

// Runs a client's SQL text as a client would: executed, or opened as a record set when it
// returns records. Returns what was raised.
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

void AddItem(DaoSession& session, long id) {
  const DaoHandle table = session.TableOpen("Items");
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  session.AddNew(rs);
  session.SetFieldValue(rs, 0, Long(id));
  session.Update(rs);
  session.RecordSetClose(rs);
  session.TableClose(table);
}

class DaoStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_ = MakeTempDirectory("daostore"); }
  void TearDown() override { RemoveDirectoryTree(directory_); }

  // Database "Shop": a table "Items" (Id Long, Name Text(10), Data Long Binary, When Date,
  // Small Integer) of ids 1..rows, left open, and a stored query "Cheap".
  DaoHandle MakeShop(DaoSession& session, int rows) {
    session.DatabaseCreate("Shop");
    const DaoHandle table = session.TableCreate("Items");
    session.CreateField(table, "Id", kDaoLong, 0, 0);
    session.CreateField(table, "Name", kDaoText, 10, 0);
    session.CreateField(table, "Data", kDaoLongBinary, 0, 0);
    session.CreateField(table, "When", kDaoDate, 8, 0);
    session.CreateField(table, "Small", kDaoInteger, 2, 0);
    session.TableAppend(table);
    for (long id = 1; id <= rows; ++id) AddItem(session, id);
    const DaoHandle query = session.QueryDefCreate("Cheap", "SELECT Id FROM Items WHERE Id < 3");
    session.QueryDefAppend(query);
    session.QueryDefClose(query);
    return table;
  }
  std::string Shop() { return DaoDatabasePath(directory_, "Shop"); }

  std::string directory_;
};

TEST_F(DaoStoreTest, DatabasesAreFilesCreatedOnceAndOpenedLater) {
  DaoSession session(directory_ + "\\made\\below");
  EXPECT_FALSE(session.DatabaseExists("Log"));
  session.DatabaseCreate("Log");  // makes the missing folders too
  EXPECT_TRUE(session.DatabaseExists("Log"));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((directory_ + "\\made\\below\\Log.db").c_str()));
  session.DatabaseClose();
  session.DatabaseOpen("Log");
  EXPECT_EQ(0, session.TableDefCount());
  session.CompactDatabase("Log");
}

TEST_F(DaoStoreTest, TableDefinitionsKeepTypesSizesAndOrdinals) {
  const short types[] = {kDaoBoolean, kDaoByte, kDaoInteger, kDaoLong, kDaoSingle,
                         kDaoDouble,  kDaoDate, kDaoText,    kDaoLongBinary, kDaoMemo};
  {
    DaoSession session(directory_);
    session.DatabaseCreate("Types");
    const DaoHandle table = session.TableCreate("All");
    for (short type : types)
      session.CreateField(table, "F" + std::to_string(type), type, type == kDaoText ? 40 : 0, type == kDaoLong ? 16 : 0);
    session.TableAppend(table);
    session.CreateField(table, "F99", kDaoMemo, 0, 0);  // added to a stored table: stored at once
  }
  DaoSession session(directory_);
  session.DatabaseOpen("Types");
  ASSERT_EQ(1, session.TableDefCount());  // the bookkeeping tables stay hidden
  EXPECT_EQ("All", session.TableDefName(0));
  EXPECT_TRUE(session.TableExists("all"));
  const std::vector<DaoFieldDef> fields = session.TableFields(session.TableOpen("ALL"));
  const long sizes[] = {1, 1, 2, 4, 4, 8, 8, 40, 0, 0, 0};
  ASSERT_EQ(11u, fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ("F" + std::to_string(i < 10 ? types[i] : 99), fields[i].name);
    EXPECT_EQ(i < 10 ? types[i] : short{kDaoMemo}, fields[i].type);
    EXPECT_EQ(sizes[i], fields[i].size) << fields[i].name;
    EXPECT_EQ(fields[i].type == kDaoLong ? 16 : 0, fields[i].attributes);
  }
  EXPECT_EQ(Is({"BOOLEAN", "TINYINT", "SMALLINT", "INTEGER", "REAL", "DOUBLE", "DATETIME", "VARCHAR(40)", "BLOB",
                "TEXT", "TEXT"}),
            StoredColumn(DaoDatabasePath(directory_, "Types"), "SELECT type FROM pragma_table_info('All') ORDER BY cid"));
}

TEST_F(DaoStoreTest, RecordSetsMoveLikeDaoRecordSets) {
  DaoSession session(directory_);
  const DaoHandle table = MakeShop(session, 0);
  const DaoHandle empty = session.RecordSetTableOpen(table, kDaoOpenDynaset, 0);
  EXPECT_TRUE(session.IsBOF(empty) && session.IsEOF(empty));
  for (long id = 1; id <= 3; ++id) AddItem(session, id);
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  EXPECT_FALSE(session.IsBOF(rs));  // on the first record
  session.MovePrev(rs);
  EXPECT_TRUE(session.IsBOF(rs));
  EXPECT_FALSE(session.IsEOF(rs));
  EXPECT_NE(std::string::npos, Raised([&] { session.MovePrev(rs); }).find("before its first record"));
  session.MoveNext(rs);  // back on 1
  session.MoveNext(rs);  // on 2
  session.Delete(rs);
  EXPECT_EQ("No current record to delete.", Raised([&] { session.Delete(rs); }));
  EXPECT_FALSE(session.IsEOF(rs));
  session.MoveNext(rs);  // on 3, the record after the deleted one
  session.Delete(rs);
  session.MoveNext(rs);
  EXPECT_TRUE(session.IsEOF(rs));
  session.MovePrev(rs);  // back from the end: on 1, the last one left
  EXPECT_FALSE(session.IsBOF(rs));
  session.MoveLast(rs);
  session.MoveFirst(rs);
  EXPECT_EQ(Is({"1"}), StoredColumn(Shop(), "SELECT Id FROM Items"));
  const DaoHandle forward = session.RecordSetTableOpen(table, kDaoOpenForwardOnly, 0);
  session.MoveNext(forward);
  EXPECT_TRUE(session.IsEOF(forward));
}

TEST_F(DaoStoreTest, ValuesAreStoredAsTheFieldsType) {
  DaoSession session(directory_);
  const DaoHandle rs = session.RecordSetTableOpen(MakeShop(session, 0), kDaoOpenTable, 0);
  session.AddNew(rs);
  session.SetFieldValueString(rs, 0, "42");  // numbers may come as text
  session.SetFieldValueString(rs, 1, "ten chars!");
  session.SetFieldValueString(rs, 2, "");  // an empty byte array, not a null
  session.SetFieldValue(rs, 3, Value(VT_DATE, daodate::OleDateFromParts(2004, 11, 2, 11, 20, 4, 250)));
  session.SetFieldValue(rs, 4, Long(-32768));
  session.Update(rs);
  session.AddNew(rs);
  VARIANT bytes;
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  std::memcpy(bytes.parray->pvData, "\x00\x7F\xFF", 3);
  session.SetFieldValue(rs, 2, bytes);
  VariantClear(&bytes);
  session.Update(rs);
  session.AddNew(rs);
  session.Update(rs);  // nothing set: a record of nulls
  EXPECT_EQ(Is({"42|ten chars!|blob|0|2004-11-02 11:20:04.250|-32768", "NULL|NULL|blob|3|NULL|NULL",
                "NULL|NULL|null||NULL|NULL"}),
            StoredColumn(Shop(), "SELECT coalesce(Id, 'NULL') || '|' || coalesce(Name, 'NULL') || '|' || typeof(Data) || '|'"
                           " || coalesce(length(Data), '') || '|' || coalesce(\"When\", 'NULL') || '|' ||"
                           " coalesce(Small, 'NULL') FROM Items ORDER BY rowid"));
  EXPECT_EQ(Is({"007FFF"}), StoredColumn(Shop(), "SELECT hex(Data) FROM Items WHERE length(Data) = 3"));
  // Dates before the variant epoch count their time forward from the day.
  std::string text;
  ASSERT_TRUE(daodate::OleDateToText(-1.25, text));
  EXPECT_EQ("1899-12-29 06:00:00", text);
  ASSERT_TRUE(daodate::OleDateToText(daodate::OleDateFromParts(1899, 12, 29, 6, 0, 0), text));
  EXPECT_EQ("1899-12-29 06:00:00", text);
}

TEST_F(DaoStoreTest, QueriesAreStoredExecutedAndOpened) {
  {
    DaoSession session(directory_);
    MakeShop(session, 5);
    const DaoHandle query = session.QueryDefCreate("Big", "SELECT * FROM Items WHERE Id > 2");
    EXPECT_FALSE(session.QueryDefExists("Big"));  // stored by Append only
    session.QueryDefAppend(query);
    EXPECT_TRUE(session.QueryDefExists("big"));
    session.QueryDefExecute(session.QueryDefCreate("", "DELETE FROM Items WHERE Id = 4"), 128);
  }
  DaoSession session(directory_);
  session.DatabaseOpen("Shop");
  ASSERT_EQ(2, session.QueryDefCount());
  EXPECT_EQ("Big", session.QueryDefName(1));
  const DaoHandle rs = session.RecordSetQueryDefOpen(session.QueryDefOpen("Big"), kDaoOpenSnapshot, 0);
  int rows = 1;
  for (session.MoveNext(rs); !session.IsEOF(rs); session.MoveNext(rs)) ++rows;
  EXPECT_EQ(2, rows);  // ids 3 and 5
}

TEST_F(DaoStoreTest, RefusalsSayWhatWasWrongAndChangeNothing) {
  DaoSession s(directory_);
  const DaoHandle items = MakeShop(s, 2);
  FILE* junk = std::fopen(DaoDatabasePath(directory_, "Junk").c_str(), "wb");
  std::fputs("this is not a database file, not even close to one.............", junk);
  std::fclose(junk);
  const DaoHandle fresh = s.TableCreate("Fresh");  // no fields, not appended
  const DaoHandle rs = s.RecordSetTableOpen(items, kDaoOpenTable, 0);
  const DaoHandle adding = s.RecordSetTableOpen(items, kDaoOpenTable, 0);
  s.AddNew(adding);
  const DaoHandle snapshot = s.RecordSetTableOpen(items, kDaoOpenSnapshot, 0);
  const DaoHandle readOnly = s.RecordSetTableOpen(items, kDaoOpenDynaset, kDaoReadOnly);
  const DaoHandle forward = s.RecordSetTableOpen(items, kDaoOpenForwardOnly, 0);
  const DaoHandle cheap = s.QueryDefOpen("Cheap");
  const DaoHandle bare = s.TableCreate("Bare");
  s.CreateField(bare, "X", kDaoLong, 0, 0);
  s.TableAppend(bare);
  const DaoHandle none = s.RecordSetTableOpen(bare, kDaoOpenDynaset, 0);
  const DaoHandle cheapRs = s.RecordSetQueryDefOpen(cheap, kDaoOpenSnapshot, 0);
  const DaoHandle temporary = s.QueryDefCreate("", "DELETE FROM Items WHERE Id = 0");
  const struct {
    std::function<void()> call;
    std::string text;
  } refusals[] = {
      {[&] { s.DatabaseCreate("Shop"); }, "Database \"Shop\" already exists."},
      {[&] { s.DatabaseOpen("Nope"); }, "Database \"Nope\" does not exist."},
      {[&] { s.DatabaseOpen("Junk"); }, "file is not a database"},  // reported, not taken over
      {[&] { s.DatabaseCreate(""); }, "A database name must not be empty."},
      {[&] { s.DatabaseCreate("..\\up"); }, "contains a character that file names cannot hold"},
      {[&] { s.DatabaseCreate("nul"); }, "The database name \"nul\" is a device name."},
      {[&] { s.DatabaseExists("x."); }, "ends with a space or a dot"},
      {[&] { s.TableAppend(fresh); }, "Table \"Fresh\" has no fields; create at least one before appending it."},
      {[&] { s.RecordSetTableOpen(fresh, 1, 0); }, "Table \"Fresh\" has not been appended to the database yet."},
      {[&] { s.CreateField(fresh, "C", 5, 0, 0); }, "Field type 5 is not supported"},
      {[&] { s.CreateField(fresh, "T", kDaoText, 256, 0); }, "1 to 255"},
      {[&] { s.CreateField(fresh, "I", kDaoInteger, 4, 0); }, "Field \"I\" of type Integer has size 4; pass 0 or 2."},
      {[&] { s.CreateField(fresh, "a.b", kDaoLong, 0, 0); }, "cannot hold"},
      {[&] { s.CreateField(items, "ID", kDaoLong, 0, 0); }, "Table \"Items\" already has a field named \"ID\"."},
      {[&] { s.TableCreate("sqlite_x"); }, "The table name \"sqlite_x\" is reserved for the server's own bookkeeping."},
      {[&] { s.TableCreate("items"); }, "Table \"items\" already exists in database \"Shop\"."},
      {[&] { s.TableAppend(items); }, "Table \"Items\" is already part of database \"Shop\"."},
      {[&] { s.TableOpen("Nope"); }, "Table \"Nope\" does not exist in database \"Shop\"."},
      {[&] { s.RecordSetTableOpen(items, 16, 0); }, "Open type 16"},
      {[&] { s.RecordSetTableOpen(items, 1, 0x10000); }, "options"},
      {[&] { s.MoveFirst(none); }, "No current record: the record set is empty."},
      {[&] { s.MoveNext(none); }, "past its last record"},
      {[&] { s.Delete(none); }, "No current record to delete."},
      {[&] { s.Update(rs); }, "Update without AddNew: there is no new record to store."},
      {[&] { s.SetFieldValue(rs, 0, Long(1)); }, "A field value can only be set on a new record: call AddNew first."},
      {[&] { s.AddNew(adding); }, "AddNew was already called: store the new record with Update first."},
      {[&] { s.SetFieldValue(adding, 5, Long(1)); }, "There is no field number 5 in table \"Items\": it has 5 fields."},
      {[&] { s.SetFieldValueString(adding, 1, "eleven char"); },
       "The text for field \"Name\" has 11 characters; the field holds at most 10."},
      {[&] { s.SetFieldValue(adding, 4, Long(40000)); }, "The value for field \"Small\" (Integer) is out of the field's range."},
      {[&] { s.SetFieldValue(adding, 2, Long(1)); }, "takes a byte array"},
      {[&] { s.SetFieldValue(adding, 3, Value(VT_DATE, 3e6)); }, "years 100 to 9999"},
      {[&] { s.AddNew(snapshot); }, "read-only"},
      {[&] { s.Delete(snapshot); }, "read-only"},
      {[&] { s.AddNew(readOnly); }, "read-only"},
      {[&] { s.AddNew(cheapRs); }, "read-only"},
      {[&] { s.MovePrev(forward); }, "MovePrev is not possible in a forward-only record set."},
      {[&] { s.QueryDefCreate("Bad", "SELEKT 1"); }, "is not valid"},
      {[&] { s.QueryDefCreate("Two", "DELETE FROM Items; DELETE FROM Items"); }, "more than one statement"},
      {[&] { s.QueryDefAppend(cheap); }, "already part"},
      {[&] { s.QueryDefAppend(temporary); }, "A query without a name is temporary and cannot be appended."},
      {[&] { s.QueryDefExecute(cheap, 0); }, "is a select query"},
      {[&] { s.QueryDefName(1); }, "no query number 1"},
      {[&] { s.RecordSetQueryDefOpen(cheap, kDaoOpenTable, 0); }, "for a query"},
      {[&] { s.MoveNext(items); }, "Handle " + std::to_string(items) + " is not an open record set."},
      {[&] { s.TableAppend(rs); }, "Handle " + std::to_string(rs) + " is not an open table."},
      {[&] { s.QueryDefExecute(0xFFFFFFFFul, 0); }, "Handle 4294967295 is not an open query."},
  };
  for (const auto& refusal : refusals)
    EXPECT_NE(std::string::npos, Raised(refusal.call).find(refusal.text)) << refusal.text;
  EXPECT_EQ(5u, s.TableFields(items).size());
  EXPECT_EQ(Is({"1", "2"}), StoredColumn(Shop(), "SELECT Id FROM Items"));
  EXPECT_EQ(Is({"Bare", "Items"}), StoredColumn(Shop(), "SELECT DISTINCT table_name FROM korvane_fielddefs ORDER BY 1"));
  // Closing the database ends its handles.
  s.DatabaseClose();
  EXPECT_EQ("No database is open on this connection: open or create one first.", Raised([&] { s.TableCreate("T"); }));
  s.DatabaseOpen("Shop");
  EXPECT_EQ("Handle " + std::to_string(rs) + " is not an open record set.", Raised([&] { s.IsEOF(rs); }));
}

// What a client's SQL cannot do: leave its database, change the server's bookkeeping, hold a
// transaction open.
TEST_F(DaoStoreTest, EverySqlEscapeIsRefusedWithItsReason) {
  DaoSession session(directory_);
  MakeShop(session, 3);
  const std::string copy = directory_ + "\\copy.db";
  // SQLite reads a view's tables only when the view is used: made it may be, used it may not.
  EXPECT_EQ(kNothing, RunClientSql(session, "CREATE VIEW peek AS SELECT * FROM korvane_fielddefs"));
  const std::string pragma = "PRAGMA statements are not allowed", reach = "out of a query's reach",
                    vacuum = "VACUUM is not allowed in a query", trigger = "triggers cannot be created",
                    own = "every query runs in a transaction of its own";
  const std::pair<std::string, std::string> escapes[] = {
      {"VACUUM INTO '" + copy + "'", vacuum}, {"/* tidy up */ vacuum main\n into '" + copy + "'", vacuum},
      {"EXPLAIN VACUUM", vacuum}, {"ATTACH DATABASE '" + copy + "' AS other", "ATTACH and DETACH are not allowed"},
      {"PRAGMA writable_schema = ON", pragma}, {"PRAGMA journal_mode = DELETE", pragma},
      {"SELECT name FROM pragma_table_info('Items')", pragma},
      {"CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN DELETE FROM Items; END", trigger},
      {"CREATE TEMP TRIGGER spoil AFTER INSERT ON Items BEGIN SELECT 1; END", trigger},
      {"CREATE TEMP TABLE korvane_querydefs (name, sql)", "temporary tables"},
      {"CREATE TEMP VIEW Items AS SELECT 1 AS Id", "temporary tables"},
      {"SELECT sql FROM korvane_querydefs", "the server's own tables are " + reach}, {"SELECT * FROM peek", reach},
      {"UPDATE korvane_fielddefs SET type = 1", reach}, {"INSERT INTO korvane_querydefs VALUES ('x', 'y')", reach},
      {"DELETE FROM korvane_querydefs", reach},
      {"DROP TABLE korvane_fielddefs", reach}, {"ALTER TABLE korvane_querydefs RENAME TO mine", reach},
      {"CREATE INDEX snoop ON korvane_querydefs (sql)", reach}, {"BEGIN IMMEDIATE", own}, {"SAVEPOINT hold", own},
  };
  for (const auto& [sql, reason] : escapes) {
    const std::string text = RunClientSql(session, sql);
    EXPECT_NE(std::string::npos, text.find(reason)) << sql << "\n  gave: " << text;
    EXPECT_EQ(std::string::npos, text.find("not authorized")) << "a refusal without its reason: " << text;
  }
  // None of it happened; the server's own writes and a client's plain SQL still work.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));
  AddItem(session, 4);
  EXPECT_EQ(Is({"4"}), StoredColumn(Shop(), "SELECT count(*) FROM Items"));
  EXPECT_EQ(Is({"Cheap"}), StoredColumn(Shop(), "SELECT name FROM korvane_querydefs"));
  EXPECT_EQ(Is({"5"}), StoredColumn(Shop(), "SELECT count(*) FROM korvane_fielddefs"));
  EXPECT_EQ(Is({"peek"}), StoredColumn(Shop(), "SELECT name FROM sqlite_master WHERE type IN ('trigger', 'view')"));
  EXPECT_EQ(kNothing, RunClientSql(session, "SELECT Id FROM Items WHERE Name IS NULL"));
  EXPECT_EQ(kNothing, RunClientSql(session, "CREATE VIEW Small AS SELECT Id FROM Items WHERE Id < 3"));
  EXPECT_EQ(Is({"wal"}), StoredColumn(Shop(), "PRAGMA journal_mode"));
}

TEST_F(DaoStoreTest, TriggersMadeElsewhereNeverFireInsideTheServersStatements) {
  {
    DaoSession session(directory_);
    MakeShop(session, 1);
  }
  // Made with another SQLite program, where nothing stops it.
  StoredColumn(Shop(), "CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN UPDATE korvane_querydefs SET sql = 'x'; END");
  DaoSession session(directory_);
  session.DatabaseOpen("Shop");
  AddItem(session, 2);
  EXPECT_EQ(Is({"SELECT Id FROM Items WHERE Id < 3"}), StoredColumn(Shop(), "SELECT sql FROM korvane_querydefs"));
}

TEST_F(DaoStoreTest, ARunawayQueryEndsAtItsDeadlineAndNeverHoldsOffTheWriters) {
  DaoSession runaway(directory_, DaoLimits{1500});
  MakeShop(runaway, 3);
  // Reads Items, so it holds a read transaction on the file while it runs.
  const DaoHandle forever = runaway.QueryDefCreate("Forever",
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n, (SELECT max(Id) FROM Items)");
  DaoSession writer(directory_);
  writer.DatabaseOpen("Shop");
  std::string text;
  HANDLE ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const ULONGLONG start = GetTickCount64();
  std::thread reader([&] {
    text = Raised([&] { runaway.RecordSetQueryDefOpen(forever, kDaoOpenSnapshot, 0); });
    SetEvent(ended);
  });
  Sleep(300);
  AddItem(writer, 10);  // a writer while the reader runs
  const bool writerWaited = WaitForSingleObject(ended, 0) == WAIT_OBJECT_0;
  if (WaitForSingleObject(ended, 60000) != WAIT_OBJECT_0) {  // fail a query without end at once, not hang
    std::printf("FAILED: a query without end did not end within 60 s\n");
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  reader.join();
  CloseHandle(ended);
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_EQ("Query \"Forever\" failed: it ran longer than 1500 ms, the longest one statement may run.", text);
  EXPECT_GE(elapsed, 1400u);
  EXPECT_LT(elapsed, 15000u);
  EXPECT_FALSE(writerWaited) << "the writer waited for the reader to end";
  // A runaway write ends the same way, leaves nothing behind and releases the file at once; the
  // connection goes on working.
  EXPECT_NE(std::string::npos, RunClientSql(runaway, "INSERT INTO Items (Id) WITH RECURSIVE n(i) AS (SELECT 100"
                                                     " UNION ALL SELECT i + 1 FROM n) SELECT i FROM n")
                                   .find("it ran longer than 1500 ms"));
  AddItem(writer, 11);
  EXPECT_EQ(Is({"5"}), StoredColumn(Shop(), "SELECT count(*) FROM Items"));
  EXPECT_EQ(kNothing, RunClientSql(runaway, "SELECT count(*) FROM Items"));
}

TEST_F(DaoStoreTest, RecordSetsAndHandlesHaveCeilings) {
  DaoSession session(directory_, DaoLimits{10000, 5, 4});
  session.TableClose(MakeShop(session, 5));
  const DaoHandle five = session.QueryDefCreate("", "SELECT Id FROM Items");
  const DaoHandle rs = session.RecordSetQueryDefOpen(five, kDaoOpenSnapshot, 0);
  const DaoHandle six = session.QueryDefCreate("Six", "SELECT Id FROM Items UNION ALL SELECT 6");
  EXPECT_EQ("Query \"Six\" returns more than 5 records, the most a record set holds; narrow it with WHERE or LIMIT.",
            Raised([&] { session.RecordSetQueryDefOpen(six, kDaoOpenSnapshot, 0); }));
  // Three handles open; one more fits, then every kind of opening stops.
  const DaoHandle table = session.TableOpen("Items");
  const char* full = "This connection already holds 4 open tables, record sets and queries, the most one"
                     " connection may hold: close some before opening more.";
  for (const std::function<void()>& open : std::vector<std::function<void()>>{
           [&] { session.TableOpen("Items"); }, [&] { session.TableCreate("More"); },
           [&] { session.QueryDefOpen("Cheap"); }, [&] { session.QueryDefCreate("", "SELECT 1"); },
           [&] { session.RecordSetTableOpen(table, kDaoOpenTable, 0); },
           [&] { session.RecordSetQueryDefOpen(five, kDaoOpenSnapshot, 0); }})
    EXPECT_EQ(full, Raised(open));
  session.RecordSetClose(rs);
  session.RecordSetClose(session.RecordSetTableOpen(table, kDaoOpenTable, 0));
}

}  // namespace
