// The IUnknown of our own COM objects: QueryInterface over the list of
// interfaces an object answers, and a reference count that deletes the
// object when its last reference goes.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <initializer_list>

// One interface an object answers: the IID asked for and the object's
// interface that answers it.
struct ComInterface {
  const IID& iid;
  IUnknown* answer;
};

// QueryInterface over interfaces: the first whose IID matches, with a
// reference added for the caller; null and E_NOINTERFACE when none does.
inline HRESULT QueryInterfaceFrom(REFIID iid, void** object,
                                  std::initializer_list<ComInterface> interfaces) {
  if (!object) return E_POINTER;
  for (const ComInterface& offered : interfaces) {
    if (IsEqualIID(iid, offered.iid)) {
      offered.answer->AddRef();
      *object = offered.answer;
      return S_OK;
    }
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

// An object that lives as long as its module, such as a static class
// factory: it keeps no count, and no release destroys it.
template <class... Interfaces>
class StaticComObject : public Interfaces... {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// An object implementing Interfaces that counts its own references: it is
// made holding one, its creator's, and deletes itself when the last one is
// released, on whichever thread releases it.
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  LONG references_ = 1;
};
