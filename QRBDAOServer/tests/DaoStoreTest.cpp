// The database server's storage, driven in-process: what a client's calls
// leave in the SQLite file, and what they refuse.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>

#include "DaoDate.h"
#include "DaoStore.h"
#include "DaoTestSupport.h"

namespace {

std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (char* text) {
    return text;
  }
  return "(nothing raised)";
}

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT Date(double value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DATE;
  v.date = value;
  return v;
}

// Reads the stored file directly, as any SQLite program would.
class StoredFile {
 public:
  explicit StoredFile(const std::string& path) {
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr));
  }
  ~StoredFile() { sqlite3_close(db_); }
  // The first column of each row, as text ("NULL" for a null).
  std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr)) << sql;
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      values.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(stmt);
    return values;
  }

 private:
  sqlite3* db_ = nullptr;
};

class DaoStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_ = MakeTempDirectory("daostore"); }
  void TearDown() override { RemoveDirectoryTree(directory_); }

  // A database "Shop" with a table "Items" of a Long, a Text(10) and a
  // Long Binary field, holding ids 1..rows.
  DaoHandle MakeItems(DaoSession& session, int rows) {
    session.DatabaseCreate("Shop");
    const DaoHandle table = session.TableCreate("Items");
    session.CreateField(table, "Id", kDaoLong, 0, 0);
    session.CreateField(table, "Name", kDaoText, 10, 0);
    session.CreateField(table, "Data", kDaoLongBinary, 0, 0);
    session.TableAppend(table);
    const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
    for (int id = 1; id <= rows; ++id) {
      session.AddNew(rs);
      session.SetFieldValue(rs, 0, Long(id));
      session.Update(rs);
    }
    session.RecordSetClose(rs);
    return table;
  }

  std::string Path(const char* name) { return DaoDatabasePath(directory_, name); }

  std::string directory_;
};

TEST_F(DaoStoreTest, DatabasesAreFilesThatAreCreatedOnceAndOpenedLater) {
  DaoSession session(directory_ + "\\made\\below");
  EXPECT_FALSE(session.DatabaseExists("Log"));
  EXPECT_EQ("Database \"Log\" does not exist.", Raised([&] { session.DatabaseOpen("Log"); }));
  session.DatabaseCreate("Log");  // makes the missing folders too
  EXPECT_TRUE(session.DatabaseExists("Log"));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES,
            GetFileAttributesA((directory_ + "\\made\\below\\Log.db").c_str()));
  EXPECT_EQ("Database \"Log\" already exists.", Raised([&] { session.DatabaseCreate("Log"); }));
  session.DatabaseClose();
  EXPECT_EQ("No database is open on this connection: open or create one first.",
            Raised([&] { session.TableCreate("T"); }));
  session.DatabaseOpen("Log");
  EXPECT_EQ(0, session.TableDefCount());
  session.CompactDatabase("Log");
}

TEST_F(DaoStoreTest, DatabaseNamesThatAreNoFileNamesAreRefused) {
  DaoSession session(directory_);
  EXPECT_EQ("A database name must not be empty.", Raised([&] { session.DatabaseCreate(""); }));
  EXPECT_NE(std::string::npos, Raised([&] { session.DatabaseCreate("..\\up"); })
                                   .find("contains a character that file names cannot hold"));
  EXPECT_EQ("The database name \"nul\" is a device name.",
            Raised([&] { session.DatabaseCreate("nul"); }));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.DatabaseExists("x."); }).find("ends with a space or a dot"));
  // A file that is no database is reported, not taken over.
  const std::string junk = Path("Junk");
  FILE* file = std::fopen(junk.c_str(), "wb");
  std::fputs("this is not a database file, not even close to one.............", file);
  std::fclose(file);
  EXPECT_NE(std::string::npos,
            Raised([&] { session.DatabaseOpen("Junk"); }).find("file is not a database"));
}

