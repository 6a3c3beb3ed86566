#include "errorlog/ErrorLog.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "DaoDate.h"
#include "DaoServerSettings.h"
#include "QRBDaoClasses.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

const char kErrorDatabaseName[] = "QRB Errors";
const char kErrorTableName[] = "QRB Errors";

// DAO data-type numbers of the table's fields.
constexpr short kDateField = 8;
constexpr short kIntegerField = 3;
constexpr short kLongBinaryField = 11;
constexpr long kTableOpenType = 1;

// How long a writer waits for its turn, and how long the caller waits for
// the whole write, before the text goes to the fallback file instead. A
// write takes milliseconds, the first one on a machine (the database server
// starting, the database made) a few seconds.
std::atomic<DWORD> turnWaitMs{10000};
std::atomic<DWORD> callWaitMs{20000};

// Both made during static initialisation, before the server starts, and
// held until the process ends; every process that opens the same names
// shares the turn-taking.
//
// The named event "CFactoryLogEvent" (auto-reset, signalled) is the lock
// around a write, as every writer of the system knows it. An event is not
// given up when its holder dies, though: a process killed inside its write
// would leave every later writer of every process waiting. So our writers
// first take a named mutex, which the system hands to the next waiter as
// abandoned when its holder ends; that waiter knows the event's holder is
// gone and signals it again itself.
UniqueHandle logLock(CreateMutexA(nullptr, FALSE, kErrorLogLockName));
UniqueHandle logEvent(CreateEventA(nullptr, FALSE, TRUE, kErrorLogEventName));

// Takes the log's turn for the life of the object, waiting at most waitMs
// in all, and gives it back on every path. A mutex belongs to the thread
// that took it: the turn is taken and given back on the same thread.
class LogTurn {
 public:
  explicit LogTurn(DWORD waitMs) {
    const ULONGLONG start = GetTickCount64();
    if (logLock) {
      // WAIT_ABANDONED: the last holder died inside its write. The database
      // rolled back whatever it had not committed, so the turn is ours, and
      // the event that holder took is given back on its behalf.
      const DWORD result = WaitForSingleObject(logLock.get(), waitMs);
      if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return;
      owned_ = true;
      if (result == WAIT_ABANDONED && logEvent) SetEvent(logEvent.get());
    }
    if (logEvent) {
      const ULONGLONG spent = GetTickCount64() - start;
      const DWORD left = spent >= waitMs ? 0 : static_cast<DWORD>(waitMs - spent);
      eventTaken_ = WaitForSingleObject(logEvent.get(), left) == WAIT_OBJECT_0;
      held_ = eventTaken_;
    } else {
      held_ = true;  // no event to be had: the mutex alone keeps the turns
    }
  }
  ~LogTurn() {
    if (eventTaken_) SetEvent(logEvent.get());
    if (owned_) ReleaseMutex(logLock.get());
  }
  LogTurn(const LogTurn&) = delete;
  LogTurn& operator=(const LogTurn&) = delete;
  bool Held() const { return held_; }

 private:
  bool held_ = false;
  bool owned_ = false;
  bool eventTaken_ = false;
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
    // A first write that was cut short between the database and its table
    // leaves a database without the table: every later error would be lost.
    if (!DaoTable(&database).Exists(kErrorTableName)) CreateErrorTable(database);
  }
  name.clear();
  name.shrink_to_fit();

  DaoTable table(&database);
  table.Open(kErrorTableName);
  DaoRecordSet records(&database);
  records.Open(&table, kTableOpenType, 0);
  records.AddNew();

  VariantHolder date;
  date.v.vt = VT_DATE;
  date.v.date = localDate;
  records.SetFieldValue(0, date.v);

  VariantHolder millis;
  millis.v.vt = VT_I2;
  millis.v.iVal = milliseconds;
  records.SetFieldValue(1, millis.v);

  VariantHolder size;
  size.v.vt = VT_I2;
  size.v.iVal = static_cast<SHORT>(length);
  records.SetFieldValue(2, size.v);

  VariantHolder bytes;
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

