#include "DaoStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "DaoDate.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// A writer in another connection holds the file only for one short
// transaction; waiting this long for it covers any burst of writers.
constexpr int kBusyTimeoutMs = 30000;

constexpr size_t kMaxObjectName = 64;
constexpr size_t kMaxDatabaseName = 200;

// Client SQL texts are at most this long, as stored queries always were.
constexpr size_t kLongestSqlText = 65535;
// The largest text or blob one value may be, stored or computed.
constexpr int kLongestValue = 64 * 1024 * 1024;
// How many virtual machine steps pass between two looks at the deadline:
// well under a millisecond of work.
constexpr int kProgressSteps = 10000;

const char kFieldDefsTable[] = "korvane_fielddefs";
const char kQueryDefsTable[] = "korvane_querydefs";

// The server's own bookkeeping: what the SQLite schema cannot say about a
// field (its DAO type, size and attributes), and the stored queries.
const char kBookkeepingSql[] =
    "CREATE TABLE IF NOT EXISTS korvane_fielddefs ("
    " table_name TEXT NOT NULL COLLATE NOCASE, field_name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, size INTEGER NOT NULL, attributes INTEGER NOT NULL,"
    " PRIMARY KEY (table_name, field_name));"
    "CREATE TABLE IF NOT EXISTS korvane_querydefs ("
    " name TEXT PRIMARY KEY COLLATE NOCASE, sql TEXT NOT NULL);";

// The tables a client sees: neither SQLite's nor ours.
const char kUserTables[] =
    "type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"
    " AND name NOT IN ('korvane_fielddefs', 'korvane_querydefs')";

struct TypeInfo {
  short type;
  const char* name;
  const char* declared;
  long size;  // the fixed size; for Text the default
  VARTYPE variantType;
};

constexpr TypeInfo kTypes[] = {
    {kDaoBoolean, "Boolean", "BOOLEAN", 1, VT_BOOL},
    {kDaoByte, "Byte", "TINYINT", 1, VT_UI1},
    {kDaoInteger, "Integer", "SMALLINT", 2, VT_I2},
    {kDaoLong, "Long", "INTEGER", 4, VT_I4},
    {kDaoSingle, "Single", "REAL", 4, VT_R4},
    {kDaoDouble, "Double", "DOUBLE", 8, VT_R8},
    {kDaoDate, "Date/Time", "DATETIME", 8, VT_DATE},
    {kDaoText, "Text", "VARCHAR", 255, VT_BSTR},
    {kDaoLongBinary, "Long Binary", "BLOB", 0, VT_EMPTY},
    {kDaoMemo, "Memo", "TEXT", 0, VT_BSTR},
};

const TypeInfo* FindType(short type) {
  for (const TypeInfo& info : kTypes)
    if (info.type == type) return &info;
  return nullptr;
}

const TypeInfo& TypeOf(const DaoFieldDef& field) {
  const TypeInfo* info = FindType(field.type);
  return info ? *info : kTypes[5];
}

// The field attributes DAO defines: fixed, variable, auto-increment,
// updatable, system, hyperlink.
constexpr long kKnownFieldAttributes = 0x0001 | 0x0002 | 0x0010 | 0x0020 | 0x2000 | 0x8000;
// Record-set options: deny write/read, read-only, append-only,
// inconsistent/consistent, fail on error, forward-only, see changes.
constexpr long kKnownRecordSetOptions = 1 | 2 | 4 | 8 | 16 | 32 | 128 | 256 | 512;
// Execute options: deny write, inconsistent/consistent, fail on error, see
// changes, execute direct.
constexpr long kKnownExecuteOptions = 1 | 16 | 32 | 128 | 512 | 2048;

// Texts cross the interface in the ANSI code page; SQLite keeps UTF-8.
std::string Recode(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return {};
  int wide = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wide <= 0) return text;
  std::wstring buffer(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), buffer.data(), wide);
  int narrow = WideCharToMultiByte(to, 0, buffer.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(narrow), '\0');
  WideCharToMultiByte(to, 0, buffer.data(), wide, result.data(), narrow, nullptr, nullptr);
  return result;
}
std::string U8(const std::string& ansi) { return Recode(ansi, CP_ACP, CP_UTF8); }
std::string Ansi(const char* utf8) { return Recode(utf8 ? utf8 : "", CP_UTF8, CP_ACP); }

std::string FromBstr(BSTR text, UINT codePage) {
  const int length = static_cast<int>(SysStringLen(text));
  if (!length) return {};
  int narrow = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(narrow), '\0');
  WideCharToMultiByte(codePage, 0, text, length, result.data(), narrow, nullptr, nullptr);
  return result;
}

std::string Quoted(const std::string& ansiName) {
  std::string quoted = "\"";
  for (char c : U8(ansiName)) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(),
                                                static_cast<int>(a.size()), b.data(),
                                                static_cast<int>(b.size())) == CSTR_EQUAL;
}

// What a client's SQL may not do, and why; null when it may.
const char* ClientRefusal(int action, const char* first, const char* second) {
  switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return "a query works in its own database only (ATTACH and DETACH are not allowed)";
    case SQLITE_PRAGMA:
      return "PRAGMA statements are not allowed in a query";
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      // A transaction left open would hold the file's write lock past the
      // call and keep every other writer out, the error log among them.
      return "every query runs in a transaction of its own (BEGIN, COMMIT, ROLLBACK and"
             " SAVEPOINT are not allowed)";
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_TEMP_TRIGGER:
      return "triggers cannot be created";
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_VIEW:
      // A temporary object would hide a stored one of the same name from
      // the server's own statements.
      return "temporary tables, views and indexes cannot be created";
    default:
      break;
  }
  const char* table = nullptr;
  switch (action) {
    case SQLITE_READ:
      // The table-valued forms of PRAGMA.
      if (first && !std::strncmp(first, "pragma_", 7))
        return "PRAGMA statements are not allowed in a query";
      table = first;
      break;
    case SQLITE_INSERT: case SQLITE_UPDATE: case SQLITE_DELETE: case SQLITE_DROP_TABLE:
      table = first;
      break;
    case SQLITE_ALTER_TABLE: case SQLITE_CREATE_INDEX: case SQLITE_DROP_INDEX:
      table = second;
      break;
    default:
      break;
  }
  if (table && (SameName(table, kFieldDefsTable) || SameName(table, kQueryDefsTable)))
    return "the server's own tables are out of a query's reach";
  return nullptr;
}

const char kVacuumRefusal[] = "VACUUM is not allowed in a query (CompactDatabase compacts a database)";

// True when the statement is a VACUUM (plain, of a schema, or INTO a file),
// also behind EXPLAIN. It is refused before SQLite sees it: VACUUM INTO
// writes its file while it runs, not while it is prepared.
bool IsVacuum(const std::string& sql) {
  size_t i = 0;
  auto word = [&]() {
    for (;;) {
      while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
      if (sql.compare(i, 2, "--") == 0) {
        i = sql.find('\n', i);
        if (i == std::string::npos) i = sql.size();
      } else if (sql.compare(i, 2, "/*") == 0) {
        i = sql.find("*/", i + 2);
        i = i == std::string::npos ? sql.size() : i + 2;
      } else {
        break;
      }
    }
    std::string w;
    while (i < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_'))
      w += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
    return w;
  };
  std::string first = word();
  if (first == "EXPLAIN") {
    first = word();
    if (first == "QUERY") {
      word();  // PLAN
      first = word();
    }
  }
  return first == "VACUUM";
}

}  // namespace

