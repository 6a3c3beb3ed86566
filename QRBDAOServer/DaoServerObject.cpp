#include "DaoServerObject.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "DaoServerSettings.h"
#include "DaoStore.h"
#include "Win32/ComObject.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace DaoServerLifetime {

namespace {
std::atomic<long> objects{0};
std::atomic<long> locks{0};

HANDLE Event() {
  static UniqueHandle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  return changed.get();
}
}  // namespace

void AddObject() {
  ++objects;
  SetEvent(Event());
}
void ReleaseObject() {
  --objects;
  SetEvent(Event());
}
void Lock() {
  ++locks;
  SetEvent(Event());
}
void Unlock() {
  --locks;
  SetEvent(Event());
}
bool InUse() { return objects.load() != 0 || locks.load() > 0; }
HANDLE ChangeEvent() { return Event(); }

}  // namespace DaoServerLifetime

namespace {

// Error texts longer than this do not fit GetErrorText's 16-bit size.
constexpr size_t kLongestErrorText = USHRT_MAX - 1;

std::string TextOf(const DaoString& text) {
  if (!text.str) RaiseFormatted("A text argument is missing: its DaoString holds no characters.");
  // The size counts the NUL; a client that sent none still cannot make us
  // read past what arrived.
  return std::string(text.str, strnlen(text.str, text.size));
}

template <class T>
T& Place(T* out) {
  if (!out) RaiseFormatted("No place for the result was given.");
  return *out;
}

// A failed open leaves -1 in the caller's handle, never a stale number.
template <class Make>
void GiveHandle(ULONG* out, Make&& make) {
  ULONG& place = Place(out);
  place = 0xFFFFFFFFul;
  place = make();
}

void GiveText(DaoString* out, const std::string& text) {
  DaoString& place = Place(out);
  char* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  place.size = static_cast<ULONG>(text.size() + 1);
  place.str = copy;
}

class DaoServerObject final : public ComObject<IQRBDAO, IQRBConsoleComponent, IQRBDAORecords> {
 public:
  DaoServerObject(std::string directory, const DaoLimits& limits)
      : session_(std::move(directory), limits) {
    DaoServerLifetime::AddObject();
  }
  ~DaoServerObject() override { DaoServerLifetime::ReleaseObject(); }

  // IUnknown, shared by both interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    IQRBDAO* dao = this;
    IQRBConsoleComponent* console = this;
    IQRBDAORecords* records = this;
    return QueryInterfaceFrom(iid, object,
                              {{IID_IUnknown, dao},
                               {IID_IQRBDAO, dao},
                               {IID_IQRBConsoleComponent, console},
                               {IID_IQRBDAORecords, records}});
  }