std::string TimeText(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME parts{};
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &parts);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", parts.wYear, parts.wMonth,
                parts.wDay, parts.wHour, parts.wMinute, parts.wSecond, parts.wMilliseconds);
  return text;
}

void MakeDirectories(const std::string& directory) {
  for (size_t i = 1; i <= directory.size(); ++i)
    if (i == directory.size() || directory[i] == '\\' || directory[i] == '/')
      CreateDirectoryA(directory.substr(0, i).c_str(), nullptr);
}

// Appends one line, "date time.ms text", to the fallback file. One write
// per line, in append mode, so that lines of several processes never mix.
void WriteFallback(const char* text, const FILETIME& now) {
  const std::string path = ErrorLogFallbackPath();
  const size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos) MakeDirectories(path.substr(0, cut));
  const std::string line =
      TimeText(now) + " " + std::string(text, std::min<size_t>(std::strlen(text), kLongestLoggedText)) +
      "\r\n";
  for (int attempt = 0; attempt < 20; ++attempt) {
    UniqueFileHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      DWORD written = 0;
      WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      return;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(5);
  }
}

// One text on its way to the table. The writer thread and the caller share
// it; whoever comes last frees it.
struct LogJob {
  enum State { Waiting, Writing, Stored, Failed, GivenUp };
  std::string text;
  FILETIME now{};
  std::atomic<int> state{Waiting};
  UniqueHandle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

void Write(const std::shared_ptr<LogJob>& job) {
  // The turn is taken before the record is started, so records follow each
  // other in time; the wrappers and the connection are gone before the turn
  // is given back, so the next writer never overlaps our last closes.
  LogTurn turn(turnWaitMs.load());
  int expected = LogJob::Waiting;
  if (!turn.Held() || !job->state.compare_exchange_strong(expected, LogJob::Writing)) {
    // No turn in time, or the caller went on without us: the text is in
    // the fallback file.
    job->state.compare_exchange_strong(expected, LogJob::Failed);
    SetEvent(job->done.get());
    return;
  }
  ComForThisCall com;
  bool stored = false;
  try {
    WriteRecord(job->text.c_str(), job->now);
    stored = true;
  } catch (...) {
    // The text of the failure is dropped: the caller decides what a 0
    // means (the translating frame shows the original text instead).
  }
  job->state = stored ? LogJob::Stored : LogJob::Failed;
  SetEvent(job->done.get());
}

}  // namespace

const char kErrorLogLockName[] = "CFactoryLogLock";
const char kErrorLogEventName[] = "CFactoryLogEvent";

std::string ErrorLogFallbackPath() { return DatabaseDirectory() + "\\QRB Errors.log"; }

void SetErrorLogWaits(DWORD turnMs, DWORD callMs) {
  turnWaitMs = turnMs;
  callWaitMs = callMs;
}

int LogErrorToDatabase(const char* text) {
  if (!text) return 0;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // The write runs on a thread of its own: a database server that does not
  // answer holds up that thread, never the caller past its wait.
  try {
    auto job = std::make_shared<LogJob>();
    job->text = text;
    job->now = now;
    if (job->done) {
      std::thread(Write, job).detach();
      const bool finished = WaitForSingleObject(job->done.get(), callWaitMs.load()) == WAIT_OBJECT_0;
      int expected = LogJob::Waiting;
      if (!finished) job->state.compare_exchange_strong(expected, LogJob::GivenUp);
      // A write already under way when the caller gave up may still land
      // in the table; then the text is in both places, and never in none.
      if (finished && job->state == LogJob::Stored) return 1;
    }
  } catch (...) {
    // No thread or no memory: the fallback below still takes the text.
  }
  WriteFallback(text, now);
  return 0;
}

void InstallErrorLog() { SetErrorLogger(LogErrorToDatabase); }
