#include "QRBDaoClasses.h"

#include <cstring>

#include "Win32/ErrorText.h"

namespace {

// A text as the interface carries it: its length plus the NUL.
DaoString In(const char* text) {
  return DaoString{static_cast<ULONG>(std::strlen(text) + 1), const_cast<char*>(text)};
}

// Runs a call on the database server; an assertion raised there leaves
// with the server's own description of the failure joined to it.
template <class Body>
void WithServerText(IQRBConsoleComponent* component, Body&& body) {
  try {
    body();
  } catch (char* text) {
    RaiseComponentError(component, text);
  }
}

// Destructors may not raise: a failed close there is only reported to a
// debugger, never allowed to end the process while another failure is on
// its way out.
template <class Body>
void InDestructor(Body&& body) {
  try {
    body();
  } catch (char* text) {
    OutputDebugStringA(text);
  } catch (...) {
  }
}

// The connection both the workspace and the database make.
// Called from constructors only: what a failure leaves in the holders goes
// with the object that was never made.
void Connect(ComPtr<IQRBDAO>& dao, ComPtr<IQRBConsoleComponent>& console, const char* message) {
  HRESULT hr = CoCreateInstance(CLSID_QRBDAOServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IQRBDAO,
                                dao.put_void());
  KORVANE_ASSERT_AS(SUCCEEDED(hr), "SUCCEEDED(hr)", message);
  hr = dao->QueryInterface(IID_IQRBConsoleComponent, console.put_void());
  KORVANE_ASSERT_AS(SUCCEEDED(hr), "SUCCEEDED(hr)", message);
}

std::string TakeText(DaoString& text) {
  std::string copy = text.str;
  CoTaskMemFree(text.str);
  text.str = nullptr;
  return copy;
}

}  // namespace

// ---- DaoWorkspace ----

DaoWorkspace::DaoWorkspace() {
  Connect(pIQRBDAO, pConsoleComponent, "Failed to initialize a database workspace.");
}

void DaoWorkspace::CompactDatabase(const char* dbname) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", "The QRB DAO Workspace has not been initialized");
  KORVANE_ASSERT_AS(dbname, "dbname", nullptr);
  WithServerText(pConsoleComponent.get(), [&] {
    DaoString dbn = In(dbname);
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->CompactDatabase(dbn)),
                      "SUCCEEDED(pIQRBDAO->CompactDatabase(dbn))", "Could not compact a database");
  });
}

// ---- DaoDatabase ----

DaoDatabase::DaoDatabase() {
  Connect(pIQRBDAO, pConsoleComponent, "Failed to initialize a database object.");
}

DaoDatabase::DaoDatabase(IQRBDAO* connection) {
  if (!connection) return;
  pIQRBDAO = ComPtr<IQRBDAO>(connection);
  const HRESULT hr =
      pIQRBDAO->QueryInterface(IID_IQRBConsoleComponent, pConsoleComponent.put_void());
  KORVANE_ASSERT_AS(SUCCEEDED(hr), "SUCCEEDED(hr)", "Failed to initialize a database object.");
}

DaoDatabase::~DaoDatabase() {
  InDestructor([&] {
    if (isOpen) {
      KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
      CloseIfOpen();
    }
  });
}

IQRBDAO* DaoDatabase::operator->() const {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", "Database is not initialized.");
  return pIQRBDAO.get();
}

// The flag goes first: a database whose close failed is not taken for open.
void DaoDatabase::CloseIfOpen() {
  if (!isOpen) return;
  isOpen = 0;
  KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->DatabaseClose()), "SUCCEEDED(pIQRBDAO->DatabaseClose())",
                    "Could not close a database.");
}

bool DaoDatabase::Exists(const char* dbname) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  KORVANE_ASSERT_AS(dbname, "dbname", nullptr);
  unsigned char exists = 0;
  WithServerText(pConsoleComponent.get(), [&] {
    DaoString dbn = In(dbname);
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->DatabaseExists(dbn, &exists)),
                      "SUCCEEDED(pIQRBDAO->DatabaseExists(dbn,&exists))",
                      "Could not determine if a database file exists.");
  });
  return exists != 0;
}

void DaoDatabase::Create(const char* dbname) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  KORVANE_ASSERT_AS(dbname, "dbname", nullptr);
  WithServerText(pConsoleComponent.get(), [&] {
    CloseIfOpen();
    DaoString dbn = In(dbname);
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->DatabaseCreate(dbn)),
                      "SUCCEEDED(pIQRBDAO->DatabaseCreate(dbn))", "Could not create a database.");
    isOpen = 1;
  });
}

