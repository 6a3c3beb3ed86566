// The database server's storage, driven in-process: what a client's calls leave in the SQLite
// file, what they refuse, and what a client's SQL cannot do to the server. Refusals that the access
// layer's tables meet on their way (missing and existing names, empty record sets, AddNew and
// Update out of turn, bad SQL) are checked there, with the layer's message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "DaoDate.h"
#include "DaoStore.h"
#include "DaoTestSupport.h"

namespace {

const char kNothing[] = "(nothing raised)";
using Rows = std::vector<std::string>;

VARIANT Value(VARTYPE type, double value) {
  VARIANT v;
  v.vt = type;
  if (type == VT_DATE) v.date = value;
  else v.lVal = static_cast<long>(value);
  return v;
}
VARIANT Long(long value) { return Value(VT_I4, value); }

// Runs a client's SQL text as a client would: executed, or opened as a record set when it returns
// records. Returns what was raised.
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
  const DaoHandle table = session.TableOpen("Items"), rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
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

  // Database "Shop": a table "Items" (Id Long, Name Text(10), Data Long Binary, When Date, Small
  // Integer) of ids 1..rows, left open, and a stored query "Cheap".
  DaoHandle MakeShop(DaoSession& session, int rows) {
    session.DatabaseCreate("Shop");
    const DaoHandle table = session.TableCreate("Items");
    const std::pair<const char*, short> fields[] = {
        {"Id", kDaoLong}, {"Name", kDaoText}, {"Data", kDaoLongBinary}, {"When", kDaoDate}, {"Small", kDaoInteger}};
    for (const auto& [name, type] : fields) session.CreateField(table, name, type, type == kDaoText ? 10 : 0, 0);
    session.TableAppend(table);
    for (long id = 1; id <= rows; ++id) AddItem(session, id);
    const DaoHandle query = session.QueryDefCreate("Cheap", "SELECT Id FROM Items WHERE Id < 3");
    session.QueryDefAppend(query);
    session.QueryDefClose(query);
    return table;
  }
  Rows Stored(const std::string& sql) { return StoredColumn(DaoDatabasePath(directory_, "Shop"), sql); }

  std::string directory_;
};

TEST_F(DaoStoreTest, TableDefinitionsKeepTypesSizesAndOrdinals) {
  const short types[] = {kDaoBoolean, kDaoByte, kDaoInteger, kDaoLong, kDaoSingle, kDaoDouble, kDaoDate, kDaoText,
                         kDaoLongBinary, kDaoMemo, kDaoMemo};
  const std::string below = directory_ + "\\made\\below";
  {
    DaoSession session(below);
    session.DatabaseCreate("Types");  // makes the missing folders too
    const DaoHandle table = session.TableCreate("All");
    for (size_t i = 0; i < 10; ++i)
      session.CreateField(table, "F" + std::to_string(i), types[i], types[i] == kDaoText ? 40 : 0,
                          types[i] == kDaoLong ? 16 : 0);
    session.TableAppend(table);
    session.CreateField(table, "F10", kDaoMemo, 0, 0);  // added to a stored table: stored at once
  }
  DaoSession session(below);
  EXPECT_TRUE(session.DatabaseExists("Types"));
  session.DatabaseOpen("Types");
  ASSERT_EQ(1, session.TableDefCount());  // the bookkeeping tables stay hidden
  EXPECT_EQ("All", session.TableDefName(0));
  EXPECT_TRUE(session.TableExists("all"));
  const std::vector<DaoFieldDef> fields = session.TableFields(session.TableOpen("ALL"));
  const long sizes[] = {1, 1, 2, 4, 4, 8, 8, 40, 0, 0, 0};
  ASSERT_EQ(11u, fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ("F" + std::to_string(i), fields[i].name);
    EXPECT_EQ(types[i], fields[i].type);
    EXPECT_EQ(sizes[i], fields[i].size) << fields[i].name;
    EXPECT_EQ(fields[i].type == kDaoLong ? 16 : 0, fields[i].attributes);
  }
  EXPECT_EQ(Rows({"BOOLEAN", "TINYINT", "SMALLINT", "INTEGER", "REAL", "DOUBLE", "DATETIME", "VARCHAR(40)", "BLOB", "TEXT",
                  "TEXT"}),
            StoredColumn(DaoDatabasePath(below, "Types"), "SELECT type FROM pragma_table_info('All') ORDER BY cid"));
}

