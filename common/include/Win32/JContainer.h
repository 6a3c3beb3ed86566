// The program's containers: JList, a doubly linked list that many threads
// may append to and iterate at once while removals run alone, its
// iterator, and JArray, a growable array. Elements are stored by value;
// for pointer elements what they point to stays the user's.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "Win32/CriticalSection.h"
#include "Win32/ErrorText.h"
#include "Win32/ReaderWriterLock.h"

// Which side of the list's lock an iterator holds for its whole life.
// Also reachable as JListIterator<T>::ReaderLock and so on.
enum LockType : int32_t { ReaderLock = 0, WriterLock = 1, NoLock = 2 };

template <class T>
struct JListNode {
  T data;
  JListNode* next;
  JListNode* prev;
};

template <class T>
class JListIterator;

namespace jcontainer_detail {
// Appenders link new nodes while ReaderLock iterations walk the list
// without taking the appenders' section; a link is therefore published
// only after its node is complete, and read so as to see it complete.
template <class P>
P LoadLink(const P& link) {
  return __atomic_load_n(&link, __ATOMIC_ACQUIRE);
}
template <class P>
void StoreLink(P& link, P value) {
  __atomic_store_n(&link, value, __ATOMIC_RELEASE);
}
}  // namespace jcontainer_detail

template <class T>
class JList {
 public:
  using Node = JListNode<T>;

  // A locked list (needLock) may be used by many threads at once; an
  // unlocked one by one thread at a time.
  explicit JList(bool needLock) {
    if (needLock) {
      lock.reset(new (std::nothrow) CriticalSection);
      rwLock.reset(new (std::nothrow) ReaderWriterLock);
      KORVANE_ASSERT(lock, nullptr);
      KORVANE_ASSERT(rwLock, nullptr);
    }
  }

  ~JList() {
    WriterHolder writer(rwLock.get());
    while (head) DeleteHead();
  }

  JList(const JList&) = delete;
  JList& operator=(const JList&) = delete;

  // Appends a copy. Runs beside other appenders and ReaderLock iterations;
  // waits for removals. Not for a thread that holds a WriterLock iterator
  // on this list.
  void AddTail(const T& element) {
    // The copy is made before any lock is taken, so a throwing copy
    // changes nothing and nobody waits on it.
    Node* node = new Node{element, nullptr, nullptr};
    ReaderHolder reader(rwLock.get());
    CriticalSectionHolder appenders(lock.get());
    node->prev = tail;
    if (tail)
      jcontainer_detail::StoreLink(tail->next, node);
    tail = node;
    if (!head) jcontainer_detail::StoreLink(head, node);
    __atomic_add_fetch(&count, 1, __ATOMIC_RELEASE);
  }

  // Unlinks the first node and returns its element. The emptiness test
  // comes before the lock: a list that several threads drain needs its own
  // exclusion around it.
  T RemoveHead() {
    KORVANE_ASSERT(head, nullptr);
    WriterHolder writer(rwLock.get());
    Node* node = head;
    T element = node->data;
    UnlinkHead(node);
    return element;
  }

  // Unlinks the first node and drops its element.
  void DeleteHead() {
    KORVANE_ASSERT(head, nullptr);
    WriterHolder writer(rwLock.get());
    UnlinkHead(head);
  }

  // Unlinks a node of this list (the iterator's removal goes through here).
  void Remove(Node* nptr) {
    KORVANE_ASSERT(nptr, nullptr);
    WriterHolder writer(rwLock.get());
    if (!nptr->next) tail = nptr->prev;
    if (!nptr->prev) head = nptr->next;
    FreeNode(nptr);
  }

  void RemoveAll() {
    while (!IsEmpty()) DeleteHead();
  }

  bool IsEmpty() const { return __atomic_load_n(&count, __ATOMIC_ACQUIRE) == 0; }

 private:
  friend class JListIterator<T>;

  bool NeedsLock() const { return lock != nullptr; }

  void UnlinkHead(Node* node) {
    head = node->next;
    if (!head) tail = nullptr;
    FreeNode(node);
  }

  // Joins the neighbours around the node, then frees it (and its element).
  void FreeNode(Node* node) {
    if (node->prev) node->prev->next = node->next;
    if (node->next) node->next->prev = node->prev;
    node->next = node->prev = nullptr;
    delete node;
    __atomic_sub_fetch(&count, 1, __ATOMIC_RELEASE);
  }

  std::unique_ptr<CriticalSection> lock;
  std::unique_ptr<ReaderWriterLock> rwLock;
  Node* head = nullptr;
  Node* tail = nullptr;
  uint32_t count = 0;
};

// Walks a JList holding the side of its lock that its LockType names, from
// construction to destruction:
//
//   for (JListIterator<T> it(list, ReaderLock); it.More(); it.Next())
//     use(it.Current());
//
// Only a WriterLock (or, on an unlocked list, NoLock) iterator may remove;
// then RemoveCurrent takes the place of Next.
template <class T>
class JListIterator {
 public:
  using LockType = ::LockType;
  static constexpr LockType ReaderLock = ::ReaderLock;
  static constexpr LockType WriterLock = ::WriterLock;
  static constexpr LockType NoLock = ::NoLock;

  JListIterator(JList<T>& list, LockType lType) : lType(lType), list(&list) {
    bool needLock = list.NeedsLock();
    KORVANE_ASSERT(!(needLock && lType == NoLock),
                   "JList needs lock and iterator lock type not specified");
    KORVANE_ASSERT(!(!needLock && lType != NoLock),
                   "JList doesn't have lock and iterator lock type specified");
    if (needLock) {
      if (lType == ReaderLock)
        list.rwLock->AcquireReader();
      else
        list.rwLock->AcquireWriter();
    }
    current = jcontainer_detail::LoadLink(list.head);
  }