TEST_F(DaoStoreTest, TableDefinitionsKeepTypesSizesAndOrdinals) {
  {
    DaoSession session(directory_);
    session.DatabaseCreate("Types");
    const DaoHandle table = session.TableCreate("All");
    const short types[] = {kDaoBoolean, kDaoByte, kDaoInteger, kDaoLong, kDaoSingle,
                           kDaoDouble,  kDaoDate, kDaoText,    kDaoLongBinary, kDaoMemo};
    for (short type : types)
      session.CreateField(table, "F" + std::to_string(type), type, type == kDaoText ? 40 : 0,
                          type == kDaoLong ? 16 : 0);
    EXPECT_EQ("Table \"All\" has not been appended to the database yet.",
              Raised([&] { session.RecordSetTableOpen(table, 1, 0); }));
    session.TableAppend(table);
    EXPECT_EQ("Table \"All\" is already part of database \"Types\".",
              Raised([&] { session.TableAppend(table); }));
  }
  DaoSession session(directory_);
  session.DatabaseOpen("Types");
  ASSERT_EQ(1, session.TableDefCount());  // the bookkeeping tables stay hidden
  EXPECT_EQ("All", session.TableDefName(0));
  EXPECT_TRUE(session.TableExists("all"));
  const std::vector<DaoFieldDef> fields = session.TableFields(session.TableOpen("ALL"));
  const long sizes[] = {1, 1, 2, 4, 4, 8, 8, 40, 0, 0};
  ASSERT_EQ(10u, fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ("F" + std::to_string(fields[i].type), fields[i].name);
    EXPECT_EQ(sizes[i], fields[i].size) << fields[i].name;
    EXPECT_EQ(fields[i].type == kDaoLong ? 16 : 0, fields[i].attributes);
  }
  StoredFile stored(Path("Types"));
  EXPECT_EQ((std::vector<std::string>{"BOOLEAN", "TINYINT", "SMALLINT", "INTEGER", "REAL",
                                      "DOUBLE", "DATETIME", "VARCHAR(40)", "BLOB", "TEXT"}),
            stored.Column("SELECT type FROM pragma_table_info('All') ORDER BY cid"));
}

TEST_F(DaoStoreTest, BadFieldDefinitionsAreRefusedAndChangeNothing) {
  DaoSession session(directory_);
  session.DatabaseCreate("Bad");
  const DaoHandle table = session.TableCreate("T");
  EXPECT_EQ("Table \"T\" has no fields; create at least one before appending it.",
            Raised([&] { session.TableAppend(table); }));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.CreateField(table, "C", 5, 0, 0); }).find("Field type 5 is not supported"));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.CreateField(table, "T", kDaoText, 256, 0); }).find("1 to 255"));
  EXPECT_EQ("Field \"I\" of type Integer has size 4; pass 0 or 2.",
            Raised([&] { session.CreateField(table, "I", kDaoInteger, 4, 0); }));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.CreateField(table, "a.b", kDaoLong, 0, 0); }).find("cannot hold"));
  session.CreateField(table, "Id", kDaoLong, 0, 0);
  EXPECT_EQ("Table \"T\" already has a field named \"ID\".",
            Raised([&] { session.CreateField(table, "ID", kDaoLong, 0, 0); }));
  EXPECT_EQ("The table name \"sqlite_x\" is reserved for the server's own bookkeeping.",
            Raised([&] { session.TableCreate("sqlite_x"); }));
  session.TableAppend(table);
  EXPECT_EQ("Table \"t\" already exists in database \"Bad\".",
            Raised([&] { session.TableCreate("t"); }));
  // A field added to a stored table is stored at once.
  session.CreateField(table, "Later", kDaoMemo, 0, 0);
  EXPECT_EQ(2u, session.TableFields(session.TableOpen("T")).size());
  EXPECT_EQ(1u, StoredFile(Path("Bad")).Column("SELECT 1 FROM korvane_fielddefs WHERE field_name='Later'").size());
}

TEST_F(DaoStoreTest, RecordSetsMoveLikeDaoRecordSets) {
  DaoSession session(directory_);
  const DaoHandle table = MakeItems(session, 0);
  const DaoHandle empty = session.RecordSetTableOpen(table, kDaoOpenDynaset, 0);
  EXPECT_TRUE(session.IsBOF(empty));
  EXPECT_TRUE(session.IsEOF(empty));
  EXPECT_EQ("No current record: the record set is empty.", Raised([&] { session.MoveFirst(empty); }));
  EXPECT_NE(std::string::npos, Raised([&] { session.MoveNext(empty); }).find("past its last record"));
  EXPECT_EQ("No current record to delete.", Raised([&] { session.Delete(empty); }));
  session.RecordSetClose(empty);

  const DaoHandle adder = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  for (long id = 1; id <= 3; ++id) {
    session.AddNew(adder);
    session.SetFieldValue(adder, 0, Long(id));
    session.Update(adder);
  }
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
  EXPECT_EQ((std::vector<std::string>{"1"}), StoredFile(Path("Shop")).Column("SELECT Id FROM Items"));
}