TEST_F(DaoStoreTest, RecordSetsMoveLikeDaoRecordSets) {
  DaoSession session(directory_);
  const DaoHandle table = MakeShop(session, 3);
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  EXPECT_FALSE(session.IsBOF(rs));  // on the first record
  session.MovePrev(rs);
  EXPECT_TRUE(session.IsBOF(rs) && !session.IsEOF(rs));
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
  EXPECT_EQ(Rows({"1"}), Stored("SELECT Id FROM Items"));
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
  VARIANT bytes = Value(VT_ARRAY | VT_UI1, 0);
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  std::memcpy(bytes.parray->pvData, "\x00\x7F\xFF", 3);
  session.SetFieldValue(rs, 2, bytes);
  VariantClear(&bytes);
  session.Update(rs);
  session.AddNew(rs);
  session.Update(rs);  // nothing set: a record of nulls
  EXPECT_EQ(Rows({"42 'ten chars!' X'' '2004-11-02 11:20:04.250' -32768", "NULL NULL X'007FFF' NULL NULL",
                  "NULL NULL NULL NULL NULL"}),
            Stored("SELECT quote(Id) || ' ' || quote(Name) || ' ' || quote(Data) || ' ' || quote(\"When\") || ' ' ||"
                   " quote(Small) FROM Items ORDER BY rowid"));
  // Dates before the variant epoch count their time forward from the day.
  std::string text;
  EXPECT_TRUE(daodate::OleDateToText(-1.25, text) && text == "1899-12-29 06:00:00") << text;
  EXPECT_TRUE(daodate::OleDateToText(daodate::OleDateFromParts(1899, 12, 29, 6, 0, 0), text) && text == "1899-12-29 06:00:00");
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
  const DaoHandle rs = s.RecordSetTableOpen(items, kDaoOpenTable, 0), adding = s.RecordSetTableOpen(items, kDaoOpenTable, 0);
  s.AddNew(adding);
  const DaoHandle snapshot = s.RecordSetTableOpen(items, kDaoOpenSnapshot, 0);
  const DaoHandle readOnly = s.RecordSetTableOpen(items, kDaoOpenDynaset, kDaoReadOnly);
  const DaoHandle forward = s.RecordSetTableOpen(items, kDaoOpenForwardOnly, 0);
  const DaoHandle cheap = s.QueryDefOpen("Cheap"), cheapRs = s.RecordSetQueryDefOpen(cheap, kDaoOpenSnapshot, 0);
  const struct {
    std::function<void()> call;
    std::string text;
  } refusals[] = {
      {[&] { s.DatabaseOpen("Junk"); }, "file is not a database"},  // reported, not taken over
      {[&] { s.DatabaseCreate("nul"); }, "The database name \"nul\" is a device name."},
      {[&] { s.DatabaseExists("x."); }, "ends with a space or a dot"},
      {[&] { s.CreateField(fresh, "T", kDaoText, 256, 0); }, "1 to 255"},
      {[&] { s.CreateField(fresh, "I", kDaoInteger, 4, 0); }, "Field \"I\" of type Integer has size 4; pass 0 or 2."},
      {[&] { s.CreateField(fresh, "a.b", kDaoLong, 0, 0); }, "cannot hold"},
      {[&] { s.CreateField(items, "ID", kDaoLong, 0, 0); }, "Table \"Items\" already has a field named \"ID\"."},
      {[&] { s.TableCreate("sqlite_x"); }, "The table name \"sqlite_x\" is reserved for the server's own bookkeeping."},
      {[&] { s.TableAppend(items); }, "Table \"Items\" is already part of database \"Shop\"."},
      {[&] { s.RecordSetTableOpen(items, 16, 0); }, "Open type 16"},
      {[&] { s.RecordSetTableOpen(items, 1, 0x10000); }, "options"},
      {[&] { s.SetFieldValue(rs, 0, Long(1)); }, "A field value can only be set on a new record: call AddNew first."},
      {[&] { s.SetFieldValue(adding, 4, Long(40000)); }, "The value for field \"Small\" (Integer) is out of the field's range."},
      {[&] { s.SetFieldValue(adding, 2, Long(1)); }, "takes a byte array"},
      {[&] { s.SetFieldValue(adding, 3, Value(VT_DATE, 3e6)); }, "years 100 to 9999"},
      {[&] { s.AddNew(snapshot); }, "read-only"}, {[&] { s.Delete(snapshot); }, "read-only"},
      {[&] { s.AddNew(readOnly); }, "read-only"}, {[&] { s.AddNew(cheapRs); }, "read-only"},
      {[&] { s.MovePrev(forward); }, "MovePrev is not possible in a forward-only record set."},
      {[&] { s.QueryDefCreate("Two", "DELETE FROM Items; DELETE FROM Items"); }, "more than one statement"},
      {[&] { s.QueryDefAppend(cheap); }, "already part"}, {[&] { s.QueryDefName(1); }, "no query number 1"},
      {[&] { s.RecordSetQueryDefOpen(cheap, kDaoOpenTable, 0); }, "for a query"},
      {[&] { s.MoveNext(items); }, "Handle " + std::to_string(items) + " is not an open record set."},
      {[&] { s.TableAppend(rs); }, "Handle " + std::to_string(rs) + " is not an open table."},
      {[&] { s.QueryDefExecute(0xFFFFFFFFul, 0); }, "Handle 4294967295 is not an open query."},
  };
  for (const auto& refusal : refusals) EXPECT_NE(std::string::npos, Raised(refusal.call).find(refusal.text)) << refusal.text;
  EXPECT_EQ(5u, s.TableFields(items).size());
  EXPECT_EQ(Rows({"1", "2"}), Stored("SELECT Id FROM Items"));
  EXPECT_EQ(Rows({"Items"}), Stored("SELECT DISTINCT table_name FROM korvane_fielddefs"));
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
                    own = "every query runs in a transaction of its own", temporary = "temporary tables";
  const std::pair<std::string, std::string> escapes[] = {
      {"VACUUM INTO '" + copy + "'", vacuum}, {"/* tidy up */ vacuum main\n into '" + copy + "'", vacuum},
      {"EXPLAIN VACUUM", vacuum}, {"ATTACH DATABASE '" + copy + "' AS other", "ATTACH and DETACH are not allowed"},
      {"PRAGMA writable_schema = ON", pragma}, {"PRAGMA journal_mode = DELETE", pragma},
      {"SELECT name FROM pragma_table_info('Items')", pragma},
      {"CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN DELETE FROM Items; END", trigger},
      {"CREATE TEMP TRIGGER spoil AFTER INSERT ON Items BEGIN SELECT 1; END", trigger},
      {"CREATE TEMP TABLE korvane_querydefs (name, sql)", temporary}, {"CREATE TEMP VIEW Items AS SELECT 1 AS Id", temporary},
      {"SELECT sql FROM korvane_querydefs", "the server's own tables are " + reach}, {"SELECT * FROM peek", reach},
      {"UPDATE korvane_fielddefs SET type = 1", reach}, {"INSERT INTO korvane_querydefs VALUES ('x', 'y')", reach},
      {"DELETE FROM korvane_querydefs", reach}, {"DROP TABLE korvane_fielddefs", reach},
      {"ALTER TABLE korvane_querydefs RENAME TO mine", reach}, {"CREATE INDEX snoop ON korvane_querydefs (sql)", reach},
      {"BEGIN IMMEDIATE", own}, {"SAVEPOINT hold", own}};
  for (const auto& [sql, reason] : escapes) {
    const std::string text = RunClientSql(session, sql);
    EXPECT_NE(std::string::npos, text.find(reason)) << sql << "\n  gave: " << text;
    EXPECT_EQ(std::string::npos, text.find("not authorized")) << "a refusal without its reason: " << text;
  }
  // None of it happened; the server's own writes and a client's plain SQL still work.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(copy.c_str()));
  AddItem(session, 4);
  EXPECT_EQ(Rows({"4"}), Stored("SELECT count(*) FROM Items"));
  EXPECT_EQ(Rows({"Cheap"}), Stored("SELECT name FROM korvane_querydefs"));
  EXPECT_EQ(Rows({"5"}), Stored("SELECT count(*) FROM korvane_fielddefs"));
  EXPECT_EQ(Rows({"peek"}), Stored("SELECT name FROM sqlite_master WHERE type IN ('trigger', 'view')"));
  EXPECT_EQ(kNothing, RunClientSql(session, "SELECT Id FROM Items WHERE Name IS NULL"));
  EXPECT_EQ(kNothing, RunClientSql(session, "CREATE VIEW Small AS SELECT Id FROM Items WHERE Id < 3"));
  EXPECT_EQ(Rows({"wal"}), Stored("PRAGMA journal_mode"));
}