// One SQLite connection. The authorizer stays installed for the life of the
// connection and holds a client's statements to their sandbox whenever one
// is prepared or run: SQLite prepares again inside sqlite3_step (after a
// schema change, and for VACUUM's own ATTACH), so a check at prepare time
// alone would let those through. The progress handler ends any statement
// that outlives its deadline.
struct DaoSession::Connection {
  sqlite3* db = nullptr;
  DaoLimits limits;
  bool client = false;            // a client's SQL is being prepared or run
  const char* refusal = nullptr;  // why the authorizer last said no
  ULONGLONG deadline = 0;         // when the running statement must end; 0: none
  bool timedOut = false;

  ~Connection() {
    if (db) sqlite3_close_v2(db);
  }

  static int Authorize(void* self, int action, const char* first, const char* second,
                       const char*, const char*) {
    Connection& connection = *static_cast<Connection*>(self);
    if (!connection.client) return SQLITE_OK;
    const char* refusal = ClientRefusal(action, first, second);
    if (!refusal) return SQLITE_OK;
    connection.refusal = refusal;
    return SQLITE_DENY;
  }

  static int Progress(void* self) {
    Connection& connection = *static_cast<Connection*>(self);
    if (!connection.deadline || GetTickCount64() < connection.deadline) return 0;
    connection.timedOut = true;
    return 1;
  }

  // Why the last call failed, in words a client can act on.
  std::string FailureText() const {
    const int code = sqlite3_errcode(db);
    if (timedOut && code == SQLITE_INTERRUPT)
      return "it ran longer than " + std::to_string(limits.statementMs) +
             " ms, the longest one statement may run";
    if (refusal && code == SQLITE_AUTH) return refusal;
    return Ansi(sqlite3_errmsg(db));
  }

  // Prepares a client's SQL text in the sandbox; refuses more than one
  // statement. The caller holds a ClientStatement for the statement's life.
  sqlite3_stmt* PrepareUserSql(const std::string& ansiSql, const std::string& queryName) {
    if (ansiSql.size() > kLongestSqlText)
      RaiseFormatted("The SQL text of query \"%s\" has %u characters; a query holds at most %u.",
                     queryName.c_str(), static_cast<unsigned>(ansiSql.size()),
                     static_cast<unsigned>(kLongestSqlText));
    if (IsVacuum(ansiSql))
      RaiseFormatted("The SQL text of query \"%s\" is refused: %s.", queryName.c_str(),
                     kVacuumRefusal);
    const std::string sql = U8(ansiSql);
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK)
      RaiseFormatted(rc == SQLITE_AUTH ? "The SQL text of query \"%s\" is refused: %s."
                                       : "The SQL text of query \"%s\" is not valid: %s.",
                     queryName.c_str(), FailureText().c_str());
    const bool more = tail && std::strspn(tail, " \t\r\n;") != std::strlen(tail);
    if (!stmt || more) {
      sqlite3_finalize(stmt);
      RaiseFormatted(stmt ? "The SQL text of query \"%s\" holds more than one statement."
                          : "The SQL text of query \"%s\" holds no statement.",
                     queryName.c_str());
    }
    return stmt;
  }
};

namespace {

using Connection = DaoSession::Connection;

// Gives one statement its deadline. A statement that runs inside another's
// life (none does today) shares the outer deadline.
class StatementClock {
 public:
  explicit StatementClock(Connection& connection)
      : connection_(connection), outer_(connection.deadline) {
    if (outer_) return;
    connection.deadline = GetTickCount64() + connection.limits.statementMs;
    connection.timedOut = false;
  }
  ~StatementClock() { connection_.deadline = outer_; }
  StatementClock(const StatementClock&) = delete;
  StatementClock& operator=(const StatementClock&) = delete;

 private:
  Connection& connection_;
  ULONGLONG outer_;
};

// A client's statement, from its prepare to its last step: sandboxed and
// timed.
class ClientStatement {
 public:
  explicit ClientStatement(Connection& connection) : connection_(connection), clock_(connection) {
    connection.client = true;
    connection.refusal = nullptr;
  }
  ~ClientStatement() { connection_.client = false; }
  ClientStatement(const ClientStatement&) = delete;
  ClientStatement& operator=(const ClientStatement&) = delete;

 private:
  Connection& connection_;
  StatementClock clock_;
};

[[noreturn]] void RaiseSqlite(const Connection& connection, const char* what) {
  RaiseFormatted("%s: %s.", what, connection.FailureText().c_str());
}

[[noreturn]] void RaiseSqlite(sqlite3* db, const char* what) {
  RaiseFormatted("%s: %s.", what, Ansi(sqlite3_errmsg(db)).c_str());
}

// One of the server's own statements, timed like a client's: a table that
// client SQL made can make even the server's statements slow.
class Statement {
 public:
  Statement(Connection& connection, const std::string& sql, const char* what)
      : connection_(connection), clock_(connection), what_(what) {
    if (sqlite3_prepare_v2(connection.db, sql.c_str(), static_cast<int>(sql.size()), &stmt_,
                           nullptr) != SQLITE_OK)
      RaiseSqlite(connection, what);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& Bind(int index, const std::string& utf8) {
    Check(sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, const DaoValue& value) {
    switch (value.kind) {
      case DaoValue::Null: Check(sqlite3_bind_null(stmt_, index)); break;
      case DaoValue::Integer: Check(sqlite3_bind_int64(stmt_, index, value.integer)); break;
      case DaoValue::Real: Check(sqlite3_bind_double(stmt_, index, value.real)); break;
      case DaoValue::Text: Bind(index, value.bytes); break;
      case DaoValue::Blob:
        // A null pointer would store NULL: an empty array is an empty blob.
        Check(sqlite3_bind_blob(stmt_, index, value.bytes.empty() ? "" : value.bytes.data(),
                                static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT));
        break;
    }
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    RaiseSqlite(connection_, what_);
  }
  void Run() {
    while (Step()) {
    }
  }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int64_t Integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) RaiseSqlite(connection_, what_);
  }
  Connection& connection_;
  StatementClock clock_;
  const char* what_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql, const char* what) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) RaiseSqlite(db, what);
}

// Several statements that belong together: all or none.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    Exec(db, "BEGIN IMMEDIATE", "Could not start a transaction");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(db_, "COMMIT", "Could not commit a transaction");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

DaoHandle NewHandle() {
  // Process-wide, so that a handle of one connection is never mistaken for
  // one of another. 0 and -1 are never issued.
  static std::atomic<unsigned long> last{0};
  unsigned long handle;
  do {
    handle = ++last;
  } while (handle == 0 || handle == 0xFFFFFFFFul);
  return handle;
}

void CheckDatabaseName(const std::string& name) {
  if (name.empty()) RaiseFormatted("A database name must not be empty.");
  if (name.size() > kMaxDatabaseName)
    RaiseFormatted("The database name \"%.60s...\" is longer than %u characters.", name.c_str(),
                   static_cast<unsigned>(kMaxDatabaseName));
  for (unsigned char c : name)
    if (c < 32 || std::strchr("\\/:*?\"<>|", c))
      RaiseFormatted("The database name \"%s\" contains a character that file names cannot hold"
                     " (control characters and \\ / : * ? \" < > |).",
                     name.c_str());
  if (name.back() == ' ' || name.back() == '.' || name.front() == ' ')
    RaiseFormatted("The database name \"%s\" begins with a space or ends with a space or a dot.",
                   name.c_str());
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3",
                                         "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1",
                                         "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8",
                                         "LPT9"};
  const std::string base = name.substr(0, name.find('.'));
  for (const char* device : kDevices)
    if (SameName(base, device))
      RaiseFormatted("The database name \"%s\" is a device name.", name.c_str());
}

