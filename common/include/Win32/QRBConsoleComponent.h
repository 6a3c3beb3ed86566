// The base of every COM object a console server hands out: reference
// counting, the outer unknown of an aggregate, and the text of the last
// error, which a client reads once through GetErrorText. Also the
// process-wide object and lock counts that decide when a local server may
// end.
#pragma once

#include <windows.h>
#include <objbase.h>

// The generated interface header (angle brackets: not this file).
#include <QRBConsoleComponent.h>

// ---- Process-wide counts -------------------------------------------------
// Changed only with interlocked operations. The server is in use while an
// object lives or a lock is held.

LONG ServerObjectCount();
LONG ServerLockCount();
void IncrementObjectCount();
void DecrementObjectCount();
void IncrementLockCount();
void DecrementLockCount();
bool ServerInUse();

// The window that CheckShutdown closes (the server's main window); null
// while there is none, as in a process that only uses the classes.
void SetShutdownWindow(HWND window);
// When the server is not in use, posts WM_CLOSE to the shutdown window,
// with wParam kServerIdleClose: a notice that nothing holds the server any
// more, which the window may act on later, rather than an order to close.
// Called after every LockServer and after every object is destroyed.
void CheckShutdown();
// A WM_CLOSE from anyone else (an operator, a script) carries 0.
constexpr WPARAM kServerIdleClose = 0x4B49444C;

// ---- The console component base ---------------------------------------

class QRBConsoleComponent : public IQRBConsoleComponent {
 public:
  // outerUnknown: the aggregating object, or null when not aggregated.
  explicit QRBConsoleComponent(IUnknown* outerUnknown = nullptr);
  QRBConsoleComponent(const QRBConsoleComponent&) = delete;
  QRBConsoleComponent& operator=(const QRBConsoleComponent&) = delete;

  // The object's own (non-delegating) IUnknown and IQRBConsoleComponent.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  // Destroys the object at 0 (PrepareToDestroy, then the destructor);
  // anything raised on the way is logged, never passed to the caller.
  ULONG STDMETHODCALLTYPE Release() override;
  // Hands out the stored error text once: size is its length plus the NUL,
  // the text is the caller's to free with CoTaskMemFree. E_FAIL when none is
  // stored (size and text untouched).
  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override;

  // Destructors of derived classes must not let a raised text escape.
  virtual ~QRBConsoleComponent();
  // Called once by the class factory right after construction.
  virtual HRESULT Initialize();
  // Called by Release just before the destructor.
  virtual void PrepareToDestroy();

  // Stores a copy of text for the client (replacing any earlier one) and
  // hands it to the error log; returns the log's answer (1 stored, 0 not),
  // which callers may ignore.
  int SetErrorText(const char* text);

  IUnknown* OuterUnknown() const { return outerUnknown; }

  // The forwarding set of an interface that lives inside this object:
  // IUnknown goes to the outer unknown; GetErrorText to the outer unknown's
  // IQRBConsoleComponent, or to this object when the outer has none.
  HRESULT ForwardQueryInterface(REFIID iid, void** object);
  ULONG ForwardAddRef();
  ULONG ForwardRelease();
  HRESULT ForwardGetErrorText(unsigned short* size, char** text);

  // GetErrorText's 16-bit size holds at most this many characters plus the
  // NUL; longer texts are cut.
  static constexpr size_t kMaxErrorTextLength = 65534;

 protected:
  LONG refCount = 1;
  IUnknown* outerUnknown;
  // CoTaskMemAlloc'd; swapped atomically, so a text set on one COM thread
  // while another hands one out is never freed twice or lost half-way.
  char* errorText = nullptr;
};

// An interface implemented inside a console component (not its primary
// one): its IUnknown methods forward to the component's outer unknown.
template <class Interface>
class InnerInterface : public Interface {
 public:
  explicit InnerInterface(QRBConsoleComponent& owner) : owner_(owner) {}
  InnerInterface(const InnerInterface&) = delete;
  InnerInterface& operator=(const InnerInterface&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return owner_.ForwardQueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_.ForwardAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_.ForwardRelease(); }

 protected:
  QRBConsoleComponent& owner_;
};

// An inner interface that begins with IQRBConsoleComponent's operations.
template <class Interface>
class InnerConsoleInterface : public InnerInterface<Interface> {
 public:
  using InnerInterface<Interface>::InnerInterface;
  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override {
    return this->owner_.ForwardGetErrorText(size, text);
  }
};
