#include "ClientErrors.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Win32/JsonText.h"
#include "ControlCenterClient.h"
#include "DaoDate.h"
#include "QRBDAO.h"
#include "Win32/ErrorSource.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// The error table, as the server's error log writes it.
const char kErrorDatabase[] = "QRB Errors";
const char kErrorTable[] = "QRB Errors";
constexpr long kDateField = 0, kMillisecondsField = 1, kSizeField = 2, kTextField = 3;
constexpr long kOpenDynaset = 2, kReadOnly = 4;
constexpr DWORD kFollowPollMs = 1000;

// A failed call: which, and its result; the database server's text goes
// with it when it has one.
struct CallFailed {
  std::string method;
  HRESULT hr;
};

class ErrorTableReader {
 public:
  // False (reported) when the database server cannot be reached.
  bool Connect() {
    HRESULT hr = CoCreateInstance(CLSID_QRBDAOServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IQRBDAO,
                                  dao_.put_void());
    if (FAILED(hr) || !dao_) {
      const std::string text = OneLine(SystemErrorText(static_cast<DWORD>(hr)));
      PrintErrorLine("Could not reach the database server: HRESULT " + HresultText(hr));
      PrintErrorLine("Error: " + (text.empty() ? std::string("The database server could not be started.") : text));
      return false;
    }
    dao_->QueryInterface(IID_IQRBConsoleComponent, console_.put_void());
    hr = dao_->QueryInterface(IID_IQRBDAORecords, records_.put_void());
    if (FAILED(hr)) throw CallFailed{"QueryInterface(IQRBDAORecords)", hr};
    return true;
  }

  // False while the log has no table yet (nothing was ever logged).
  bool Open() {
    if (recordSet_ != kNone) return true;
    unsigned char exists = 0;
    Check("DatabaseExists", dao_->DatabaseExists(Name(kErrorDatabase), &exists));
    if (!exists) return false;
    if (!databaseOpen_) {
      Check("DatabaseOpen", dao_->DatabaseOpen(Name(kErrorDatabase)));
      databaseOpen_ = true;
    }
    Check("TableExists", dao_->TableExists(Name(kErrorTable), &exists));
    if (!exists) return false;
    ULONG table = kNone;
    Check("TableOpen", dao_->TableOpen(Name(kErrorTable), &table));
    table_ = table;
    ULONG recordSet = kNone;
    // A dynaset sees the records logged after it was opened.
    Check("RecordSetTableOpen", dao_->RecordSetTableOpen(table_, kOpenDynaset, kReadOnly, &recordSet));
    recordSet_ = recordSet;
    return true;
  }

  // The bookmark after which the entries to show begin: the last `last`
  // of those logged at or after `since`, walking back from the newest.
  long StartAfter(const std::string& since, unsigned long last) {
    if (since.empty() && last == 0) return 0;
    if (Eof()) return 0;  // an empty table
    Check("MoveLast", dao_->MoveLast(recordSet_));
    unsigned long taken = 0;
    while (!Bof()) {
      if (!since.empty() && Time() < since) return Bookmark();
      if (last && taken == last) return Bookmark();
      ++taken;
      Check("MovePrev", dao_->MovePrev(recordSet_));
    }
    return 0;
  }

  // Prints every entry after the bookmark; returns the bookmark of the last
  // one printed (the same when there was none).
  long PrintAfter(long bookmark, bool json) {
    Check("SetBookmark", records_->SetBookmark(recordSet_, bookmark));
    Check("MoveNext", dao_->MoveNext(recordSet_));
    while (!Eof()) {
      PrintLine(FormatLogEntry(Time(), Text(), json));
      bookmark = Bookmark();
      Check("MoveNext", dao_->MoveNext(recordSet_));
    }
    return bookmark;
  }

  // The database server's text for the last failure; empty when it has none.
  std::string TakeErrorText() {
    if (!console_) return std::string();
    unsigned short size = 0;
    CoTaskMemHolder<char> text;
    if (FAILED(console_->GetErrorText(&size, text.put())) || !text.get()) return std::string();
    return OneLine(std::string(text.get(), strnlen(text.get(), size)));
  }

 private:
  static constexpr ULONG kNone = 0xFFFFFFFFul;

  // Texts travel with their NUL counted, in a buffer of the caller's.
  DaoString Name(const char* text) {
    nameBuffer_.assign(text, text + std::strlen(text) + 1);
    return DaoString{static_cast<unsigned long>(nameBuffer_.size()), nameBuffer_.data()};
  }

