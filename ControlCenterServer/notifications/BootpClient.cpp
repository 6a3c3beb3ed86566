#include "notifications/BootpClient.h"

#include <oleauto.h>
#include <olectl.h>

#include <cstring>

#include "notifications/ServerMessages.h"
#include "Win32/ErrorText.h"

namespace {

struct EventName {
  const wchar_t* name;
  DISPID id;
  UINT message;
};

constexpr EventName kEvents[] = {
    {L"FatalError", 1, WM_BOOTP_FATAL_ERROR},
    {L"NonFatalError", 2, WM_BOOTP_NONFATAL_ERROR},
    {L"Info", 3, WM_BOOTP_INFO},
};

// The event's one argument as a single-byte text in a CoTaskMemAlloc
// block, or null when it is not a text.
char* CopyArgument(const DISPPARAMS* parameters) {
  if (!parameters || parameters->cArgs != 1 || !parameters->rgvarg) return nullptr;
  VariantHolder text;
  // Also takes a text passed by reference, or a value that reads as one.
  if (FAILED(VariantChangeType(&text.v, &parameters->rgvarg[0], 0, VT_BSTR))) return nullptr;
  const BSTR wideText = text.v.bstrVal;
  int wide = static_cast<int>(SysStringLen(wideText));
  int length = WideCharToMultiByte(CP_ACP, 0, wideText, wide, nullptr, 0, nullptr, nullptr);
  char* block = static_cast<char*>(CoTaskMemAlloc(static_cast<SIZE_T>(length) + 1));
  if (block) {
    WideCharToMultiByte(CP_ACP, 0, wideText, wide, block, length, nullptr, nullptr);
    block[length] = '\0';
  }
  return block;
}

}  // namespace

// ---- BootpEventSink -----------------------------------------------------------

BootpEventSink* BootpEventSink::Create(HWND window) { return new BootpEventSink(window); }

HRESULT BootpEventSink::QueryInterface(REFIID iid, void** object) {
  return QueryInterfaceFrom(
      iid, object,
      {{IID_IUnknown, this}, {IID_IDispatch, this}, {DIID_IBootpServerEvents, this}});
}

HRESULT BootpEventSink::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT BootpEventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT BootpEventSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (const EventName& event : kEvents)
      if (names[i] && _wcsicmp(names[i], event.name) == 0) ids[i] = event.id;
    // Only the method name is known; it takes no named arguments.
    if (ids[i] == DISPID_UNKNOWN || i > 0) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT BootpEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters,
                               VARIANT* result, EXCEPINFO*, UINT* argumentError) {
  if (result) VariantInit(result);
  const EventName* event = nullptr;
  for (const EventName& e : kEvents)
    if (e.id == id) event = &e;
  if (!event) return DISP_E_MEMBERNOTFOUND;
  if (!parameters || parameters->cArgs != 1) return DISP_E_BADPARAMCOUNT;
  char* text = CopyArgument(parameters);
  if (!text) {
    if (argumentError) *argumentError = 0;
    return DISP_E_TYPEMISMATCH;
  }
  // The block is the handler's from here; a message that cannot be posted
  // (no window, or it is gone) gives it back. A null window would post to
  // the calling thread's own queue, where nobody frees it.
  if (!window || !PostMessageA(window, event->message, 0, reinterpret_cast<LPARAM>(text)))
    CoTaskMemFree(text);
  return S_OK;
}

// ---- BootpClient ------------------------------------------------------------------

BootpClient::BootpClient(HWND target) : window(target) {
  HRESULT hr = CoCreateInstance(CLSID_BootpServer, nullptr, CLSCTX_INPROC_SERVER, IID_IBootpServer,
                                server.put_void());
  KORVANE_ASSERT(SUCCEEDED(hr), "Could not start the bootp server");
  sink = ComPtr<BootpEventSink>::Attach(BootpEventSink::Create(window));
  // Without the events the bootp server still resets; its messages are
  // then only lost, so a failed connection does not stop the server.
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  if (SUCCEEDED(server->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
      SUCCEEDED(container->FindConnectionPoint(DIID_IBootpServerEvents, point.put())) &&
      FAILED(point->Advise(static_cast<IDispatch*>(sink.get()), &cookie)))
    cookie = 0;
  server->StartServer();
}

BootpClient::~BootpClient() {
  if (shutDown) return;
  shutDown = 1;
  if (!server) return;
  server->StopServer();
  if (cookie != 0) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(server->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(DIID_IBootpServerEvents, point.put())))
      point->Unadvise(cookie);
  }
  server.reset();
  cookie = 0;
}
