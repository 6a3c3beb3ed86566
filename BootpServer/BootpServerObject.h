// The bootp server component: IBootpServer (slot 7 starts, slot 8 stops),
// its IDispatch, and one connection point for IBootpServerEvents.
#pragma once

#include <ocidl.h>

#include <memory>

#include "BootpServer.h"
#include "EventSinks.h"
#include "ResetWorker.h"
#include "Win32/ComObject.h"

// Objects alive and class factory locks in this module; the DLL may unload
// when both are 0.
void ModuleObjectCreated();
void ModuleObjectDestroyed();
void ModuleLock(bool lock);
bool ModuleInUse();

class BootpServerObject : public ComObject<IBootpServer, IConnectionPointContainer> {
 public:
  // Creates one and hands out riid; *object is null on failure.
  static HRESULT Create(REFIID riid, void** object);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

  // IDispatch, without a type library: two methods without arguments.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID locale, WORD flags,
                                   DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override;

  // IBootpServer
  HRESULT STDMETHODCALLTYPE StartServer() override;
  HRESULT STDMETHODCALLTYPE StopServer() override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

 private:
  BootpServerObject();
  ~BootpServerObject() override;

  // The connection point lives inside the component and shares its
  // reference count, so that it can always answer with its container.
  class Point : public IConnectionPoint {
   public:
    explicit Point(BootpServerObject& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(
        IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

   private:
    BootpServerObject& owner_;
  };

  std::shared_ptr<EventSinks> sinks_;
  ResetWorker worker_;
  Point point_;
};

// The class factory of CLSID_BootpServer.
HRESULT GetBootpServerFactory(REFIID riid, void** object);
