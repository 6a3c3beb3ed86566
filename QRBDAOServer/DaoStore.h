// The storage behind the database server: one SQLite file per database
// name, table definitions built field by field, record sets that add,
// delete and move over a table's rows or a query's result, and query
// definitions kept in the database. A DaoSession is one client connection's
// state; every failure raises a char* text (Win32/ErrorText.h) that says
// what was wrong.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

// The DAO data-type numbers a field can be created with.
enum DaoFieldType : short {
  kDaoBoolean = 1,
  kDaoByte = 2,
  kDaoInteger = 3,
  kDaoLong = 4,
  kDaoSingle = 6,
  kDaoDouble = 7,
  kDaoDate = 8,
  kDaoText = 10,
  kDaoLongBinary = 11,
  kDaoMemo = 12,
};

// Record-set open types and the options the server acts on.
enum : long {
  kDaoOpenTable = 1,
  kDaoOpenDynaset = 2,
  kDaoOpenSnapshot = 4,
  kDaoOpenForwardOnly = 8,
  kDaoReadOnly = 4,
  kDaoAppendOnly = 8,
  kDaoForwardOnly = 256,
};

struct DaoFieldDef {
  std::string name;
  short type = 0;
  long size = 0;
  long attributes = 0;
};

// A field value converted for storage.
struct DaoValue {
  enum Kind { Null, Integer, Real, Text, Blob } kind = Null;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // Text: UTF-8; Blob: the bytes as given
};

using DaoHandle = unsigned long;

// What one connection may take of the server. A client that goes past a
// limit gets an error that names it; the connection stays usable.
struct DaoLimits {
  // The longest one statement may run, a client's or the server's own on
  // its behalf.
  DWORD statementMs = 10000;
  // The most records a record set over a query may hold.
  long recordSetRows = 1000000;
  // The most tables, record sets and queries one connection may hold open.
  unsigned handles = 1024;
};

// The file a database name is kept in, below directory.
std::string DaoDatabasePath(const std::string& directory, const std::string& name);

class DaoSession {
 public:
  // directory: where the database files live; made when the first database
  // is created.
  explicit DaoSession(std::string directory, DaoLimits limits = {});
  ~DaoSession();
  DaoSession(const DaoSession&) = delete;
  DaoSession& operator=(const DaoSession&) = delete;

  void CompactDatabase(const std::string& name);
  bool DatabaseExists(const std::string& name);
  void DatabaseCreate(const std::string& name);
  void DatabaseOpen(const std::string& name);
  void DatabaseClose();
  // Raises unless a database is open.
  void RequireOpen() const;

  unsigned short TableDefCount();
  std::string TableDefName(long index);
  unsigned short QueryDefCount();
  std::string QueryDefName(long index);

  bool TableExists(const std::string& name);
  DaoHandle TableOpen(const std::string& name);
  DaoHandle TableCreate(const std::string& name);
  void TableClose(DaoHandle table);
  void CreateField(DaoHandle table, const std::string& name, short type, long size,
                   long attributes);
  void TableAppend(DaoHandle table);
  // The fields of an open table, in ordinal order.
  std::vector<DaoFieldDef> TableFields(DaoHandle table);

  DaoHandle RecordSetTableOpen(DaoHandle table, long openType, long options);
  DaoHandle RecordSetQueryDefOpen(DaoHandle query, long openType, long options);
  void RecordSetClose(DaoHandle recordSet);
  void AddNew(DaoHandle recordSet);
  void Update(DaoHandle recordSet);
  void Delete(DaoHandle recordSet);
  void MoveFirst(DaoHandle recordSet);
  void MoveLast(DaoHandle recordSet);
  void MoveNext(DaoHandle recordSet);
  void MovePrev(DaoHandle recordSet);
  void SetFieldValue(DaoHandle recordSet, long ordinal, const VARIANT& value);
  void SetFieldValueString(DaoHandle recordSet, long ordinal, const std::string& value);
  bool IsBOF(DaoHandle recordSet);
  bool IsEOF(DaoHandle recordSet);
  // The current record's field as a variant (VariantInit'ed by the caller),
  // of a record set over a table; a record set over a query keeps no rows
  // to read.
  void GetFieldValue(DaoHandle recordSet, long ordinal, VARIANT* value);
  // A table's rowid; a query's row number.
  long GetBookmark(DaoHandle recordSet);
  void SetBookmark(DaoHandle recordSet, long bookmark);

  bool QueryDefExists(const std::string& name);
  DaoHandle QueryDefCreate(const std::string& name, const std::string& sql);
  DaoHandle QueryDefOpen(const std::string& name);
  void QueryDefClose(DaoHandle query);
  void QueryDefAppend(DaoHandle query);
  void QueryDefExecute(DaoHandle query, long options);

  // One SQLite connection (defined with the session).
  struct Connection;

 private:
  struct Table;
  struct RecordSet;
  struct Query;

  Connection& Db();
  // Raises when the connection holds as many handles as it may.
  void RequireHandleRoom();
  Table& TableFor(DaoHandle handle);
  RecordSet& RecordSetFor(DaoHandle handle);
  Query& QueryFor(DaoHandle handle);
  std::vector<DaoFieldDef> LoadFields(const std::string& table);
  std::optional<std::string> StoredTableName(const std::string& name);
  std::optional<int64_t> Neighbour(const RecordSet& rs, const char* aggregate,
                                   const char* comparison, int64_t from);
  std::optional<DaoValue>& PendingValue(DaoHandle recordSet, long ordinal,
                                        const DaoFieldDef** field);

  std::string directory_;
  DaoLimits limits_;
  std::string openName_;
  std::unique_ptr<Connection> db_;
  std::map<DaoHandle, std::unique_ptr<Table>> tables_;
  std::map<DaoHandle, std::unique_ptr<RecordSet>> recordSets_;
  std::map<DaoHandle, std::unique_ptr<Query>> queries_;
};