void CheckObjectName(const char* kind, const std::string& name) {
  if (name.empty()) RaiseFormatted("A %s name must not be empty.", kind);
  if (name.size() > kMaxObjectName)
    RaiseFormatted("The %s name \"%.60s...\" is longer than %u characters.", kind, name.c_str(),
                   static_cast<unsigned>(kMaxObjectName));
  for (unsigned char c : name)
    if (c < 32 || std::strchr(".!`[]", c))
      RaiseFormatted("The %s name \"%s\" contains a character that names cannot hold"
                     " (control characters and . ! ` [ ]).",
                     kind, name.c_str());
  if (name.front() == ' ') RaiseFormatted("The %s name \"%s\" begins with a space.", kind, name.c_str());
}

bool IsReservedTable(const std::string& name) {
  return SameName(name, kFieldDefsTable) || SameName(name, kQueryDefsTable) ||
         (name.size() >= 7 && SameName(name.substr(0, 7), "sqlite_"));
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeDirectories(const std::string& directory) {
  for (size_t i = 0; i <= directory.size(); ++i) {
    if (i < directory.size() && directory[i] != '\\' && directory[i] != '/') continue;
    const std::string prefix = directory.substr(0, i);
    if (prefix.empty() || prefix.back() == ':') continue;
    CreateDirectoryA(prefix.c_str(), nullptr);
  }
  const DWORD attributes = GetFileAttributesA(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    RaiseFormatted("Could not make the database directory \"%s\": %s", directory.c_str(),
                   SystemErrorText(GetLastError()).c_str());
}

// The DAO type of a column that was made by SQL instead of CreateField.
DaoFieldDef FieldFromDeclaredType(const std::string& name, std::string declared) {
  for (char& c : declared) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  auto has = [&](const char* part) { return declared.find(part) != std::string::npos; };
  DaoFieldDef field{name, kDaoDouble, 8, 0};
  if (has("BOOL")) field = {name, kDaoBoolean, 1, 0};
  else if (has("TINYINT")) field = {name, kDaoByte, 1, 0};
  else if (has("SMALLINT")) field = {name, kDaoInteger, 2, 0};
  else if (has("INT")) field = {name, kDaoLong, 4, 0};
  else if (has("DATE") || has("TIME")) field = {name, kDaoDate, 8, 0};
  else if (has("CHAR")) {
    long size = 255;
    const size_t open = declared.find('(');
    if (open != std::string::npos) size = std::clamp(atol(declared.c_str() + open + 1), 1L, 255L);
    field = {name, kDaoText, size, 0};
  } else if (has("CLOB") || has("TEXT")) field = {name, kDaoMemo, 0, 0};
  else if (has("BLOB") || declared.empty()) field = {name, kDaoLongBinary, 0, 0};
  else if (has("REAL") || has("FLOA")) field = {name, kDaoSingle, 4, 0};
  return field;
}

std::string DeclaredType(const DaoFieldDef& field) {
  if (field.type == kDaoText) return "VARCHAR(" + std::to_string(field.size) + ")";
  return TypeOf(field).declared;
}

DaoValue TextValue(const DaoFieldDef& field, std::string ansi) {
  if (field.type == kDaoText && static_cast<long>(ansi.size()) > field.size)
    RaiseFormatted("The text for field \"%s\" has %u characters; the field holds at most %ld.",
                   field.name.c_str(), static_cast<unsigned>(ansi.size()), field.size);
  DaoValue value;
  value.kind = DaoValue::Text;
  value.bytes = U8(ansi);
  return value;
}

DaoValue BytesValue(const SAFEARRAY* array, const DaoFieldDef& field) {
  SAFEARRAY* a = const_cast<SAFEARRAY*>(array);
  if (!a || SafeArrayGetDim(a) != 1)
    RaiseFormatted("The value for field \"%s\" must be a one-dimensional byte array.",
                   field.name.c_str());
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(a, 1, &lower);
  SafeArrayGetUBound(a, 1, &upper);
  DaoValue value;
  value.kind = DaoValue::Blob;
  if (upper >= lower) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(a, &data)))
      RaiseFormatted("The byte array for field \"%s\" cannot be read.", field.name.c_str());
    value.bytes.assign(static_cast<const char*>(data), static_cast<size_t>(upper - lower + 1));
    SafeArrayUnaccessData(a);
  }
  return value;
}

DaoValue ConvertVariant(const DaoFieldDef& field, const VARIANT& given) {
  VariantHolder source;
  if (FAILED(VariantCopyInd(&source.v, const_cast<VARIANT*>(&given))))
    RaiseFormatted("The value for field \"%s\" cannot be read.", field.name.c_str());
  const VARTYPE vt = source.v.vt;
  if (vt == VT_EMPTY || vt == VT_NULL) return DaoValue{};
  const TypeInfo& type = TypeOf(field);
  if (field.type == kDaoLongBinary) {
    if (vt == (VT_ARRAY | VT_UI1) || vt == (VT_ARRAY | VT_I1)) return BytesValue(source.v.parray, field);
    if (vt == VT_BSTR) {
      DaoValue value;
      value.kind = DaoValue::Blob;
      value.bytes = FromBstr(source.v.bstrVal, CP_ACP);
      return value;
    }
    RaiseFormatted("Field \"%s\" (Long Binary) takes a byte array, not a value of variant type %u.",
                   field.name.c_str(), static_cast<unsigned>(vt));
  }
  VariantHolder converted;
  const HRESULT hr = VariantChangeTypeEx(&converted.v, &source.v, LOCALE_INVARIANT, 0, type.variantType);
  if (hr == DISP_E_OVERFLOW)
    RaiseFormatted("The value for field \"%s\" (%s) is out of the field's range.",
                   field.name.c_str(), type.name);
  if (FAILED(hr))
    RaiseFormatted("Field \"%s\" (%s) cannot take a value of variant type %u.", field.name.c_str(),
                   type.name, static_cast<unsigned>(vt));
  DaoValue value;
  switch (field.type) {
    case kDaoBoolean:
      value.kind = DaoValue::Integer;
      value.integer = converted.v.boolVal ? 1 : 0;
      break;
    case kDaoByte: value.kind = DaoValue::Integer; value.integer = converted.v.bVal; break;
    case kDaoInteger: value.kind = DaoValue::Integer; value.integer = converted.v.iVal; break;
    case kDaoLong: value.kind = DaoValue::Integer; value.integer = converted.v.lVal; break;
    case kDaoSingle: value.kind = DaoValue::Real; value.real = converted.v.fltVal; break;
    case kDaoDouble: value.kind = DaoValue::Real; value.real = converted.v.dblVal; break;
    case kDaoDate:
      value.kind = DaoValue::Text;
      if (!daodate::OleDateToText(converted.v.date, value.bytes))
        RaiseFormatted("The date for field \"%s\" lies outside the years 100 to 9999.",
                       field.name.c_str());
      break;
    default:  // Text, Memo
      return TextValue(field, FromBstr(converted.v.bstrVal, CP_ACP));
  }
  return value;
}

}  // namespace