void DaoDatabase::Open(const char* dbname) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  KORVANE_ASSERT_AS(dbname, "dbname", nullptr);
  WithServerText(pConsoleComponent.get(), [&] {
    CloseIfOpen();
    DaoString dbn = In(dbname);
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->DatabaseOpen(dbn)),
                      "SUCCEEDED(pIQRBDAO->DatabaseOpen(dbn))", "Could not open a database.");
    isOpen = 1;
  });
}

void DaoDatabase::Close() {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  WithServerText(pConsoleComponent.get(), [&] { CloseIfOpen(); });
}

unsigned short DaoDatabase::GetTableDefCount() {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  unsigned short tdcount = 0;
  WithServerText(pConsoleComponent.get(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->GetTableDefCount(&tdcount)),
                      "SUCCEEDED(pIQRBDAO->GetTableDefCount(&tdcount))",
                      "Could not get the number of tables in a database.");
  });
  return tdcount;
}

std::string DaoDatabase::GetTableDefName(long tableDefIndex) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  DaoString tblname{0, nullptr};
  WithServerText(pConsoleComponent.get(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->GetTableDefName(tableDefIndex, &tblname)),
                      "SUCCEEDED(pIQRBDAO->GetTableDefName(tableDefIndex,&tblname))",
                      "Could not get a table name from a database.");
  });
  KORVANE_ASSERT_AS(tblname.str, "tblname.str", nullptr);
  return TakeText(tblname);
}

unsigned short DaoDatabase::GetQueryDefCount() {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  unsigned short qcount = 0;
  WithServerText(pConsoleComponent.get(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->GetQueryDefCount(&qcount)),
                      "SUCCEEDED(pIQRBDAO->GetQueryDefCount(&qcount))",
                      "Could not get the number of queries in a database.");
  });
  return qcount;
}

std::string DaoDatabase::GetQueryDefName(long queryDefIndex) {
  KORVANE_ASSERT_AS(pIQRBDAO, "pIQRBDAO", nullptr);
  DaoString qname{0, nullptr};
  WithServerText(pConsoleComponent.get(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED(pIQRBDAO->GetQueryDefName(queryDefIndex, &qname)),
                      "SUCCEEDED(pIQRBDAO->GetQueryDefName(queryDefIndex,&qname))",
                      "Could not get a query name from a database.");
  });
  KORVANE_ASSERT_AS(qname.str, "qname.str", nullptr);
  return TakeText(qname);
}

// ---- DaoTable ----

DaoTable::DaoTable(DaoDatabase* db) : pdb(db) { KORVANE_ASSERT_AS(db, "db", nullptr); }

DaoTable::~DaoTable() {
  InDestructor([&] { Close(); });
}

void DaoTable::Close() {
  WithServerText(pdb->ConsoleComponent(), [&] {
    if (tableHandle == kNoDaoHandle) return;
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->TableClose(tableHandle)),
                      "SUCCEEDED((*pdb)->TableClose(tableHandle))", "Could not close a table.");
    tableHandle = kNoDaoHandle;
  });
}

bool DaoTable::Exists(const char* tablename) {
  KORVANE_ASSERT_AS(tablename, "tablename", nullptr);
  unsigned char exists = 0;
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString tbn = In(tablename);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->TableExists(tbn, &exists)),
                      "SUCCEEDED((*pdb)->TableExists(tbn,&exists))",
                      "Could not determine if a table in a database file exists.");
  });
  return exists != 0;
}

void DaoTable::Open(const char* tablename) {
  KORVANE_ASSERT_AS(tablename, "tablename", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString tbn = In(tablename);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->TableOpen(tbn, &tableHandle)),
                      "SUCCEEDED((*pdb)->TableOpen(tbn,&tableHandle))", "Could not open a table.");
  });
}

void DaoTable::Create(const char* tablename) {
  KORVANE_ASSERT_AS(tablename, "tablename", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString tbn = In(tablename);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->TableCreate(tbn, &tableHandle)),
                      "SUCCEEDED((*pdb)->TableCreate(tbn,&tableHandle))",
                      "Could not create a table.");
  });
}

