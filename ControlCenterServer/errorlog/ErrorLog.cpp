#include "errorlog/ErrorLog.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "DaoDate.h"
#include "QRBDaoClasses.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

const char kLogEventName[] = "CFactoryLogEvent";
const char kErrorDatabaseName[] = "QRB Errors";
const char kErrorTableName[] = "QRB Errors";

// DAO data-type numbers of the table's fields.
constexpr short kDateField = 8;
constexpr short kIntegerField = 3;
constexpr short kLongBinaryField = 11;
constexpr long kTableOpenType = 1;

// Made during static initialisation, before the server starts, and held
// until the process ends: auto-reset and signalled, so the first waiter
// passes and takes it. Every process that opens the same name shares the
// turn-taking.
UniqueHandle logEvent(CreateEventA(nullptr, FALSE, TRUE, kLogEventName));

// Takes the log's turn for the life of the object and gives it back on
// every path, so that a failure never blocks later writers.
class LogTurn {
 public:
  LogTurn() {
    if (!logEvent) return;
    WaitForSingleObject(logEvent.get(), INFINITE);
    ResetEvent(logEvent.get());
  }
  ~LogTurn() {
    if (logEvent) SetEvent(logEvent.get());
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;
};

// Workers and other threads that never joined COM may log too: such a
// thread joins the multithreaded apartment for the call. A thread already
// in an apartment stays in it.
class ComForThisCall {
 public:
  ComForThisCall() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComForThisCall() {
    if (joined_) CoUninitialize();
  }
  ComForThisCall(const ComForThisCall&) = delete;
  ComForThisCall& operator=(const ComForThisCall&) = delete;

 private:
  bool joined_;
};

class Variant {
 public:
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT v;
};

// Local date and time to the second, and the milliseconds apart, of one
// UTC instant.
void TimeParts(const FILETIME& utc, double& localDate, short& milliseconds) {
  FILETIME local;
  SYSTEMTIME parts{};
  SYSTEMTIME utcParts{};
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &parts);
  FileTimeToSystemTime(&utc, &utcParts);
  localDate = daodate::OleDateFromParts(parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                                        parts.wMinute, parts.wSecond);
  milliseconds = static_cast<short>(utcParts.wMilliseconds);
}

void CreateErrorTable(DaoDatabase& database) {
  DaoTable table(&database);
  table.Create(kErrorTableName);
  table.CreateField("Date/Time", kDateField, 8, 0);
  table.CreateField("Milliseconds", kIntegerField, 2, 0);
  table.CreateField("Error Message Size", kIntegerField, 2, 0);
  table.CreateField("Error Message", kLongBinaryField, 0, 0);
  table.Append();
  table.Close();
}

void WriteRecord(const char* text, const FILETIME& now) {
  const size_t length = std::min<size_t>(std::strlen(text), kLongestLoggedText);
  double localDate = 0;
  short milliseconds = 0;
  TimeParts(now, localDate, milliseconds);

  // The name travels in a buffer of its own, as the database layer's
  // callers have always passed it.
  std::string name(512, '\0');
  std::strncpy(name.data(), kErrorDatabaseName, name.size() - 1);

  DaoDatabase database;
  if (!database.Exists(name.c_str())) {
    database.Create(name.c_str());
    CreateErrorTable(database);
  } else {
    database.Open(name.c_str());
  }
  name.clear();
  name.shrink_to_fit();

  DaoTable table(&database);
  table.Open(kErrorTableName);
  DaoRecordSet records(&database);
  records.Open(&table, kTableOpenType, 0);
  records.AddNew();

  Variant date;
  date.v.vt = VT_DATE;
  date.v.date = localDate;
  records.SetFieldValue(0, date.v);

  Variant millis;
  millis.v.vt = VT_I2;
  millis.v.iVal = milliseconds;
  records.SetFieldValue(1, millis.v);

  Variant size;
  size.v.vt = VT_I2;
  size.v.iVal = static_cast<SHORT>(length);
  records.SetFieldValue(2, size.v);

  Variant bytes;
  bytes.v.vt = VT_ARRAY | VT_UI1;
  bytes.v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
  if (!bytes.v.parray) RaiseFormatted("Could not make the byte array of an error text.");
  if (length) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(bytes.v.parray, &data)))
      RaiseFormatted("Could not fill the byte array of an error text.");
    std::memcpy(data, text, length);
    SafeArrayUnaccessData(bytes.v.parray);
  }
  records.SetFieldValue(3, bytes.v);

  records.Update();
  records.Close();
  table.Close();
  database.Close();
}

}  // namespace

int LogErrorToDatabase(const char* text) {
  if (!text) return 0;
  // The turn is taken before the time is, so records follow each other in
  // time; the wrappers and the connection are gone before the turn is
  // given back, so the next writer never overlaps our last closes.
  LogTurn turn;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ComForThisCall com;
  try {
    WriteRecord(text, now);
    return 1;
  } catch (...) {
    // The text of the failure is dropped: the caller decides what a 0
    // means (the translating frame shows the original text instead).
    return 0;
  }
}

void InstallErrorLog() { SetErrorLogger(LogErrorToDatabase); }