TEST_F(DaoStoreTest, TriggersMadeElsewhereNeverFireInsideTheServersStatements) {
  DaoSession session(directory_);
  MakeShop(session, 1);
  session.DatabaseClose();
  // Made with another SQLite program, where nothing stops it.
  Stored("CREATE TRIGGER spoil AFTER INSERT ON Items BEGIN UPDATE korvane_querydefs SET sql = 'x'; END");
  session.DatabaseOpen("Shop");
  AddItem(session, 2);
  EXPECT_EQ(Rows({"SELECT Id FROM Items WHERE Id < 3"}), Stored("SELECT sql FROM korvane_querydefs"));
}

TEST_F(DaoStoreTest, ARunawayQueryEndsAtItsDeadlineAndNeverHoldsOffTheWriters) {
  DaoSession runaway(directory_, DaoLimits{1500}), writer(directory_);
  MakeShop(runaway, 3);
  writer.DatabaseOpen("Shop");
  // Reads Items, so it holds a read transaction on the file while it runs.
  const DaoHandle forever = runaway.QueryDefCreate("Forever", "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1"
                                                              " FROM n) SELECT count(*) FROM n, (SELECT max(Id) FROM Items)");
  const ULONGLONG start = GetTickCount64();
  std::future<std::string> reader = std::async(std::launch::async, [&] {
    return Raised([&] { runaway.RecordSetQueryDefOpen(forever, kDaoOpenSnapshot, 0); });
  });
  Sleep(300);
  AddItem(writer, 10);  // a writer while the reader runs
  const bool writerWaited = reader.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  if (reader.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {  // fail at once, not hang
    std::printf("FAILED: a query without end did not end within 60 s\n");
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  EXPECT_EQ("Query \"Forever\" failed: it ran longer than 1500 ms, the longest one statement may run.", reader.get());
  EXPECT_TRUE(GetTickCount64() - start >= 1400 && GetTickCount64() - start < 15000);
  EXPECT_FALSE(writerWaited) << "the writer waited for the reader to end";
  // A runaway write ends the same way, leaves nothing behind and releases the file at once; the
  // connection goes on working.
  EXPECT_NE(std::string::npos, RunClientSql(runaway, "INSERT INTO Items (Id) WITH RECURSIVE n(i) AS (SELECT 100"
                                                     " UNION ALL SELECT i + 1 FROM n) SELECT i FROM n")
                                   .find("it ran longer than 1500 ms"));
  AddItem(writer, 11);
  EXPECT_EQ(Rows({"5"}), Stored("SELECT count(*) FROM Items"));
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
  for (const std::function<void()>& open : std::vector<std::function<void()>>{
           [&] { session.TableOpen("Items"); }, [&] { session.TableCreate("More"); }, [&] { session.QueryDefOpen("Cheap"); },
           [&] { session.QueryDefCreate("", "SELECT 1"); }, [&] { session.RecordSetTableOpen(table, kDaoOpenTable, 0); },
           [&] { session.RecordSetQueryDefOpen(five, kDaoOpenSnapshot, 0); }})
    EXPECT_EQ("This connection already holds 4 open tables, record sets and queries, the most one connection may hold:"
              " close some before opening more.",
              Raised(open));
  session.RecordSetClose(rs);
  session.RecordSetClose(session.RecordSetTableOpen(table, kDaoOpenTable, 0));
}

}  // namespace