std::string DaoDatabasePath(const std::string& directory, const std::string& name) {
  std::string path = directory;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  return path + name + ".db";
}

struct DaoSession::Table {
  std::string name;
  bool appended = false;
  std::vector<DaoFieldDef> fields;
};

struct DaoSession::RecordSet {
  bool fromQuery = false;
  std::string table;
  std::vector<DaoFieldDef> fields;
  bool readOnly = false;
  bool appendOnly = false;
  bool forwardOnly = false;
  int64_t limit = INT64_MAX;  // the last row a snapshot sees
  int64_t rowCount = 0;       // the size of a query's result
  bool bof = true;
  bool eof = true;
  int64_t current = 0;  // a rowid, or a row number of a query's result
  bool deleted = false;
  bool adding = false;
  std::vector<std::optional<DaoValue>> pending;
};

struct DaoSession::Query {
  std::string name;
  std::string sql;
  bool stored = false;
};

namespace {

std::unique_ptr<DaoSession::Connection> Connect(const std::string& path, const std::string& name,
                                                int flags, const DaoLimits& limits) {
  auto connection = std::make_unique<DaoSession::Connection>();
  connection->limits = limits;
  const int rc = sqlite3_open_v2(U8(path).c_str(), &connection->db, flags, nullptr);
  if (rc != SQLITE_OK)
    RaiseFormatted("Database \"%s\" could not be opened (%s): %s.", name.c_str(), path.c_str(),
                   connection->db ? Ansi(sqlite3_errmsg(connection->db)).c_str() : sqlite3_errstr(rc));
  sqlite3* db = connection->db;
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Defensive mode keeps even allowed SQL from corrupting the file (no
  // writable schema, no journal switched off). Triggers never fire: none of
  // ours exist, and one from elsewhere would run inside our statements.
  // Functions with side effects may not hide in a view. Nothing else can be
  // attached, not even by VACUUM INTO, and no single value may take the
  // server's memory.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kLongestValue);
  sqlite3_set_authorizer(db, &DaoSession::Connection::Authorize, connection.get());
  sqlite3_progress_handler(db, kProgressSteps, &DaoSession::Connection::Progress, connection.get());
  // Readers never block the error log's writers, and the log's records are
  // on the disk when a write returns. A file that another program holds in
  // its old journal mode stays in it: the database still works.
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  // The error log opens and closes its database for every error; copying
  // the log back into the file at every close would cost a quarter of its
  // speed. The log is copied back when it has grown (SQLite's automatic
  // checkpoint) and stays beside the file until then.
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // Also proves that the file is a database at all.
  if (sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kBookkeepingSql, nullptr, nullptr, nullptr) != SQLITE_OK)
    RaiseFormatted("Database \"%s\" could not be opened (%s): %s.", name.c_str(), path.c_str(),
                   Ansi(sqlite3_errmsg(db)).c_str());
  return connection;
}

}  // namespace

DaoSession::DaoSession(std::string directory, DaoLimits limits)
    : directory_(std::move(directory)), limits_(limits) {}
DaoSession::~DaoSession() = default;

void DaoSession::RequireOpen() const {
  if (!db_) RaiseFormatted("No database is open on this connection: open or create one first.");
}

void DaoSession::RequireHandleRoom() {
  RequireOpen();
  const size_t open = tables_.size() + recordSets_.size() + queries_.size();
  if (open >= limits_.handles)
    RaiseFormatted("This connection already holds %u open tables, record sets and queries, the"
                   " most one connection may hold: close some before opening more.",
                   static_cast<unsigned>(open));
}

DaoSession::Connection& DaoSession::Db() {
  RequireOpen();
  return *db_;
}

DaoSession::Table& DaoSession::TableFor(DaoHandle handle) {
  RequireOpen();
  auto it = tables_.find(handle);
  if (it == tables_.end()) RaiseFormatted("Handle %lu is not an open table.", handle);
  return *it->second;
}

DaoSession::RecordSet& DaoSession::RecordSetFor(DaoHandle handle) {
  RequireOpen();
  auto it = recordSets_.find(handle);
  if (it == recordSets_.end()) RaiseFormatted("Handle %lu is not an open record set.", handle);
  return *it->second;
}

DaoSession::Query& DaoSession::QueryFor(DaoHandle handle) {
  RequireOpen();
  auto it = queries_.find(handle);
  if (it == queries_.end()) RaiseFormatted("Handle %lu is not an open query.", handle);
  return *it->second;
}

// ---- databases ----

void DaoSession::CompactDatabase(const std::string& name) {
  CheckDatabaseName(name);
  const std::string path = DaoDatabasePath(directory_, name);
  if (!FileExists(path)) RaiseFormatted("Database \"%s\" does not exist.", name.c_str());
  auto connection = Connect(path, name, SQLITE_OPEN_READWRITE, limits_);
  // VACUUM works through an attached scratch database of its own.
  sqlite3_limit(connection->db, SQLITE_LIMIT_ATTACHED, 1);
  Exec(connection->db, "VACUUM", ("Could not compact database \"" + name + "\"").c_str());
}

bool DaoSession::DatabaseExists(const std::string& name) {
  CheckDatabaseName(name);
  return FileExists(DaoDatabasePath(directory_, name));
}

void DaoSession::DatabaseCreate(const std::string& name) {
  CheckDatabaseName(name);
  MakeDirectories(directory_);
  const std::string path = DaoDatabasePath(directory_, name);
  // Claim the name first: of two clients creating the same database, one
  // gets it and the other is told that it exists.
  {
    UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        RaiseFormatted("Database \"%s\" already exists.", name.c_str());
      RaiseFormatted("Database \"%s\" could not be created (%s): %s", name.c_str(), path.c_str(),
                     SystemErrorText(error).c_str());
    }
  }
  std::unique_ptr<Connection> connection;
  try {
    connection = Connect(path, name, SQLITE_OPEN_READWRITE, limits_);
  } catch (char*) {
    DeleteFileA(path.c_str());  // no half-made database left behind
    throw;
  }
  DatabaseClose();
  db_ = std::move(connection);
  openName_ = name;
}

void DaoSession::DatabaseOpen(const std::string& name) {
  CheckDatabaseName(name);
  const std::string path = DaoDatabasePath(directory_, name);
  if (!FileExists(path)) RaiseFormatted("Database \"%s\" does not exist.", name.c_str());
  auto connection = Connect(path, name, SQLITE_OPEN_READWRITE, limits_);
  DatabaseClose();
  db_ = std::move(connection);
  openName_ = name;
}

void DaoSession::DatabaseClose() {
  // Everything opened in the database goes with it.
  recordSets_.clear();
  tables_.clear();
  queries_.clear();
  db_.reset();
  openName_.clear();
}

unsigned short DaoSession::TableDefCount() {
  Statement count(Db(), std::string("SELECT count(*) FROM sqlite_master WHERE ") + kUserTables,
                  "Could not count the tables");
  count.Step();
  return static_cast<unsigned short>(std::min<int64_t>(count.Integer(0), USHRT_MAX));
}

