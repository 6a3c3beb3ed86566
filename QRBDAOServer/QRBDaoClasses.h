// The access layer over the database server (IQRBDAO): a workspace, a
// database, a table, a record set and a query. Each operation checks its
// arguments, makes its call, and turns a failed call into an assertion
// text that carries the database server's own explanation after it
// (RaiseComponentError). Failures are raised as char* texts.
//
// A DaoWorkspace and each DaoDatabase hold their own connection (their own
// server object). Tables, record sets and queries borrow the connection of
// the DaoDatabase they were made on, which must outlive them; they close
// what they hold when destroyed.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "QRBConsoleComponent.h"
#include "QRBDAO.h"
#include "Win32/Holders.h"

// The handle value of an object that holds no handle; never sent to the
// server.
constexpr unsigned long kNoDaoHandle = 0xFFFFFFFFul;

class DaoWorkspace {
 public:
  // Connects to the database server.
  DaoWorkspace();
  DaoWorkspace(const DaoWorkspace&) = delete;
  DaoWorkspace& operator=(const DaoWorkspace&) = delete;

  void CompactDatabase(const char* dbname);

 private:
  // The connection outlives its console interface: declared first, it is
  // released last.
  ComPtr<IQRBDAO> pIQRBDAO;
  ComPtr<IQRBConsoleComponent> pConsoleComponent;
};

class DaoDatabase {
 public:
  // Connects to the database server.
  DaoDatabase();
  // Works on a connection the caller already has (an in-process server
  // object, for one); the database takes a reference of its own. Given
  // null, the database is not initialized and every operation says so.
  explicit DaoDatabase(IQRBDAO* connection);
  // Closes the database if it is open; a failure there is dropped.
  ~DaoDatabase();
  DaoDatabase(const DaoDatabase&) = delete;
  DaoDatabase& operator=(const DaoDatabase&) = delete;

  bool Exists(const char* dbname);
  // Create and Open close the database this object had open first.
  void Create(const char* dbname);
  void Open(const char* dbname);
  void Close();
  bool IsOpen() const { return isOpen != 0; }

  unsigned short GetTableDefCount();
  std::string GetTableDefName(long tableDefIndex);
  unsigned short GetQueryDefCount();
  std::string GetQueryDefName(long queryDefIndex);

  // The connection, for the tables, record sets and queries made on this
  // database; raises "Database is not initialized." when there is none.
  IQRBDAO* operator->() const;
  IQRBConsoleComponent* ConsoleComponent() const { return pConsoleComponent.get(); }

 private:
  void CloseIfOpen();

  ComPtr<IQRBDAO> pIQRBDAO;
  ComPtr<IQRBConsoleComponent> pConsoleComponent;
  LONG isOpen = 0;
};

class DaoTable {
 public:
  explicit DaoTable(DaoDatabase* db);
  ~DaoTable();
  DaoTable(const DaoTable&) = delete;
  DaoTable& operator=(const DaoTable&) = delete;

  bool Exists(const char* tablename);
  // Open and Create close the table this object held first.
  void Open(const char* tablename);
  void Create(const char* tablename);
  void Close();
  // DAO data-type numbers: 3 integer, 4 long, 7 double, 8 date, 10 text,
  // 11 long binary (see DaoStore.h for the full list).
  void CreateField(const char* fieldname, short fieldtype, long fieldsize, long fieldattributes);
  // Stores a table made with Create, with its fields, in the database.
  void Append();

  // The handle, for a record set; raises when the table holds none.
  operator unsigned long() const;

 private:
  DaoDatabase* pdb;
  unsigned long tableHandle = kNoDaoHandle;
};

class DaoQuery {
 public:
  explicit DaoQuery(DaoDatabase* db);
  ~DaoQuery();
  DaoQuery(const DaoQuery&) = delete;
  DaoQuery& operator=(const DaoQuery&) = delete;

  bool Exists(const char* queryname);
  // Create and Open close the query this object held first. A query made
  // with Create is stored in the database by Append.
  void Create(const char* queryname, const char* sqlstring);
  void Open(const char* queryname);
  void Close();
  // Append and Execute do nothing while the object holds no query.
  void Append();
  void Execute(long nOptions);

  operator unsigned long() const;

 private:
  DaoDatabase* pdb;
  unsigned long queryHandle = kNoDaoHandle;
};

class DaoRecordSet {
 public:
  explicit DaoRecordSet(DaoDatabase* db);
  ~DaoRecordSet();
  DaoRecordSet(const DaoRecordSet&) = delete;
  DaoRecordSet& operator=(const DaoRecordSet&) = delete;

  // Open types: 1 table, 2 dynaset, 4 snapshot, 8 forward-only. Opening
  // closes the record set this object held first.
  void Open(DaoTable* tbl, long nOpenType, long nOptions);
  void Open(DaoQuery* qry, long nOpenType, long nOptions);
  void Close();

  void AddNew();
  void Update();
  void Delete();
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrev();
  void SetFieldValue(long nOrdinal, const VARIANT& varValue);
  void SetFieldValue(long nOrdinal, const char* lpszValue);
  bool IsBOF();
  bool IsEOF();

 private:
  DaoDatabase* pdb;
  unsigned long recordSetHandle = kNoDaoHandle;
};