void DaoTable::CreateField(const char* fieldname, short fieldtype, long fieldsize,
                           long fieldattributes) {
  KORVANE_ASSERT_AS(tableHandle != kNoDaoHandle, "tableHandle != -1", nullptr);
  KORVANE_ASSERT_AS(fieldname, "fieldname", nullptr);
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString fldname = In(fieldname);
    KORVANE_ASSERT_AS(
        SUCCEEDED((*pdb)->CreateField(tableHandle, fldname, fieldtype, fieldsize, fieldattributes)),
        "SUCCEEDED((*pdb)->CreateField( tableHandle, fldname, fieldtype, fieldsize,"
        " fieldattributes))",
        "Could not create a field in a table.");
  });
}

void DaoTable::Append() {
  KORVANE_ASSERT_AS(tableHandle != kNoDaoHandle, "tableHandle != -1", nullptr);
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->TableAppend(tableHandle)),
                      "SUCCEEDED((*pdb)->TableAppend(tableHandle))",
                      "Could not append fields to a table.");
  });
}

DaoTable::operator unsigned long() const {
  KORVANE_ASSERT_AS(tableHandle != kNoDaoHandle, "tableHandle != -1", nullptr);
  return tableHandle;
}

// ---- DaoQuery ----

DaoQuery::DaoQuery(DaoDatabase* db) : pdb(db) { KORVANE_ASSERT_AS(db, "db", nullptr); }

DaoQuery::~DaoQuery() {
  InDestructor([&] { Close(); });
}

void DaoQuery::Close() {
  WithServerText(pdb->ConsoleComponent(), [&] {
    if (queryHandle == kNoDaoHandle) return;
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefClose(queryHandle)),
                      "SUCCEEDED((*pdb)->QueryDefClose(queryHandle))", "Could not close a query.");
    queryHandle = kNoDaoHandle;
  });
}

bool DaoQuery::Exists(const char* queryname) {
  KORVANE_ASSERT_AS(queryname, "queryname", nullptr);
  unsigned char exists = 0;
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString qrynm = In(queryname);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefExists(qrynm, &exists)),
                      "SUCCEEDED((*pdb)->QueryDefExists(qrynm,&exists))",
                      "Could not determine if a query in a database file exists.");
  });
  return exists != 0;
}

void DaoQuery::Create(const char* queryname, const char* sqlstring) {
  KORVANE_ASSERT_AS(queryname, "queryname", nullptr);
  KORVANE_ASSERT_AS(sqlstring, "sqlstring", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString qrynm = In(queryname);
    DaoString sqlstr = In(sqlstring);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefCreate(qrynm, sqlstr, &queryHandle)),
                      "SUCCEEDED((*pdb)->QueryDefCreate( qrynm, sqlstr, &queryHandle))",
                      "Could not create a query.");
  });
}

void DaoQuery::Open(const char* queryname) {
  KORVANE_ASSERT_AS(queryname, "queryname", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString qrynm = In(queryname);
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefOpen(qrynm, &queryHandle)),
                      "SUCCEEDED((*pdb)->QueryDefOpen(qrynm,&queryHandle))",
                      "Could not open a query.");
  });
}

void DaoQuery::Append() {
  if (queryHandle == kNoDaoHandle) return;
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefAppend(queryHandle)),
                      "SUCCEEDED((*pdb)->QueryDefAppend(queryHandle))",
                      "Could not append a query.");
  });
}

void DaoQuery::Execute(long nOptions) {
  if (queryHandle == kNoDaoHandle) return;
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->QueryDefExecute(queryHandle, nOptions)),
                      "SUCCEEDED((*pdb)->QueryDefExecute( queryHandle, nOptions))",
                      "Could not execute a query.");
  });
}

DaoQuery::operator unsigned long() const {
  KORVANE_ASSERT_AS(queryHandle != kNoDaoHandle, "queryHandle != -1", nullptr);
  return queryHandle;
}

// ---- DaoRecordSet ----

DaoRecordSet::DaoRecordSet(DaoDatabase* db) : pdb(db) { KORVANE_ASSERT_AS(db, "db", nullptr); }

DaoRecordSet::~DaoRecordSet() {
  InDestructor([&] { Close(); });
}

void DaoRecordSet::Close() {
  WithServerText(pdb->ConsoleComponent(), [&] {
    if (recordSetHandle == kNoDaoHandle) return;
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->RecordSetClose(recordSetHandle)),
                      "SUCCEEDED((*pdb)->RecordSetClose(recordSetHandle))",
                      "Could not close a record set.");
    recordSetHandle = kNoDaoHandle;
  });
}