std::string DaoSession::TableDefName(long index) {
  Statement name(Db(),
                 std::string("SELECT name FROM sqlite_master WHERE ") + kUserTables +
                     " ORDER BY rowid LIMIT 1 OFFSET ?1",
                 "Could not read the table names");
  name.Bind(1, static_cast<int64_t>(index));
  if (index < 0 || !name.Step())
    RaiseFormatted("There is no table number %ld in database \"%s\": it has %u tables.", index,
                   openName_.c_str(), static_cast<unsigned>(TableDefCount()));
  return Ansi(name.Text(0).c_str());
}

unsigned short DaoSession::QueryDefCount() {
  Statement count(Db(), "SELECT count(*) FROM korvane_querydefs", "Could not count the queries");
  count.Step();
  return static_cast<unsigned short>(std::min<int64_t>(count.Integer(0), USHRT_MAX));
}

std::string DaoSession::QueryDefName(long index) {
  Statement name(Db(), "SELECT name FROM korvane_querydefs ORDER BY rowid LIMIT 1 OFFSET ?1",
                 "Could not read the query names");
  name.Bind(1, static_cast<int64_t>(index));
  if (index < 0 || !name.Step())
    RaiseFormatted("There is no query number %ld in database \"%s\": it has %u queries.", index,
                   openName_.c_str(), static_cast<unsigned>(QueryDefCount()));
  return Ansi(name.Text(0).c_str());
}

// ---- tables ----

std::optional<std::string> DaoSession::StoredTableName(const std::string& name) {
  if (name.empty() || IsReservedTable(name)) return std::nullopt;
  Statement find(Db(),
                 std::string("SELECT name FROM sqlite_master WHERE ") + kUserTables +
                     " AND name = ?1 COLLATE NOCASE",
                 "Could not look up a table");
  find.Bind(1, U8(name));
  if (!find.Step()) return std::nullopt;
  return Ansi(find.Text(0).c_str());
}

std::vector<DaoFieldDef> DaoSession::LoadFields(const std::string& table) {
  Connection& db = Db();
  std::vector<DaoFieldDef> fields;
  {
    Statement columns(db, "SELECT name, type FROM pragma_table_info(?1) ORDER BY cid",
                      "Could not read the fields of a table");
    columns.Bind(1, U8(table));
    while (columns.Step())
      fields.push_back(FieldFromDeclaredType(Ansi(columns.Text(0).c_str()), columns.Text(1)));
  }
  Statement defs(db,
                 "SELECT field_name, type, size, attributes FROM korvane_fielddefs"
                 " WHERE table_name = ?1",
                 "Could not read the field definitions of a table");
  defs.Bind(1, U8(table));
  while (defs.Step()) {
    const std::string name = Ansi(defs.Text(0).c_str());
    for (DaoFieldDef& field : fields)
      if (SameName(field.name, name) && FindType(static_cast<short>(defs.Integer(1)))) {
        field.type = static_cast<short>(defs.Integer(1));
        field.size = static_cast<long>(defs.Integer(2));
        field.attributes = static_cast<long>(defs.Integer(3));
      }
  }
  return fields;
}

bool DaoSession::TableExists(const std::string& name) {
  return StoredTableName(name).has_value();
}

DaoHandle DaoSession::TableOpen(const std::string& name) {
  RequireHandleRoom();
  const std::optional<std::string> stored = StoredTableName(name);
  if (!stored)
    RaiseFormatted("Table \"%s\" does not exist in database \"%s\".", name.c_str(),
                   openName_.c_str());
  auto table = std::make_unique<Table>();
  table->name = *stored;
  table->appended = true;
  table->fields = LoadFields(*stored);
  const DaoHandle handle = NewHandle();
  tables_[handle] = std::move(table);
  return handle;
}

DaoHandle DaoSession::TableCreate(const std::string& name) {
  RequireHandleRoom();
  CheckObjectName("table", name);
  if (IsReservedTable(name))
    RaiseFormatted("The table name \"%s\" is reserved for the server's own bookkeeping.",
                   name.c_str());
  if (StoredTableName(name))
    RaiseFormatted("Table \"%s\" already exists in database \"%s\".", name.c_str(),
                   openName_.c_str());
  auto table = std::make_unique<Table>();
  table->name = name;
  const DaoHandle handle = NewHandle();
  tables_[handle] = std::move(table);
  return handle;
}

void DaoSession::TableClose(DaoHandle handle) {
  TableFor(handle);
  tables_.erase(handle);
}

std::vector<DaoFieldDef> DaoSession::TableFields(DaoHandle handle) { return TableFor(handle).fields; }

void DaoSession::CreateField(DaoHandle handle, const std::string& name, short type, long size,
                             long attributes) {
  Table& table = TableFor(handle);
  CheckObjectName("field", name);
  const TypeInfo* info = FindType(type);
  if (!info)
    RaiseFormatted("Field type %d is not supported; use 1 (Boolean), 2 (Byte), 3 (Integer),"
                   " 4 (Long), 6 (Single), 7 (Double), 8 (Date/Time), 10 (Text),"
                   " 11 (Long Binary) or 12 (Memo).",
                   static_cast<int>(type));
  DaoFieldDef field{name, type, size, attributes};
  if (type == kDaoText) {
    if (size == 0) field.size = info->size;
    if (field.size < 1 || field.size > 255)
      RaiseFormatted("Text field \"%s\" cannot have size %ld: a text field holds 1 to 255"
                     " characters.",
                     name.c_str(), size);
  } else if (size != 0 && size != info->size) {
    RaiseFormatted("Field \"%s\" of type %s has size %ld; pass 0 or %ld.", name.c_str(), info->name,
                   size, info->size);
  } else {
    field.size = info->size;
  }
  if (attributes & ~kKnownFieldAttributes)
    RaiseFormatted("Field \"%s\": attributes 0x%lX hold bits that are no field attributes.",
                   name.c_str(), static_cast<unsigned long>(attributes));
  for (const DaoFieldDef& existing : table.fields)
    if (SameName(existing.name, name))
      RaiseFormatted("Table \"%s\" already has a field named \"%s\".", table.name.c_str(),
                     name.c_str());
  if (table.appended) {
    // A field added to a table that is already stored is stored at once.
    Connection& db = Db();
    Transaction transaction(db.db);
    Statement(db, "ALTER TABLE " + Quoted(table.name) + " ADD COLUMN " + Quoted(name) + " " +
                      DeclaredType(field),
              "Could not add the field to the table")
        .Run();
    Statement(db, "INSERT OR REPLACE INTO korvane_fielddefs VALUES (?1, ?2, ?3, ?4, ?5)",
              "Could not record the field's definition")
        .Bind(1, U8(table.name)).Bind(2, U8(name)).Bind(3, int64_t{field.type})
        .Bind(4, int64_t{field.size}).Bind(5, int64_t{field.attributes})
        .Run();
    transaction.Commit();
  }
  table.fields.push_back(field);
}

