#include "Win32/QRBConsoleComponent.h"

#include <cstring>

#include "Win32/ComObject.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

namespace {

volatile LONG objectCount = 0;
volatile LONG lockCount = 0;
HWND volatile shutdownWindow = nullptr;

}  // namespace

LONG ServerObjectCount() { return InterlockedCompareExchange(&objectCount, 0, 0); }
LONG ServerLockCount() { return InterlockedCompareExchange(&lockCount, 0, 0); }
void IncrementObjectCount() { InterlockedIncrement(&objectCount); }
void DecrementObjectCount() { InterlockedDecrement(&objectCount); }
void IncrementLockCount() { InterlockedIncrement(&lockCount); }
void DecrementLockCount() { InterlockedDecrement(&lockCount); }

bool ServerInUse() { return ServerObjectCount() != 0 || ServerLockCount() > 0; }

void SetShutdownWindow(HWND window) {
  InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&shutdownWindow), window);
}

void CheckShutdown() {
  // Only the main thread may close its window; the counts are read without a
  // lock because the window's WM_CLOSE handler looks at them again.
  HWND window = shutdownWindow;
  if (window && !ServerInUse()) PostMessageA(window, WM_CLOSE, kServerIdleClose, 0);
}

QRBConsoleComponent::QRBConsoleComponent(IUnknown* outer)
    : outerUnknown(outer ? outer : static_cast<IUnknown*>(this)) {
  IncrementObjectCount();
}

QRBConsoleComponent::~QRBConsoleComponent() {
  try {
    CoTaskMemFree(errorText);
    errorText = nullptr;
    DecrementObjectCount();
    CheckShutdown();
  } catch (...) {
  }
}

HRESULT QRBConsoleComponent::QueryInterface(REFIID iid, void** object) {
  return QueryInterfaceFrom(iid, object, {{IID_IUnknown, this}, {IID_IQRBConsoleComponent, this}});
}

ULONG QRBConsoleComponent::AddRef() { return InterlockedIncrement(&refCount); }

ULONG QRBConsoleComponent::Release() {
  LONG remaining = InterlockedDecrement(&refCount);
  if (remaining != 0) return remaining;
  RunInTranslatingFrame([this] {
    PrepareToDestroy();
    delete this;
  });
  return 0;
}

HRESULT QRBConsoleComponent::GetErrorText(unsigned short* size, char** text) {
  if (!size || !text) return errorText ? E_POINTER : E_FAIL;
  char* stored = static_cast<char*>(
      InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&errorText), nullptr));
  if (!stored) return E_FAIL;
  // The stored block is already the client's kind of memory: hand it over.
  size_t length = std::strlen(stored);
  if (length > kMaxErrorTextLength) {
    length = kMaxErrorTextLength;
    stored[length] = '\0';
  }
  *size = static_cast<unsigned short>(length + 1);
  *text = stored;
  return S_OK;
}

HRESULT QRBConsoleComponent::Initialize() { return S_OK; }

void QRBConsoleComponent::PrepareToDestroy() { InterlockedExchange(&refCount, 1); }

int QRBConsoleComponent::SetErrorText(const char* text) {
  if (!text) text = "";
  size_t bytes = std::strlen(text) + 1;
  char* copy = static_cast<char*>(CoTaskMemAlloc(bytes));
  if (copy) std::memcpy(copy, text, bytes);
  // Without memory for the copy the client gets no text, but never an
  // older one that does not belong to this failure.
  CoTaskMemFree(
      InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&errorText), copy));
  return GetErrorLogger()(text);
}

HRESULT QRBConsoleComponent::ForwardQueryInterface(REFIID iid, void** object) {
  return outerUnknown->QueryInterface(iid, object);
}

ULONG QRBConsoleComponent::ForwardAddRef() { return outerUnknown->AddRef(); }

ULONG QRBConsoleComponent::ForwardRelease() { return outerUnknown->Release(); }

HRESULT QRBConsoleComponent::ForwardGetErrorText(unsigned short* size, char** text) {
  ComPtr<IQRBConsoleComponent> outerConsole;
  if (SUCCEEDED(outerUnknown->QueryInterface(IID_IQRBConsoleComponent,
                                             outerConsole.put_void())) &&
      outerConsole) {
    return outerConsole->GetErrorText(size, text);
  }
  return QRBConsoleComponent::GetErrorText(size, text);
}
