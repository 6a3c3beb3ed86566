#include "BootpServerObject.h"

#include <oleauto.h>

#include <new>
#include <vector>

namespace {

LONG objects = 0;
LONG locks = 0;

enum : DISPID { kStartServerId = 1, kStopServerId = 2 };

// Enumerators over a snapshot: IEnumConnectionPoints (items are
// IConnectionPoint*) and IEnumConnections (items are CONNECTDATA). Each
// item holds a reference of its own; Next hands out another.
IUnknown* Unknown(IConnectionPoint* item) { return item; }
IUnknown* Unknown(const CONNECTDATA& item) { return item.pUnk; }

template <class Enum, class Item>
class Enumerator final : public ComObject<Enum> {
 public:
  Enumerator(const IID& iid, std::vector<Item> items, size_t next = 0)
      : iid_(iid), items_(std::move(items)), next_(next) {
    for (auto& item : items_) Unknown(item)->AddRef();
    ModuleObjectCreated();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryInterfaceFrom(riid, object, {{IID_IUnknown, this}, {iid_, this}});
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
    if (!items || (count != 1 && !fetched)) return E_POINTER;
    ULONG given = 0;
    for (; given < count && next_ < items_.size(); ++given, ++next_) {
      items[given] = items_[next_];
      Unknown(items[given])->AddRef();
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    size_t left = items_.size() - next_;
    if (count > left) {
      next_ = items_.size();
      return S_FALSE;
    }
    next_ += count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Enum** copy) override {
    if (!copy) return E_POINTER;
    *copy = new (std::nothrow) Enumerator(iid_, items_, next_);
    return *copy ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~Enumerator() {
    for (auto& item : items_) Unknown(item)->Release();
    ModuleObjectDestroyed();
  }

  const IID& iid_;
  std::vector<Item> items_;
  size_t next_;
};

}  // namespace

void ModuleObjectCreated() { InterlockedIncrement(&objects); }
void ModuleObjectDestroyed() { InterlockedDecrement(&objects); }
void ModuleLock(bool lock) { lock ? InterlockedIncrement(&locks) : InterlockedDecrement(&locks); }
bool ModuleInUse() { return objects != 0 || locks != 0; }

BootpServerObject::BootpServerObject()
    : sinks_(std::make_shared<EventSinks>()), worker_(sinks_), point_(*this) {
  ModuleObjectCreated();
}

BootpServerObject::~BootpServerObject() { ModuleObjectDestroyed(); }

HRESULT BootpServerObject::Create(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  BootpServerObject* created = new (std::nothrow) BootpServerObject();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->QueryInterface(riid, object);
  created->Release();
  return hr;
}

HRESULT BootpServerObject::QueryInterface(REFIID riid, void** object) {
  IBootpServer* server = this;
  return QueryInterfaceFrom(riid, object,
                            {{IID_IUnknown, server},
                             {IID_IDispatch, server},
                             {IID_IBootpServer, server},
                             {IID_IConnectionPointContainer,
                              static_cast<IConnectionPointContainer*>(this)}});
}

HRESULT BootpServerObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT BootpServerObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT BootpServerObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                         DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  ids[0] = DISPID_UNKNOWN;
  if (names[0] && lstrcmpiW(names[0], L"StartServer") == 0) ids[0] = kStartServerId;
  if (names[0] && lstrcmpiW(names[0], L"StopServer") == 0) ids[0] = kStopServerId;
  // Neither method has arguments, so no further name is known.
  for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  return ids[0] != DISPID_UNKNOWN && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT BootpServerObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags,
                                  DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                  UINT*) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (id != kStartServerId && id != kStopServerId) return DISP_E_MEMBERNOTFOUND;
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (parameters && parameters->cArgs != 0) return DISP_E_BADPARAMCOUNT;
  if (result) VariantInit(result);
  HRESULT hr = id == kStartServerId ? StartServer() : StopServer();
  if (SUCCEEDED(hr) || !exception) return hr;
  *exception = EXCEPINFO{};
  exception->scode = hr;
  return DISP_E_EXCEPTION;
}

HRESULT BootpServerObject::StartServer() { return worker_.Start(); }

HRESULT BootpServerObject::StopServer() { return worker_.Stop(); }

HRESULT BootpServerObject::EnumConnectionPoints(IEnumConnectionPoints** points) {
  if (!points) return E_POINTER;
  *points = new (std::nothrow) Enumerator<IEnumConnectionPoints, IConnectionPoint*>(
      IID_IEnumConnectionPoints, {&point_});
  return *points ? S_OK : E_OUTOFMEMORY;
}

HRESULT BootpServerObject::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  if (!IsEqualIID(riid, DIID_IBootpServerEvents)) {
    *point = nullptr;
    return CONNECT_E_NOCONNECTION;
  }
  *point = &point_;
  point_.AddRef();
  return S_OK;
}

HRESULT BootpServerObject::Point::QueryInterface(REFIID riid, void** object) {
  return QueryInterfaceFrom(riid, object, {{IID_IUnknown, this}, {IID_IConnectionPoint, this}});
}

HRESULT BootpServerObject::Point::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID_IBootpServerEvents;
  return S_OK;
}

HRESULT BootpServerObject::Point::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = &owner_;
  owner_.AddRef();
  return S_OK;
}

HRESULT BootpServerObject::Point::Advise(IUnknown* sink, DWORD* cookie) {
  return owner_.sinks_->Add(sink, cookie);
}

HRESULT BootpServerObject::Point::Unadvise(DWORD cookie) { return owner_.sinks_->Remove(cookie); }

HRESULT BootpServerObject::Point::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  std::vector<CONNECTDATA> current = owner_.sinks_->Connections();
  *connections = new (std::nothrow)
      Enumerator<IEnumConnections, CONNECTDATA>(IID_IEnumConnections, current);
  // The enumerator took references of its own.
  for (auto& connection : current) connection.pUnk->Release();
  return *connections ? S_OK : E_OUTOFMEMORY;
}

namespace {

// One static factory: its life is the module's, counted by LockServer.
class Factory : public StaticComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryInterfaceFrom(riid, object, {{IID_IUnknown, this}, {IID_IClassFactory, this}});
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object) *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return BootpServerObject::Create(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    ModuleLock(lock != FALSE);
    return S_OK;
  }
};

Factory factory;

}  // namespace

HRESULT GetBootpServerFactory(REFIID riid, void** object) {
  return factory.QueryInterface(riid, object);
}