void DaoSession::TableAppend(DaoHandle handle) {
  Table& table = TableFor(handle);
  if (table.appended)
    RaiseFormatted("Table \"%s\" is already part of database \"%s\".", table.name.c_str(),
                   openName_.c_str());
  if (table.fields.empty())
    RaiseFormatted("Table \"%s\" has no fields; create at least one before appending it.",
                   table.name.c_str());
  if (StoredTableName(table.name))
    RaiseFormatted("Table \"%s\" already exists in database \"%s\".", table.name.c_str(),
                   openName_.c_str());
  Connection& db = Db();
  std::string sql = "CREATE TABLE " + Quoted(table.name) + " (";
  for (size_t i = 0; i < table.fields.size(); ++i)
    sql += (i ? ", " : "") + Quoted(table.fields[i].name) + " " + DeclaredType(table.fields[i]);
  sql += ")";
  Transaction transaction(db.db);
  Statement(db, sql, "Could not create the table").Run();
  // Definitions left by a table of the same name that SQL dropped.
  Statement(db, "DELETE FROM korvane_fielddefs WHERE table_name = ?1",
            "Could not record the table's fields")
      .Bind(1, U8(table.name))
      .Run();
  for (const DaoFieldDef& field : table.fields)
    Statement(db, "INSERT INTO korvane_fielddefs VALUES (?1, ?2, ?3, ?4, ?5)",
              "Could not record the table's fields")
        .Bind(1, U8(table.name)).Bind(2, U8(field.name)).Bind(3, int64_t{field.type})
        .Bind(4, int64_t{field.size}).Bind(5, int64_t{field.attributes})
        .Run();
  transaction.Commit();
  table.appended = true;
}

// ---- record sets ----

DaoHandle DaoSession::RecordSetTableOpen(DaoHandle tableHandle, long openType, long options) {
  Table& table = TableFor(tableHandle);
  RequireHandleRoom();
  if (!table.appended)
    RaiseFormatted("Table \"%s\" has not been appended to the database yet.", table.name.c_str());
  if (openType != kDaoOpenTable && openType != kDaoOpenDynaset && openType != kDaoOpenSnapshot &&
      openType != kDaoOpenForwardOnly)
    RaiseFormatted("Open type %ld is not supported; use 1 (table), 2 (dynaset), 4 (snapshot) or"
                   " 8 (forward-only).",
                   openType);
  if (options & ~kKnownRecordSetOptions)
    RaiseFormatted("Record set options 0x%lX hold bits that are no record set options.",
                   static_cast<unsigned long>(options));
  if (!StoredTableName(table.name))
    RaiseFormatted("Table \"%s\" does not exist in database \"%s\" any more.", table.name.c_str(),
                   openName_.c_str());
  auto rs = std::make_unique<RecordSet>();
  rs->table = table.name;
  rs->fields = LoadFields(table.name);
  rs->forwardOnly = openType == kDaoOpenForwardOnly || (options & kDaoForwardOnly);
  rs->readOnly = openType == kDaoOpenSnapshot || rs->forwardOnly || (options & kDaoReadOnly);
  rs->appendOnly = options & kDaoAppendOnly;
  if (openType == kDaoOpenSnapshot || openType == kDaoOpenForwardOnly) {
    Statement last(Db(), "SELECT max(rowid) FROM " + Quoted(table.name),
                   "Could not read the table");
    last.Step();
    rs->limit = last.IsNull(0) ? INT64_MIN : last.Integer(0);
  }
  if (!rs->appendOnly) {
    if (std::optional<int64_t> first = Neighbour(*rs, "min", ">=", INT64_MIN)) {
      rs->current = *first;
      rs->bof = rs->eof = false;
    }
  }
  const DaoHandle handle = NewHandle();
  recordSets_[handle] = std::move(rs);
  return handle;
}

DaoHandle DaoSession::RecordSetQueryDefOpen(DaoHandle queryHandle, long openType, long options) {
  Query& query = QueryFor(queryHandle);
  if (openType != kDaoOpenDynaset && openType != kDaoOpenSnapshot &&
      openType != kDaoOpenForwardOnly)
    RaiseFormatted("Open type %ld is not supported for a query; use 2 (dynaset), 4 (snapshot) or"
                   " 8 (forward-only).",
                   openType);
  if (options & ~kKnownRecordSetOptions)
    RaiseFormatted("Record set options 0x%lX hold bits that are no record set options.",
                   static_cast<unsigned long>(options));
  RequireHandleRoom();
  Connection& connection = Db();
  ClientStatement sandbox(connection);
  sqlite3_stmt* raw = connection.PrepareUserSql(query.sql, query.name);
  auto finalize = [](sqlite3_stmt* s) { sqlite3_finalize(s); };
  std::unique_ptr<sqlite3_stmt, decltype(finalize)> stmt(raw, finalize);
  if (sqlite3_column_count(stmt.get()) == 0)
    RaiseFormatted("Query \"%s\" returns no records; execute it instead of opening a record set.",
                   query.name.c_str());
  auto rs = std::make_unique<RecordSet>();
  rs->fromQuery = true;
  rs->readOnly = true;
  rs->forwardOnly = openType == kDaoOpenForwardOnly || (options & kDaoForwardOnly);
  for (int rc; (rc = sqlite3_step(stmt.get())) != SQLITE_DONE; ++rs->rowCount) {
    if (rc != SQLITE_ROW)
      RaiseFormatted("Query \"%s\" failed: %s.", query.name.c_str(),
                     connection.FailureText().c_str());
    if (rs->rowCount >= connection.limits.recordSetRows)
      RaiseFormatted("Query \"%s\" returns more than %ld records, the most a record set holds;"
                     " narrow it with WHERE or LIMIT.",
                     query.name.c_str(), connection.limits.recordSetRows);
  }
  if (rs->rowCount) {
    rs->current = 0;
    rs->bof = rs->eof = false;
  }
  const DaoHandle handle = NewHandle();
  recordSets_[handle] = std::move(rs);
  return handle;
}

void DaoSession::RecordSetClose(DaoHandle handle) {
  RecordSetFor(handle);
  recordSets_.erase(handle);
}

// The row next to from in the direction comparison gives (">" after, "<"
// before), by aggregate ("min" or "max"), within what the record set sees.
std::optional<int64_t> DaoSession::Neighbour(const RecordSet& rs, const char* aggregate,
                                              const char* comparison, int64_t from) {
  if (rs.fromQuery) {
    int64_t row = from;
    if (!std::strcmp(comparison, ">=")) row = 0;
    else if (!std::strcmp(comparison, "<=")) row = rs.rowCount - 1;
    else if (!std::strcmp(comparison, ">")) row = from + 1;
    else row = from - 1;
    if (row < 0 || row >= rs.rowCount) return std::nullopt;
    return row;
  }
  Statement next(Db(),
                 std::string("SELECT ") + aggregate + "(rowid) FROM " + Quoted(rs.table) +
                     " WHERE rowid " + comparison + " ?1 AND rowid <= ?2",
                 "Could not move in the record set");
  next.Bind(1, from).Bind(2, rs.limit);
  next.Step();
  if (next.IsNull(0)) return std::nullopt;
  return next.Integer(0);
}

namespace {

void RequireNavigable(bool appendOnly) {
  if (appendOnly)
    RaiseFormatted("This record set was opened for appending only: it has no records to move to.");
}

void RequireBackward(bool forwardOnly, const char* move) {
  if (forwardOnly) RaiseFormatted("%s is not possible in a forward-only record set.", move);
}

}  // namespace

void DaoSession::MoveFirst(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireNavigable(rs.appendOnly);
  RequireBackward(rs.forwardOnly, "MoveFirst");
  rs.adding = false;  // moving away drops an unfinished new record
  const std::optional<int64_t> first = Neighbour(rs, "min", ">=", INT64_MIN);
  rs.deleted = false;
  if (!first) {
    rs.bof = rs.eof = true;
    RaiseFormatted("No current record: the record set is empty.");
  }
  rs.current = *first;
  rs.bof = rs.eof = false;
}