TEST_F(DaoStoreTest, NewRecordsNeedAddNewAndFittingValues) {
  DaoSession session(directory_);
  const DaoHandle table = MakeItems(session, 0);
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  EXPECT_EQ("Update without AddNew: there is no new record to store.",
            Raised([&] { session.Update(rs); }));
  EXPECT_EQ("A field value can only be set on a new record: call AddNew first.",
            Raised([&] { session.SetFieldValue(rs, 0, Long(1)); }));
  session.AddNew(rs);
  EXPECT_EQ("AddNew was already called: store the new record with Update first.",
            Raised([&] { session.AddNew(rs); }));
  EXPECT_EQ("There is no field number 3 in table \"Items\": it has 3 fields.",
            Raised([&] { session.SetFieldValue(rs, 3, Long(1)); }));
  EXPECT_EQ("The text for field \"Name\" has 11 characters; the field holds at most 10.",
            Raised([&] { session.SetFieldValueString(rs, 1, "eleven char"); }));
  session.SetFieldValueString(rs, 0, "42");  // numbers may come as text
  session.SetFieldValueString(rs, 1, "ten chars!");
  session.SetFieldValueString(rs, 2, "");  // an empty byte array, not a null
  session.Update(rs);
  session.AddNew(rs);
  session.Update(rs);  // nothing set: a record of nulls
  StoredFile stored(Path("Shop"));
  EXPECT_EQ((std::vector<std::string>{"42 ten chars! blob 0", "NULL"}),
            stored.Column("SELECT coalesce(Id || ' ' || Name || ' ' || typeof(Data) || ' ' ||"
                          " length(Data), 'NULL') FROM Items ORDER BY rowid"));
}

TEST_F(DaoStoreTest, VariantValuesAreConvertedToTheFieldsType) {
  DaoSession session(directory_);
  session.DatabaseCreate("V");
  const DaoHandle table = session.TableCreate("T");
  session.CreateField(table, "When", kDaoDate, 8, 0);
  session.CreateField(table, "Small", kDaoInteger, 2, 0);
  session.CreateField(table, "Bytes", kDaoLongBinary, 0, 0);
  session.TableAppend(table);
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  session.AddNew(rs);
  session.SetFieldValue(rs, 0, Date(daodate::OleDateFromParts(2004, 11, 2, 11, 20, 4, 250)));
  EXPECT_EQ("The value for field \"Small\" (Integer) is out of the field's range.",
            Raised([&] { session.SetFieldValue(rs, 1, Long(40000)); }));
  session.SetFieldValue(rs, 1, Long(-32768));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.SetFieldValue(rs, 2, Long(1)); }).find("takes a byte array"));
  VARIANT bytes;
  VariantInit(&bytes);
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  unsigned char* data = nullptr;
  SafeArrayAccessData(bytes.parray, reinterpret_cast<void**>(&data));
  data[0] = 0;
  data[1] = 0x7F;
  data[2] = 0xFF;
  SafeArrayUnaccessData(bytes.parray);
  session.SetFieldValue(rs, 2, bytes);
  VariantClear(&bytes);
  EXPECT_NE(std::string::npos,
            Raised([&] { session.SetFieldValue(rs, 0, Date(3e6)); }).find("years 100 to 9999"));
  session.Update(rs);
  EXPECT_EQ((std::vector<std::string>{"2004-11-02 11:20:04.250|-32768|007FFF"}),
            StoredFile(Path("V")).Column("SELECT \"When\" || '|' || Small || '|' || hex(Bytes) FROM T"));
  // Dates before the variant epoch count their time forward from the day.
  std::string text;
  ASSERT_TRUE(daodate::OleDateToText(-1.25, text));
  EXPECT_EQ("1899-12-29 06:00:00", text);
  ASSERT_TRUE(daodate::OleDateToText(daodate::OleDateFromParts(1899, 12, 29, 6, 0, 0), text));
  EXPECT_EQ("1899-12-29 06:00:00", text);
}

TEST_F(DaoStoreTest, SnapshotsForwardOnlyAndReadOnlyRecordSetsRefuseChanges) {
  DaoSession session(directory_);
  const DaoHandle table = MakeItems(session, 2);
  const DaoHandle snapshot = session.RecordSetTableOpen(table, kDaoOpenSnapshot, 0);
  EXPECT_NE(std::string::npos, Raised([&] { session.AddNew(snapshot); }).find("read-only"));
  EXPECT_NE(std::string::npos, Raised([&] { session.Delete(snapshot); }).find("read-only"));
  const DaoHandle forward = session.RecordSetTableOpen(table, kDaoOpenForwardOnly, 0);
  EXPECT_EQ("MovePrev is not possible in a forward-only record set.",
            Raised([&] { session.MovePrev(forward); }));
  session.MoveNext(forward);
  session.MoveNext(forward);
  EXPECT_TRUE(session.IsEOF(forward));
  const DaoHandle readOnly = session.RecordSetTableOpen(table, kDaoOpenDynaset, kDaoReadOnly);
  EXPECT_NE(std::string::npos, Raised([&] { session.AddNew(readOnly); }).find("read-only"));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.RecordSetTableOpen(table, 16, 0); }).find("Open type 16"));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.RecordSetTableOpen(table, 1, 0x10000); }).find("options"));
}

