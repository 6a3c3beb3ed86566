// Scoped holders for the system's handles, so that every error path gives
// back what it took: Win32 handles, registry keys, C files, COM interface
// pointers, CoTaskMemAlloc blocks and VARIANTs.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <utility>

// Owns one value of a handle type and frees it with Close when it is not
// Invalid. Move-only.
template <class T, T Invalid, class Close>
class UniqueValue {
 public:
  UniqueValue() = default;
  explicit UniqueValue(T value) : value_(value) {}
  ~UniqueValue() { reset(); }
  UniqueValue(UniqueValue&& other) noexcept : value_(other.release()) {}
  UniqueValue& operator=(UniqueValue&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueValue(const UniqueValue&) = delete;
  UniqueValue& operator=(const UniqueValue&) = delete;

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Invalid; }
  // For calls that hand a new value out through a pointer.
  T* put() {
    reset();
    return &value_;
  }
  T release() { return std::exchange(value_, Invalid); }
  void reset(T value = Invalid) {
    T old = std::exchange(value_, value);
    if (old != Invalid) Close()(old);
  }

 private:
  T value_ = Invalid;
};

struct CloseHandleFn { void operator()(HANDLE h) const { CloseHandle(h); } };
struct RegCloseKeyFn { void operator()(HKEY k) const { RegCloseKey(k); } };
struct FcloseFn { void operator()(FILE* f) const { std::fclose(f); } };

// Handles that are null when absent (events, threads, semaphores, mutexes).
using UniqueHandle = UniqueValue<HANDLE, nullptr, CloseHandleFn>;
// CreateFile's handles, which are INVALID_HANDLE_VALUE when absent.
struct UniqueFileHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  UniqueFileHandle() = default;
  explicit UniqueFileHandle(HANDLE value) : h(value) {}
  ~UniqueFileHandle() { if (h != INVALID_HANDLE_VALUE && h) CloseHandle(h); }
  UniqueFileHandle(const UniqueFileHandle&) = delete;
  UniqueFileHandle& operator=(const UniqueFileHandle&) = delete;
  HANDLE get() const { return h; }
  explicit operator bool() const { return h != INVALID_HANDLE_VALUE && h; }
};
struct UniqueFind {
  HANDLE h = INVALID_HANDLE_VALUE;
  UniqueFind() = default;
  explicit UniqueFind(HANDLE value) : h(value) {}
  ~UniqueFind() { if (h != INVALID_HANDLE_VALUE) FindClose(h); }
  UniqueFind(const UniqueFind&) = delete;
  UniqueFind& operator=(const UniqueFind&) = delete;
  HANDLE get() const { return h; }
  explicit operator bool() const { return h != INVALID_HANDLE_VALUE; }
};
using UniqueKey = UniqueValue<HKEY, nullptr, RegCloseKeyFn>;
using UniqueFile = UniqueValue<FILE*, nullptr, FcloseFn>;

// A VARIANT, cleared (and what it holds released) on every path.
struct VariantHolder {
  VARIANT v;
  VariantHolder() { VariantInit(&v); }
  ~VariantHolder() { VariantClear(&v); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
};

// A CoTaskMemAlloc block, freed with CoTaskMemFree unless released (handed
// to a client).
template <class T>
class CoTaskMemHolder {
 public:
  CoTaskMemHolder() = default;
  explicit CoTaskMemHolder(T* block) : block_(block) {}
  ~CoTaskMemHolder() { CoTaskMemFree(block_); }
  CoTaskMemHolder(const CoTaskMemHolder&) = delete;
  CoTaskMemHolder& operator=(const CoTaskMemHolder&) = delete;
  T* get() const { return block_; }
  T** put() {
    CoTaskMemFree(std::exchange(block_, nullptr));
    return &block_;
  }
  T* release() { return std::exchange(block_, nullptr); }

 private:
  T* block_ = nullptr;
};

// An interface pointer that holds one reference.
template <class I>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds.
  static ComPtr Attach(I* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own.
  explicit ComPtr(I* p) : p_(p) { if (p_) p_->AddRef(); }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  I* get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  I** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  I* detach() { return std::exchange(p_, nullptr); }
  void reset() {
    if (I* old = std::exchange(p_, nullptr)) old->Release();
  }

 private:
  I* p_ = nullptr;
};