void DaoSession::MoveLast(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireNavigable(rs.appendOnly);
  RequireBackward(rs.forwardOnly, "MoveLast");
  rs.adding = false;
  const std::optional<int64_t> last = Neighbour(rs, "max", "<=", INT64_MAX);
  rs.deleted = false;
  if (!last) {
    rs.bof = rs.eof = true;
    RaiseFormatted("No current record: the record set is empty.");
  }
  rs.current = *last;
  rs.bof = rs.eof = false;
}

void DaoSession::MoveNext(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireNavigable(rs.appendOnly);
  if (rs.eof) RaiseFormatted("No current record: the record set is already past its last record.");
  rs.adding = false;
  const std::optional<int64_t> next =
      rs.bof ? Neighbour(rs, "min", ">=", INT64_MIN) : Neighbour(rs, "min", ">", rs.current);
  rs.deleted = false;
  rs.bof = false;
  if (next)
    rs.current = *next;
  else
    rs.eof = true;
}

void DaoSession::MovePrev(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireNavigable(rs.appendOnly);
  RequireBackward(rs.forwardOnly, "MovePrev");
  if (rs.bof) RaiseFormatted("No current record: the record set is already before its first record.");
  rs.adding = false;
  const std::optional<int64_t> previous =
      rs.eof ? Neighbour(rs, "max", "<=", INT64_MAX) : Neighbour(rs, "max", "<", rs.current);
  rs.deleted = false;
  rs.eof = false;
  if (previous)
    rs.current = *previous;
  else
    rs.bof = true;
}

bool DaoSession::IsBOF(DaoHandle handle) { return RecordSetFor(handle).bof; }
bool DaoSession::IsEOF(DaoHandle handle) { return RecordSetFor(handle).eof; }

namespace {

// Dates are kept as "YYYY-MM-DD HH:MM:SS[.mmm]".
bool DateFromText(const std::string& text, double& value) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
  const int parts = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &sec, &ms);
  if (parts < 3 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  value = daodate::OleDateFromParts(y, mo, d, h, mi, sec, ms);
  return true;
}

void GiveText(VARIANT* value, const std::string& utf8) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         nullptr, 0);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (!text) throw std::bad_alloc();
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text, length);
  value->vt = VT_BSTR;
  value->bstrVal = text;
}

void GiveBytes(VARIANT* value, const void* bytes, int size) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  if (!array) throw std::bad_alloc();
  if (size > 0) {
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    std::memcpy(data, bytes, static_cast<size_t>(size));
    SafeArrayUnaccessData(array);
  }
  value->vt = VT_ARRAY | VT_UI1;
  value->parray = array;
}

}  // namespace

void DaoSession::GetFieldValue(DaoHandle handle, long ordinal, VARIANT* value) {
  RecordSet& rs = RecordSetFor(handle);
  if (!value) RaiseFormatted("No place for the field value was given.");
  if (rs.fromQuery)
    RaiseFormatted("The field values of a record set over a query cannot be read; open a record"
                   " set over the table.");
  if (ordinal < 0 || static_cast<size_t>(ordinal) >= rs.fields.size())
    RaiseFormatted("Field %ld does not exist: the record set has %u fields.", ordinal,
                   static_cast<unsigned>(rs.fields.size()));
  if (rs.bof || rs.eof || rs.adding || rs.deleted || rs.appendOnly)
    RaiseFormatted("No current record to read a field of.");
  const DaoFieldDef& field = rs.fields[static_cast<size_t>(ordinal)];
  Statement read(Db(), "SELECT " + Quoted(field.name) + " FROM " + Quoted(rs.table) + " WHERE rowid = ?1",
                 "Could not read a field value");
  read.Bind(1, rs.current);
  if (!read.Step()) RaiseFormatted("No current record to read a field of: it was deleted.");
  sqlite3_stmt* row = read.get();
  const int stored = sqlite3_column_type(row, 0);
  VariantInit(value);
  if (stored == SQLITE_NULL) {
    value->vt = VT_NULL;
    return;
  }
  switch (field.type) {
    case kDaoBoolean: value->vt = VT_BOOL; value->boolVal = read.Integer(0) ? VARIANT_TRUE : VARIANT_FALSE; return;
    case kDaoByte: value->vt = VT_UI1; value->bVal = static_cast<BYTE>(read.Integer(0)); return;
    case kDaoInteger: value->vt = VT_I2; value->iVal = static_cast<SHORT>(read.Integer(0)); return;
    case kDaoLong: value->vt = VT_I4; value->lVal = static_cast<LONG>(read.Integer(0)); return;
    case kDaoSingle: value->vt = VT_R4; value->fltVal = static_cast<float>(sqlite3_column_double(row, 0)); return;
    case kDaoDouble: value->vt = VT_R8; value->dblVal = sqlite3_column_double(row, 0); return;
    case kDaoDate:
      if (stored == SQLITE_TEXT && DateFromText(read.Text(0), value->date)) {
        value->vt = VT_DATE;
        return;
      }
      break;  // not a date after all: given as it is kept
    case kDaoLongBinary:
      GiveBytes(value, sqlite3_column_blob(row, 0), sqlite3_column_bytes(row, 0));
      return;
    default:
      break;
  }
  // Text fields, and values that client SQL stored against their field's type.
  switch (stored) {
    case SQLITE_INTEGER: value->vt = VT_I4; value->lVal = static_cast<LONG>(read.Integer(0)); return;
    case SQLITE_FLOAT: value->vt = VT_R8; value->dblVal = sqlite3_column_double(row, 0); return;
    case SQLITE_BLOB: GiveBytes(value, sqlite3_column_blob(row, 0), sqlite3_column_bytes(row, 0)); return;
    default: GiveText(value, read.Text(0)); return;
  }
}

long DaoSession::GetBookmark(DaoHandle handle) {
  const RecordSet& rs = RecordSetFor(handle);
  if (rs.bof || rs.eof || rs.adding || rs.appendOnly) RaiseFormatted("No current record to name.");
  if (rs.current > LONG_MAX) RaiseFormatted("The current record's number is too large for a bookmark.");
  return static_cast<long>(rs.current);
}

void DaoSession::SetBookmark(DaoHandle handle, long bookmark) {
  RecordSet& rs = RecordSetFor(handle);
  RequireNavigable(rs.appendOnly);
  if (bookmark < 0 || (rs.fromQuery && bookmark >= rs.rowCount))
    RaiseFormatted("Bookmark %ld names no record of this record set.", bookmark);
  if (rs.forwardOnly && !rs.bof && !rs.eof && bookmark < rs.current)
    RaiseFormatted("Going back to a bookmark is not possible in a forward-only record set.");
  rs.adding = false;
  rs.deleted = false;
  rs.current = bookmark;
  rs.bof = rs.eof = false;
}

namespace {

void RequireWritable(bool readOnly, const char* operation) {
  if (readOnly)
    RaiseFormatted("%s is not possible: the record set is read-only (a snapshot, forward-only,"
                   " opened read-only, or over a query).",
                   operation);
}

}  // namespace

void DaoSession::AddNew(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireWritable(rs.readOnly, "AddNew");
  if (rs.adding)
    RaiseFormatted("AddNew was already called: store the new record with Update first.");
  rs.adding = true;
  rs.pending.assign(rs.fields.size(), std::nullopt);
}