TEST_F(DaoStoreTest, QueriesAreStoredExecutedAndOpened) {
  {
    DaoSession session(directory_);
    MakeItems(session, 5);
    EXPECT_NE(std::string::npos,
              Raised([&] { session.QueryDefCreate("Bad", "SELEKT 1"); }).find("is not valid"));
    EXPECT_NE(std::string::npos,
              Raised([&] { session.QueryDefCreate("Two", "DELETE FROM Items; DELETE FROM Items"); })
                  .find("more than one statement"));
    const DaoHandle query = session.QueryDefCreate("Big", "SELECT * FROM Items WHERE Id > 2");
    EXPECT_FALSE(session.QueryDefExists("Big"));  // stored by Append only
    session.QueryDefAppend(query);
    EXPECT_TRUE(session.QueryDefExists("big"));
    EXPECT_NE(std::string::npos, Raised([&] { session.QueryDefAppend(query); }).find("already part"));
    const DaoHandle temporary = session.QueryDefCreate("", "DELETE FROM Items WHERE Id = 1");
    EXPECT_EQ("A query without a name is temporary and cannot be appended.",
              Raised([&] { session.QueryDefAppend(temporary); }));
    session.QueryDefExecute(temporary, 128);
    EXPECT_NE(std::string::npos,
              Raised([&] { session.QueryDefExecute(query, 0); }).find("is a select query"));
    const DaoHandle sneaky = session.QueryDefCreate("", "SELECT 1");
    EXPECT_NE(std::string::npos,
              Raised([&] { session.QueryDefCreate("", "DELETE FROM korvane_querydefs"); })
                  .find("the server's own tables are out of a query's reach"));
    session.QueryDefClose(sneaky);
  }
  DaoSession session(directory_);
  session.DatabaseOpen("Shop");
  ASSERT_EQ(1, session.QueryDefCount());
  EXPECT_EQ("Big", session.QueryDefName(0));
  EXPECT_NE(std::string::npos, Raised([&] { session.QueryDefName(1); }).find("no query number 1"));
  const DaoHandle query = session.QueryDefOpen("Big");
  const DaoHandle rs = session.RecordSetQueryDefOpen(query, kDaoOpenSnapshot, 0);
  int rows = 1;
  for (session.MoveNext(rs); !session.IsEOF(rs); session.MoveNext(rs)) ++rows;
  EXPECT_EQ(3, rows);  // ids 3, 4, 5
  EXPECT_NE(std::string::npos, Raised([&] { session.AddNew(rs); }).find("read-only"));
  EXPECT_NE(std::string::npos,
            Raised([&] { session.RecordSetQueryDefOpen(query, kDaoOpenTable, 0); }).find("for a query"));
}

TEST_F(DaoStoreTest, HandlesAreCheckedByKindAndDieWithTheirDatabase) {
  DaoSession session(directory_);
  const DaoHandle table = MakeItems(session, 1);
  const DaoHandle rs = session.RecordSetTableOpen(table, kDaoOpenTable, 0);
  EXPECT_NE(0ul, table);
  EXPECT_NE(0xFFFFFFFFul, table);
  EXPECT_NE(table, rs);
  EXPECT_EQ("Handle " + std::to_string(table) + " is not an open record set.",
            Raised([&] { session.MoveNext(table); }));
  EXPECT_EQ("Handle " + std::to_string(rs) + " is not an open table.",
            Raised([&] { session.TableAppend(rs); }));
  EXPECT_EQ("Handle 4294967295 is not an open query.",
            Raised([&] { session.QueryDefExecute(0xFFFFFFFFul, 0); }));
  session.DatabaseClose();
  session.DatabaseOpen("Shop");
  EXPECT_EQ("Handle " + std::to_string(rs) + " is not an open record set.",
            Raised([&] { session.IsEOF(rs); }));
  EXPECT_EQ("Table \"Nope\" does not exist in database \"Shop\".",
            Raised([&] { session.TableOpen("Nope"); }));
}

}  // namespace