void DaoRecordSet::Open(DaoTable* tbl, long nOpenType, long nOptions) {
  KORVANE_ASSERT_AS(tbl, "tbl", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(
        SUCCEEDED((*pdb)->RecordSetTableOpen(static_cast<unsigned long>(*tbl), nOpenType, nOptions,
                                             &recordSetHandle)),
        "SUCCEEDED((*pdb)->RecordSetTableOpen( (unsigned long)*tbl, nOpenType, nOptions,"
        " &recordSetHandle))",
        "Could not open a record set.");
  });
}

void DaoRecordSet::Open(DaoQuery* qry, long nOpenType, long nOptions) {
  KORVANE_ASSERT_AS(qry, "qry", nullptr);
  Close();
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(
        SUCCEEDED((*pdb)->RecordSetQueryDefOpen(static_cast<unsigned long>(*qry), nOpenType,
                                                nOptions, &recordSetHandle)),
        "SUCCEEDED((*pdb)->RecordSetQueryDefOpen( (unsigned long)*qry, nOpenType, nOptions,"
        " &recordSetHandle))",
        "Could not open a record set.");
  });
}

// The operations on the current record share one shape: a handle check,
// then the call with its own texts.
#define DAO_RECORDSET_CALL(Method, message)                                               \
  void DaoRecordSet::Method() {                                                           \
    KORVANE_ASSERT_AS(recordSetHandle != kNoDaoHandle, "recordSetHandle != -1", nullptr); \
    WithServerText(pdb->ConsoleComponent(), [&] {                                         \
      KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->Method(recordSetHandle)),                       \
                        "SUCCEEDED((*pdb)->" #Method "(recordSetHandle))", message);      \
    });                                                                                   \
  }

DAO_RECORDSET_CALL(AddNew, "Could not add a new record to a record set.")
DAO_RECORDSET_CALL(Update, "Could not update a record set.")
DAO_RECORDSET_CALL(Delete, "Could not delete a record from a record set.")
DAO_RECORDSET_CALL(MoveFirst, "Could not move to the first record in a record set.")
DAO_RECORDSET_CALL(MoveLast, "Could not move to the last record in a record set.")
DAO_RECORDSET_CALL(MoveNext, "Could not move to the next record in a record set.")
DAO_RECORDSET_CALL(MovePrev, "Could not move to the previous record in a record set.")

#undef DAO_RECORDSET_CALL

void DaoRecordSet::SetFieldValue(long nOrdinal, const VARIANT& varValue) {
  KORVANE_ASSERT_AS(recordSetHandle != kNoDaoHandle, "recordSetHandle != -1", nullptr);
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(
        SUCCEEDED((*pdb)->SetFieldValue(recordSetHandle, nOrdinal, varValue)),
        "SUCCEEDED((*pdb)->SetFieldValue( recordSetHandle, nOrdinal, (VARIANT)varValue))",
        "Could not set a field value in a record set.");
  });
}

void DaoRecordSet::SetFieldValue(long nOrdinal, const char* lpszValue) {
  KORVANE_ASSERT_AS(recordSetHandle != kNoDaoHandle, "recordSetHandle != -1", nullptr);
  KORVANE_ASSERT_AS(lpszValue, "lpszValue", nullptr);
  WithServerText(pdb->ConsoleComponent(), [&] {
    DaoString fldValue = In(lpszValue);
    KORVANE_ASSERT_AS(
        SUCCEEDED((*pdb)->SetFieldValueString(recordSetHandle, nOrdinal, fldValue)),
        "SUCCEEDED((*pdb)->SetFieldValueString( recordSetHandle, nOrdinal, fldValue))",
        "Could not set a field value in a record set.");
  });
}

bool DaoRecordSet::IsBOF() {
  KORVANE_ASSERT_AS(recordSetHandle != kNoDaoHandle, "recordSetHandle != -1", nullptr);
  unsigned char isbof = 0;
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->IsBOF(recordSetHandle, &isbof)),
                      "SUCCEEDED((*pdb)->IsBOF(recordSetHandle,&isbof))",
                      "Could not get a position in a record set.");
  });
  return isbof != 0;
}

bool DaoRecordSet::IsEOF() {
  KORVANE_ASSERT_AS(recordSetHandle != kNoDaoHandle, "recordSetHandle != -1", nullptr);
  unsigned char iseof = 0;
  WithServerText(pdb->ConsoleComponent(), [&] {
    KORVANE_ASSERT_AS(SUCCEEDED((*pdb)->IsEOF(recordSetHandle, &iseof)),
                      "SUCCEEDED((*pdb)->IsEOF(recordSetHandle,&iseof))",
                      "Could not get a position in a record set.");
  });
  return iseof != 0;
}
