// The client's callback object: the server calls it as a requester's and an
// observer's IControlCenterNotify and as a subscriber's IBootpNotify. Every
// call only copies what it was given into the event queue (texts belong to
// the server and are valid only during the call).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <ControlCenter.h>

#include <memory>

#include "ClientEvents.h"
#include "Win32/ComObject.h"

class NotifySink final : public ComObject<IControlCenterNotify, IBootpNotify> {
 public:
  // A new sink holding one reference for the caller (take it with
  // ComPtr<...>::Attach).
  static NotifySink* Create(std::shared_ptr<EventQueue> queue);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  // IControlCenterNotify
  HRESULT STDMETHODCALLTYPE SetSelected(LONG success) override;
  HRESULT STDMETHODCALLTYPE SetRestored(LONG success) override;
  HRESULT STDMETHODCALLTYPE ChangeProceeding() override;
  HRESULT STDMETHODCALLTYPE ClientsNotResponding(unsigned short size, char* text) override;
  HRESULT STDMETHODCALLTYPE ConfigurationChanging() override;
  HRESULT STDMETHODCALLTYPE ConfigurationChanged() override;

  // IBootpNotify
  HRESULT STDMETHODCALLTYPE Reserved() override;
  HRESULT STDMETHODCALLTYPE BootpError(unsigned short size, char* text) override;
  HRESULT STDMETHODCALLTYPE BootpInfo(unsigned short size, char* text) override;

 private:
  explicit NotifySink(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}
  ~NotifySink() override = default;

  // The texts travel as NUL-terminated strings, so their ends are known
  // whatever the size arguments claim; the sizes are not used.
  HRESULT Queue(ClientEventKind kind, long result = 0, const char* text = nullptr);

  std::shared_ptr<EventQueue> queue_;
};
