#include "EventSinks.h"

#include <oleauto.h>

#include "BootpServer.h"

EventSinks::EventSinks() {
  CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                   IID_IGlobalInterfaceTable, table_.put_void());
}

EventSinks::~EventSinks() {
  if (!table_) return;
  for (const auto& entry : tableCookies_) table_->RevokeInterfaceFromGlobal(entry.second);
}

HRESULT EventSinks::Add(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  if (!table_) return E_UNEXPECTED;
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(DIID_IBootpServerEvents, events.put_void())) || !events)
    return CONNECT_E_CANNOTCONNECT;
  DWORD tableCookie = 0;
  HRESULT hr = table_->RegisterInterfaceInGlobal(events.get(), IID_IDispatch, &tableCookie);
  if (FAILED(hr)) return hr;
  CriticalSectionHolder hold(&lock_);
  *cookie = nextCookie_++;
  tableCookies_[*cookie] = tableCookie;
  return S_OK;
}

HRESULT EventSinks::Remove(DWORD cookie) {
  DWORD tableCookie = 0;
  {
    CriticalSectionHolder hold(&lock_);
    auto found = tableCookies_.find(cookie);
    if (found == tableCookies_.end()) return CONNECT_E_NOCONNECTION;
    tableCookie = found->second;
    tableCookies_.erase(found);
  }
  // Outside the lock: revoking releases the listener, which may call back.
  table_->RevokeInterfaceFromGlobal(tableCookie);
  return S_OK;
}

std::vector<CONNECTDATA> EventSinks::Connections() {
  std::map<DWORD, DWORD> cookies;
  {
    CriticalSectionHolder hold(&lock_);
    cookies = tableCookies_;
  }
  std::vector<CONNECTDATA> connections;
  for (const auto& entry : cookies) {
    IUnknown* sink = nullptr;
    if (SUCCEEDED(table_->GetInterfaceFromGlobal(entry.second, IID_IUnknown,
                                                 reinterpret_cast<void**>(&sink))))
      connections.push_back(CONNECTDATA{sink, entry.first});
  }
  return connections;
}

void EventSinks::Fire(BootpEvent event, const std::string& text) {
  std::map<DWORD, DWORD> cookies;
  {
    CriticalSectionHolder hold(&lock_);
    cookies = tableCookies_;
  }
  if (cookies.empty()) return;

  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
  BSTR argument = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (!argument) return;
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), argument, length);
  VARIANTARG arguments[1];
  VariantInit(&arguments[0]);
  arguments[0].vt = VT_BSTR;
  arguments[0].bstrVal = argument;
  DISPPARAMS parameters = {arguments, nullptr, 1, 0};

  // Listeners are called without the lock, so that one may connect or
  // disconnect from inside its event.
  for (const auto& entry : cookies) {
    ComPtr<IDispatch> sink;
    if (FAILED(table_->GetInterfaceFromGlobal(entry.second, IID_IDispatch, sink.put_void())))
      continue;
    sink->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr,
                 nullptr, nullptr);
  }
  SysFreeString(argument);
}