  // The text of the last failure, handed out once.
  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override {
    std::lock_guard<std::mutex> hold(textLock_);
    if (!hasErrorText_ || !size || !text) return E_FAIL;
    const size_t length = std::min(errorText_.size(), kLongestErrorText);
    char* copy = static_cast<char*>(CoTaskMemAlloc(length + 1));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, errorText_.data(), length);
    copy[length] = '\0';
    *size = static_cast<unsigned short>(length + 1);
    *text = copy;
    errorText_.clear();
    hasErrorText_ = false;
    return S_OK;
  }

  // IQRBDAO
  HRESULT STDMETHODCALLTYPE CompactDatabase(DaoString name) override {
    return Run([&] { session_.CompactDatabase(TextOf(name)); });
  }
  HRESULT STDMETHODCALLTYPE DatabaseExists(DaoString name, unsigned char* exists) override {
    return Run([&] { Place(exists) = session_.DatabaseExists(TextOf(name)) ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE DatabaseCreate(DaoString name) override {
    return Run([&] { session_.DatabaseCreate(TextOf(name)); });
  }
  HRESULT STDMETHODCALLTYPE DatabaseOpen(DaoString name) override {
    return Run([&] { session_.DatabaseOpen(TextOf(name)); });
  }
  HRESULT STDMETHODCALLTYPE DatabaseClose() override {
    return Run([&] {
      session_.RequireOpen();
      session_.DatabaseClose();
    });
  }
  HRESULT STDMETHODCALLTYPE GetTableDefCount(unsigned short* count) override {
    return Run([&] { Place(count) = session_.TableDefCount(); });
  }
  HRESULT STDMETHODCALLTYPE GetTableDefName(LONG index, DaoString* name) override {
    return Run([&] { GiveText(name, session_.TableDefName(index)); });
  }
  HRESULT STDMETHODCALLTYPE GetQueryDefCount(unsigned short* count) override {
    return Run([&] { Place(count) = session_.QueryDefCount(); });
  }
  HRESULT STDMETHODCALLTYPE GetQueryDefName(LONG index, DaoString* name) override {
    return Run([&] { GiveText(name, session_.QueryDefName(index)); });
  }
  HRESULT STDMETHODCALLTYPE TableExists(DaoString name, unsigned char* exists) override {
    return Run([&] { Place(exists) = session_.TableExists(TextOf(name)) ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE TableOpen(DaoString name, ULONG* table) override {
    return Run([&] { GiveHandle(table, [&] { return session_.TableOpen(TextOf(name)); }); });
  }
  HRESULT STDMETHODCALLTYPE TableCreate(DaoString name, ULONG* table) override {
    return Run([&] { GiveHandle(table, [&] { return session_.TableCreate(TextOf(name)); }); });
  }
  HRESULT STDMETHODCALLTYPE TableClose(ULONG table) override {
    return Run([&] { session_.TableClose(table); });
  }
  HRESULT STDMETHODCALLTYPE CreateField(ULONG table, DaoString name, short type, LONG size,
                                        LONG attributes) override {
    return Run([&] { session_.CreateField(table, TextOf(name), type, size, attributes); });
  }
  HRESULT STDMETHODCALLTYPE TableAppend(ULONG table) override {
    return Run([&] { session_.TableAppend(table); });
  }
  HRESULT STDMETHODCALLTYPE RecordSetTableOpen(ULONG table, LONG openType, LONG options,
                                               ULONG* recordSet) override {
    return Run([&] { GiveHandle(recordSet, [&] { return session_.RecordSetTableOpen(table, openType, options); }); });
  }
  HRESULT STDMETHODCALLTYPE RecordSetQueryDefOpen(ULONG query, LONG openType, LONG options,
                                                  ULONG* recordSet) override {
    return Run(
        [&] { GiveHandle(recordSet, [&] { return session_.RecordSetQueryDefOpen(query, openType, options); }); });
  }
  HRESULT STDMETHODCALLTYPE RecordSetClose(ULONG recordSet) override {
    return Run([&] { session_.RecordSetClose(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE AddNew(ULONG recordSet) override {
    return Run([&] { session_.AddNew(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE Update(ULONG recordSet) override {
    return Run([&] { session_.Update(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE Delete(ULONG recordSet) override {
    return Run([&] { session_.Delete(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE MoveFirst(ULONG recordSet) override {
    return Run([&] { session_.MoveFirst(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE MoveLast(ULONG recordSet) override {
    return Run([&] { session_.MoveLast(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE MoveNext(ULONG recordSet) override {
    return Run([&] { session_.MoveNext(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE MovePrev(ULONG recordSet) override {
    return Run([&] { session_.MovePrev(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE SetFieldValue(ULONG recordSet, LONG ordinal, VARIANT value) override {
    return Run([&] { session_.SetFieldValue(recordSet, ordinal, value); });
  }
  HRESULT STDMETHODCALLTYPE SetFieldValueString(ULONG recordSet, LONG ordinal,
                                                DaoString value) override {
    return Run([&] { session_.SetFieldValueString(recordSet, ordinal, TextOf(value)); });
  }
  HRESULT STDMETHODCALLTYPE IsBOF(ULONG recordSet, unsigned char* bof) override {
    return Run([&] { Place(bof) = session_.IsBOF(recordSet) ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE IsEOF(ULONG recordSet, unsigned char* eof) override {
    return Run([&] { Place(eof) = session_.IsEOF(recordSet) ? 1 : 0; });
  }

  // IQRBDAORecords
  HRESULT STDMETHODCALLTYPE GetFieldValue(ULONG recordSet, LONG ordinal, VARIANT* value) override {
    if (value) VariantInit(value);
    return Run([&] { session_.GetFieldValue(recordSet, ordinal, &Place(value)); });
  }
  HRESULT STDMETHODCALLTYPE GetBookmark(ULONG recordSet, LONG* bookmark) override {
    return Run([&] { Place(bookmark) = session_.GetBookmark(recordSet); });
  }
  HRESULT STDMETHODCALLTYPE SetBookmark(ULONG recordSet, LONG bookmark) override {
    return Run([&] { session_.SetBookmark(recordSet, bookmark); });
  }
  HRESULT STDMETHODCALLTYPE QueryDefExists(DaoString name, unsigned char* exists) override {
    return Run([&] { Place(exists) = session_.QueryDefExists(TextOf(name)) ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE QueryDefCreate(DaoString name, DaoString sql, ULONG* query) override {
    return Run([&] { GiveHandle(query, [&] { return session_.QueryDefCreate(TextOf(name), TextOf(sql)); }); });
  }
  HRESULT STDMETHODCALLTYPE QueryDefOpen(DaoString name, ULONG* query) override {
    return Run([&] { GiveHandle(query, [&] { return session_.QueryDefOpen(TextOf(name)); }); });
  }
  HRESULT STDMETHODCALLTYPE QueryDefClose(ULONG query) override {
    return Run([&] { session_.QueryDefClose(query); });
  }
  HRESULT STDMETHODCALLTYPE QueryDefAppend(ULONG query) override {
    return Run([&] { session_.QueryDefAppend(query); });
  }
  HRESULT STDMETHODCALLTYPE QueryDefExecute(ULONG query, LONG options) override {
    return Run([&] { session_.QueryDefExecute(query, options); });
  }

 private:
  // One call at a time per connection; a failure leaves its text for
  // GetErrorText and never escapes into COM.
  template <class Body>
  HRESULT Run(Body&& body) {
    try {
      std::lock_guard<std::mutex> hold(sessionLock_);
      body();
      return S_OK;
    } catch (...) {
      KeepErrorText(CaughtExceptionText("The database server met an unexpected failure.",
                                        "The database server ran out of memory.")
                        .c_str());
      return CaughtExceptionResult();
    }
  }

  void KeepErrorText(const char* text) {
    try {
      std::lock_guard<std::mutex> hold(textLock_);
      errorText_ = text ? text : "";
      hasErrorText_ = true;
    } catch (...) {
    }
  }

  std::mutex sessionLock_;
  DaoSession session_;
  std::mutex textLock_;
  std::string errorText_;
  bool hasErrorText_ = false;
};

class DaoClassFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return QueryInterfaceFrom(iid, object, {{IID_IUnknown, this}, {IID_IClassFactory, this}});
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      return CreateDaoServerObject(DatabaseDirectory(), ConnectionLimits(), iid, object);
    } catch (...) {
      return CaughtExceptionResult();
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      DaoServerLifetime::Lock();
    else
      DaoServerLifetime::Unlock();
    return S_OK;
  }
};

}  // namespace

HRESULT CreateDaoServerObject(const std::string& directory, const DaoLimits& limits, REFIID iid,
                              void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  DaoServerObject* created = new (std::nothrow) DaoServerObject(directory, limits);
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

IClassFactory* NewDaoClassFactory() { return new (std::nothrow) DaoClassFactory(); }