  ~JListIterator() {
    if (list->NeedsLock()) {
      if (lType == ReaderLock)
        list->rwLock->ReleaseReader();
      else
        list->rwLock->ReleaseWriter();
    }
  }

  JListIterator(const JListIterator&) = delete;
  JListIterator& operator=(const JListIterator&) = delete;

  // Stands on the first node again.
  void First() { current = jcontainer_detail::LoadLink(list->head); }

  bool More() const { return current != nullptr; }

  void Next() {
    JListNode<T>* nptr = current;
    KORVANE_ASSERT(nptr, nullptr);
    current = jcontainer_detail::LoadLink(nptr->next);
  }

  T& Current() const {
    JListNode<T>* nptr = current;
    KORVANE_ASSERT(nptr, nullptr);
    return nptr->data;
  }

  // Stands on the first element from the head on that equals probe (by the
  // element type's ==) and returns true; returns false and stays put when
  // there is none.
  bool Find(const T& probe) {
    for (JListNode<T>* node = jcontainer_detail::LoadLink(list->head); node;
         node = jcontainer_detail::LoadLink(node->next)) {
      if (node->data == probe) {
        current = node;
        return true;
      }
    }
    return false;
  }

  // Removes the node under the iterator and stands on the one that
  // followed it. Refused for ReaderLock iterators: the removal would wait
  // for the reader side that this very iterator holds.
  void RemoveCurrent() {
    JListNode<T>* nptr = current;
    KORVANE_ASSERT(nptr, nullptr);
    KORVANE_ASSERT(lType != ReaderLock, nullptr);
    JListNode<T>* following = nptr->next;
    list->Remove(nptr);
    current = following;
  }

 private:
  LockType lType;
  JList<T>* list;
  JListNode<T>* current = nullptr;
};

// A growable array whose every slot, used or not, holds a constructed
// element. Reading a slot past the end extends the array to include it.
template <class T>
class JArray {
 public:
  // count starts at n; storage grows in steps of gb slots (never 0).
  JArray(uint32_t n, uint32_t gb, bool needLock) : growBy(gb), capacity(gb), count(n) {
    KORVANE_ASSERT(gb, nullptr);
    // The locks come first: they free themselves if what follows fails,
    // the slots would not.
    if (needLock) {
      lock.reset(new (std::nothrow) CriticalSection);
      rwLock.reset(new (std::nothrow) ReaderWriterLock);
      KORVANE_ASSERT(lock, nullptr);
      KORVANE_ASSERT(rwLock, nullptr);
    }
    elements = NewSlots(capacity, 0, nullptr);
  }

  ~JArray() {
    WriterHolder writer(rwLock.get());
    FreeSlots(elements, capacity);
  }

  JArray(const JArray&) = delete;
  JArray& operator=(const JArray&) = delete;

  T& ElementAt(uint32_t index) {
    if (index >= capacity) {
      Grow(static_cast<uint64_t>(index) + 1);
      count = index + 1;
    } else if (count <= index) {
      count = index + 1;
    }
    return elements[index];
  }

  uint32_t GetCount() const { return count; }

  // Destroys every slot and frees the storage; the next ElementAt
  // allocates afresh.
  void RemoveAll() {
    WriterHolder writer(rwLock.get());
    FreeSlots(elements, capacity);
    elements = nullptr;
    capacity = 0;
    count = 0;
  }

 private:
  // Storage for newCapacity slots, zeroed, the first `copied` of them
  // copy-constructed from source, the rest default-constructed. On a
  // throwing element constructor everything made here is undone.
  static T* NewSlots(uint32_t newCapacity, uint32_t copied, const T* source) {
    T* slots = static_cast<T*>(::operator new(sizeof(T) * static_cast<size_t>(newCapacity)));
    std::memset(static_cast<void*>(slots), 0, sizeof(T) * static_cast<size_t>(newCapacity));
    uint32_t made = 0;
    try {
      for (; made < copied; ++made) new (slots + made) T(source[made]);
      for (; made < newCapacity; ++made) new (slots + made) T();
    } catch (...) {
      FreeSlots(slots, made);
      throw;
    }
    return slots;
  }

  static void FreeSlots(T* slots, uint32_t constructed) {
    if (!slots) return;
    for (uint32_t i = 0; i < constructed; ++i) slots[i].~T();
    ::operator delete(slots);
  }

  // Makes room for size slots, rounded up to whole steps.
  void Grow(uint64_t size) {
    WriterHolder writer(rwLock.get());
    uint64_t rounded = (size + growBy - 1) / growBy * growBy;
    if (rounded == 0) rounded = growBy;
    // An index near the top of the 32-bit range would ask for more slots
    // than a slot count or this machine's address space can hold.
    uint64_t largest = SIZE_MAX / sizeof(T);
    if (largest > UINT32_MAX) largest = UINT32_MAX;
    KORVANE_ASSERT(rounded <= largest, "JArray index out of range");
    uint32_t newCapacity = static_cast<uint32_t>(rounded);
    uint32_t copied = newCapacity < capacity ? newCapacity : capacity;
    T* slots = NewSlots(newCapacity, copied, elements);
    FreeSlots(elements, capacity);
    elements = slots;
    capacity = newCapacity;
    if (count > capacity) count = capacity;
  }

  std::unique_ptr<CriticalSection> lock;
  std::unique_ptr<ReaderWriterLock> rwLock;
  T* elements = nullptr;
  uint32_t growBy;
  uint32_t capacity;
  uint32_t count;
};