  static void Check(const char* method, HRESULT hr) {
    if (FAILED(hr)) throw CallFailed{method, hr};
  }

  bool Eof() {
    unsigned char eof = 1;
    Check("IsEOF", dao_->IsEOF(recordSet_, &eof));
    return eof != 0;
  }
  bool Bof() {
    unsigned char bof = 1;
    Check("IsBOF", dao_->IsBOF(recordSet_, &bof));
    return bof != 0;
  }
  long Bookmark() {
    long bookmark = 0;
    Check("GetBookmark", records_->GetBookmark(recordSet_, &bookmark));
    return bookmark;
  }

  // "YYYY-MM-DD HH:MM:SS.mmm", local time as logged.
  std::string Time() {
    VariantHolder date, milliseconds;
    Check("GetFieldValue", records_->GetFieldValue(recordSet_, kDateField, &date.v));
    Check("GetFieldValue", records_->GetFieldValue(recordSet_, kMillisecondsField, &milliseconds.v));
    std::string text;
    if (date.v.vt != VT_DATE || !daodate::OleDateToText(date.v.date, text)) return "?";
    text.resize(19);  // the seconds; the milliseconds are a field of their own
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", milliseconds.v.vt == VT_I2 ? milliseconds.v.iVal % 1000 : 0);
    return text + ms;
  }

  std::string Text() {
    VariantHolder size, bytes;
    Check("GetFieldValue", records_->GetFieldValue(recordSet_, kSizeField, &size.v));
    Check("GetFieldValue", records_->GetFieldValue(recordSet_, kTextField, &bytes.v));
    if (bytes.v.vt != (VT_ARRAY | VT_UI1) || !bytes.v.parray) return std::string();
    const ULONG stored = bytes.v.parray->rgsabound[0].cElements;
    ULONG length = stored;
    if (size.v.vt == VT_I2 && size.v.iVal >= 0) length = std::min<ULONG>(length, static_cast<ULONG>(size.v.iVal));
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(bytes.v.parray, &data))) return std::string();
    std::string text(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), length));
    SafeArrayUnaccessData(bytes.v.parray);
    return text;
  }

  ComPtr<IQRBDAO> dao_;
  ComPtr<IQRBConsoleComponent> console_;
  ComPtr<IQRBDAORecords> records_;
  std::vector<char> nameBuffer_;
  bool databaseOpen_ = false;
  ULONG table_ = kNone;
  ULONG recordSet_ = kNone;
};

}  // namespace

std::string FormatLogEntry(const std::string& time, const std::string& text, bool json) {
  std::string source = AssertionSource(text);
  if (json)
    return "{\"time\":" + JsonText(time) + ",\"source\":" + (source.empty() ? "null" : JsonText(source)) +
           ",\"text\":" + JsonText(text) + "}";
  return time + "  " + (source.empty() ? "-" : source) + "  " + OneLine(text);
}

int RunErrorLog(const ClientRequest& request, HANDLE stop) {
  ErrorTableReader reader;
  try {
    if (!reader.Connect()) return kExitUnreachable;
    long bookmark = 0;
    if (reader.Open()) {
      bookmark = reader.StartAfter(request.since, request.last);
      bookmark = reader.PrintAfter(bookmark, request.json);
    }
    if (!request.follow) return kExitSuccess;
    // New entries are looked for once a second until stopped. A log whose
    // table does not exist yet is looked for as well: it is made with the
    // first error.
    const ULONGLONG stopAt = request.watchSeconds ? GetTickCount64() + request.watchSeconds * 1000ull : 0;
    for (;;) {
      DWORD wait = kFollowPollMs;
      if (stopAt) {
        const ULONGLONG now = GetTickCount64();
        if (now >= stopAt) break;
        wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, stopAt - now));
      }
      if (stop ? WaitForSingleObject(stop, wait) == WAIT_OBJECT_0 : (Sleep(wait), false)) break;
      if (reader.Open()) bookmark = reader.PrintAfter(bookmark, request.json);
    }
    return kExitSuccess;
  } catch (const CallFailed& failure) {
    PrintErrorLine(failure.method + " failed: HRESULT " + HresultText(failure.hr));
    if (ServerUnreachable(failure.hr)) {
      PrintErrorLine("Error: The database server could not be reached.");
      return kExitUnreachable;
    }
    std::string text = reader.TakeErrorText();
    if (text.empty()) text = OneLine(SystemErrorText(static_cast<DWORD>(failure.hr)));
    PrintErrorLine("Error: " + (text.empty() ? std::string("The database server gave no error text.") : text));
    return kExitFailed;
  }
}