std::optional<DaoValue>& DaoSession::PendingValue(DaoHandle handle, long ordinal,
                                                  const DaoFieldDef** field) {
  RecordSet& rs = RecordSetFor(handle);
  RequireWritable(rs.readOnly, "Setting a field value");
  if (!rs.adding) RaiseFormatted("A field value can only be set on a new record: call AddNew first.");
  if (ordinal < 0 || static_cast<size_t>(ordinal) >= rs.fields.size())
    RaiseFormatted("There is no field number %ld in table \"%s\": it has %u fields.", ordinal,
                   rs.table.c_str(), static_cast<unsigned>(rs.fields.size()));
  *field = &rs.fields[static_cast<size_t>(ordinal)];
  return rs.pending[static_cast<size_t>(ordinal)];
}

void DaoSession::SetFieldValue(DaoHandle handle, long ordinal, const VARIANT& value) {
  const DaoFieldDef* field = nullptr;
  std::optional<DaoValue>& slot = PendingValue(handle, ordinal, &field);
  slot = ConvertVariant(*field, value);
}

void DaoSession::SetFieldValueString(DaoHandle handle, long ordinal, const std::string& value) {
  const DaoFieldDef* field = nullptr;
  std::optional<DaoValue>& slot = PendingValue(handle, ordinal, &field);
  if (field->type == kDaoText || field->type == kDaoMemo) {
    slot = TextValue(*field, value);
  } else if (field->type == kDaoLongBinary) {
    DaoValue bytes;
    bytes.kind = DaoValue::Blob;
    bytes.bytes = value;
    slot = bytes;
  } else {
    // Numbers and dates are read from the text as the variant rules read
    // them.
    const int wide = MultiByteToWideChar(CP_ACP, 0, value.data(), static_cast<int>(value.size()),
                                         nullptr, 0);
    VariantHolder text;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
    MultiByteToWideChar(CP_ACP, 0, value.data(), static_cast<int>(value.size()), text.v.bstrVal,
                        wide);
    slot = ConvertVariant(*field, text.v);
  }
}

void DaoSession::Update(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireWritable(rs.readOnly, "Update");
  if (!rs.adding) RaiseFormatted("Update without AddNew: there is no new record to store.");
  std::string columns, values;
  std::vector<const DaoValue*> bound;
  for (size_t i = 0; i < rs.fields.size(); ++i) {
    if (!rs.pending[i]) continue;
    columns += (bound.empty() ? "" : ", ") + Quoted(rs.fields[i].name);
    values += bound.empty() ? "?" : ", ?";
    bound.push_back(&*rs.pending[i]);
  }
  const std::string sql = bound.empty()
                              ? "INSERT INTO " + Quoted(rs.table) + " DEFAULT VALUES"
                              : "INSERT INTO " + Quoted(rs.table) + " (" + columns + ") VALUES (" +
                                    values + ")";
  Statement insert(Db(), sql, "Could not store the new record");
  for (size_t i = 0; i < bound.size(); ++i) insert.Bind(static_cast<int>(i + 1), *bound[i]);
  insert.Run();
  rs.adding = false;
  rs.pending.clear();
}

void DaoSession::Delete(DaoHandle handle) {
  RecordSet& rs = RecordSetFor(handle);
  RequireWritable(rs.readOnly, "Delete");
  RequireNavigable(rs.appendOnly);
  if (rs.adding)
    RaiseFormatted("Delete is not possible while a new record is being added: call Update first.");
  if (rs.bof || rs.eof || rs.deleted) RaiseFormatted("No current record to delete.");
  Statement remove(Db(), "DELETE FROM " + Quoted(rs.table) + " WHERE rowid = ?1",
                   "Could not delete the record");
  remove.Bind(1, rs.current).Run();
  rs.deleted = true;
  if (sqlite3_changes(Db().db) == 0)
    RaiseFormatted("The current record was deleted by another connection already.");
}

// ---- queries ----

bool DaoSession::QueryDefExists(const std::string& name) {
  Statement find(Db(), "SELECT 1 FROM korvane_querydefs WHERE name = ?1",
                 "Could not look up a query");
  find.Bind(1, U8(name));
  return find.Step();
}

DaoHandle DaoSession::QueryDefCreate(const std::string& name, const std::string& sql) {
  Connection& connection = Db();
  // An unnamed query is a temporary one: it runs, but is not stored.
  if (!name.empty()) {
    CheckObjectName("query", name);
    if (QueryDefExists(name))
      RaiseFormatted("Query \"%s\" already exists in database \"%s\".", name.c_str(),
                     openName_.c_str());
  }
  RequireHandleRoom();
  {
    ClientStatement sandbox(connection);
    sqlite3_finalize(connection.PrepareUserSql(sql, name));
  }
  auto query = std::make_unique<Query>();
  query->name = name;
  query->sql = sql;
  const DaoHandle handle = NewHandle();
  queries_[handle] = std::move(query);
  return handle;
}

DaoHandle DaoSession::QueryDefOpen(const std::string& name) {
  RequireHandleRoom();
  Statement find(Db(), "SELECT name, sql FROM korvane_querydefs WHERE name = ?1",
                 "Could not look up a query");
  find.Bind(1, U8(name));
  if (!find.Step())
    RaiseFormatted("Query \"%s\" does not exist in database \"%s\".", name.c_str(),
                   openName_.c_str());
  auto query = std::make_unique<Query>();
  query->name = Ansi(find.Text(0).c_str());
  query->sql = Ansi(find.Text(1).c_str());
  query->stored = true;
  const DaoHandle handle = NewHandle();
  queries_[handle] = std::move(query);
  return handle;
}

void DaoSession::QueryDefClose(DaoHandle handle) {
  QueryFor(handle);
  queries_.erase(handle);
}

void DaoSession::QueryDefAppend(DaoHandle handle) {
  Query& query = QueryFor(handle);
  if (query.name.empty())
    RaiseFormatted("A query without a name is temporary and cannot be appended.");
  if (query.stored)
    RaiseFormatted("Query \"%s\" is already part of database \"%s\".", query.name.c_str(),
                   openName_.c_str());
  if (QueryDefExists(query.name))
    RaiseFormatted("Query \"%s\" already exists in database \"%s\".", query.name.c_str(),
                   openName_.c_str());
  Statement(Db(), "INSERT INTO korvane_querydefs (name, sql) VALUES (?1, ?2)",
            "Could not store the query")
      .Bind(1, U8(query.name)).Bind(2, U8(query.sql))
      .Run();
  query.stored = true;
}

void DaoSession::QueryDefExecute(DaoHandle handle, long options) {
  Query& query = QueryFor(handle);
  if (options & ~kKnownExecuteOptions)
    RaiseFormatted("Execute options 0x%lX hold bits that this server does not carry out.",
                   static_cast<unsigned long>(options));
  Connection& connection = Db();
  ClientStatement sandbox(connection);
  auto finalize = [](sqlite3_stmt* s) { sqlite3_finalize(s); };
  std::unique_ptr<sqlite3_stmt, decltype(finalize)> stmt(
      connection.PrepareUserSql(query.sql, query.name), finalize);
  if (sqlite3_column_count(stmt.get()) != 0)
    RaiseFormatted("Query \"%s\" is a select query: open a record set on it instead of executing"
                   " it.",
                   query.name.c_str());
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE)
    RaiseFormatted("Query \"%s\" failed: %s.", query.name.c_str(),
                   connection.FailureText().c_str());
}
