// The server's end of the bootp server component: creates the component
// in-process, keeps it running while the server has clients, and hears its
// three events. The events arrive on the component's own threads; each
// text is copied and posted to the main window, where it is handed to the
// subscribed clients (ClientNotifications::OnBootpMessage).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <BootpServer.h>

#include "Win32/ComObject.h"
#include "Win32/Holders.h"

// The dispatch sink connected to the component's event interface. A COM
// object of its own, so that the component may hold it (and call it) for
// as long as it likes: all it keeps is the window it posts to.
class BootpEventSink : public ComObject<IDispatch> {
 public:
  // With a reference count of 1.
  static BootpEventSink* Create(HWND window);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  // Dispatch ids 1 "FatalError", 2 "NonFatalError", 3 "Info", each with one
  // text argument: posts WM_BOOTP_FATAL_ERROR, WM_BOOTP_NONFATAL_ERROR or
  // WM_BOOTP_INFO with 0 and a CoTaskMemAlloc'd single-byte copy of the
  // text, which the message's handler frees.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters,
                                   VARIANT* result, EXCEPINFO*, UINT* argumentError) override;

 private:
  explicit BootpEventSink(HWND target) : window(target) {}
  HWND window;
};

class BootpClient {
 public:
  // Creates the bootp server object, connects the sink to its events and
  // starts it. Raises "Could not start the bootp server" when the object
  // cannot be created.
  explicit BootpClient(HWND window);
  // Stops the bootp server, disconnects and lets the object go.
  ~BootpClient();
  BootpClient(const BootpClient&) = delete;
  BootpClient& operator=(const BootpClient&) = delete;

 private:
  unsigned char shutDown = 0;
  HWND window;
  ComPtr<IBootpServer> server;
  DWORD cookie = 0;
  ComPtr<BootpEventSink> sink;
};
