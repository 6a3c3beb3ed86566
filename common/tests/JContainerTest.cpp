#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Win32/JContainer.h"

namespace {

template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

// An assertion raised for the condition, after the message when there is
// one. (The rest of the text is the error text's own.)
void ExpectAssertion(const std::string& text, const std::string& condition,
                     const char* message = nullptr) {
  if (message) {
    EXPECT_EQ(text.rfind(std::string(message) + ": ", 0), 0u) << text;
  }
  EXPECT_NE(text.find("(" + condition + ")"), std::string::npos) << text;
}

template <class T>
std::vector<T> Contents(JList<T>& list, LockType lType = NoLock) {
  std::vector<T> seen;
  for (JListIterator<T> it(list, lType); it.More(); it.Next()) seen.push_back(it.Current());
  return seen;
}

using Ints = std::vector<int>;

JList<int>* Filled(JList<int>& list, std::initializer_list<int> values) {
  for (int v : values) list.AddTail(v);
  return &list;
}

// Runs f on a thread of its own; false when it has not finished within ms
// (the thread is then left to its wait).
DWORD WINAPI RunJob(void* p) {
  auto* job = static_cast<std::function<void()>*>(p);
  (*job)();
  delete job;
  return 0;
}

bool FinishesWithin(DWORD ms, std::function<void()> f) {
  auto* job = new std::function<void()>(std::move(f));
  HANDLE thread = CreateThread(nullptr, 0, RunJob, job, 0, nullptr);
  bool finished = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return finished;
}

// Counts live elements, so that a test sees every copy made and destroyed.
struct Counted {
  static int live;
  int value = 0;
  Counted() { ++live; }
  Counted(int v) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  ~Counted() { --live; }
};
int Counted::live = 0;

TEST(JList, KeepsOrderThroughAppendsAndRemovalsAtTheHead) {
  JList<int> list(false);
  EXPECT_TRUE(list.IsEmpty());
  Filled(list, {1, 2, 3});
  EXPECT_EQ(Contents(list), (Ints{1, 2, 3}));
  EXPECT_EQ(list.RemoveHead(), 1);
  list.DeleteHead();
  EXPECT_EQ(Contents(list), (Ints{3}));

  // The last node gone, the next one appended is head and tail at once.
  EXPECT_EQ(list.RemoveHead(), 3);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(Contents(list), Ints{});
  list.AddTail(4);
  list.AddTail(5);
  EXPECT_EQ(Contents(list), (Ints{4, 5}));
  list.RemoveAll();
  EXPECT_TRUE(list.IsEmpty());
  list.RemoveAll();
}

TEST(JList, CopiesElementsInAndDestroysThemOnRemovalButNeverWhatPointersPointTo) {
  {
    JList<Counted> list(true);
    list.AddTail(Counted(1));
    list.AddTail(Counted(2));
    list.AddTail(Counted(3));
    EXPECT_EQ(Counted::live, 3);
    EXPECT_EQ(list.RemoveHead().value, 1);
    EXPECT_EQ(Counted::live, 2);
    list.DeleteHead();
    EXPECT_EQ(Counted::live, 1);
  }
  EXPECT_EQ(Counted::live, 0) << "the destructor left elements behind";

  Counted* pointee = new Counted(7);
  {
    JList<Counted*> pointers(false);
    pointers.AddTail(pointee);
    pointers.AddTail(pointee);
    pointers.DeleteHead();
  }
  EXPECT_EQ(Counted::live, 1);
  delete pointee;
}

TEST(JListIterator, WalksStepsBackToTheHeadAndFinds) {
  JList<int> list(false);
  {
    JListIterator<int> empty(list, NoLock);
    EXPECT_FALSE(empty.More());
    ExpectAssertion(Raised([&] { empty.Next(); }), "nptr");
    ExpectAssertion(Raised([&] { empty.Current(); }), "nptr");
    EXPECT_FALSE(empty.Find(1));
  }
  Filled(list, {10, 20, 30, 20});
  JListIterator<int> it(list, JListIterator<int>::NoLock);
  it.Next();
  it.Current() = 21;  // Current is the element itself
  it.First();
  EXPECT_EQ(it.Current(), 10);
  it.Next();
  it.Next();
  EXPECT_FALSE(it.Find(99));
  EXPECT_EQ(it.Current(), 30) << "a failed Find moved the iterator";
  EXPECT_TRUE(it.Find(20));
  it.Next();
  EXPECT_FALSE(it.More()) << "Find must stop at the first match from the head";
  EXPECT_TRUE(it.Find(21));
  EXPECT_EQ(it.Current(), 21);
}

TEST(JListIterator, RemoveCurrentMovesHeadAndTailAndStandsOnTheFollowingNode) {
  JList<int> list(true);
  Filled(list, {1, 2, 3, 4});
  {
    JListIterator<int> it(list, WriterLock);
    it.RemoveCurrent();  // the first node: head moves
    EXPECT_EQ(it.Current(), 2);
    it.Next();
    it.RemoveCurrent();  // a middle node
    EXPECT_EQ(it.Current(), 4);
    it.RemoveCurrent();  // the last node: tail moves back
    EXPECT_FALSE(it.More());
    ExpectAssertion(Raised([&] { it.RemoveCurrent(); }), "nptr");
  }
  list.AddTail(5);
  EXPECT_EQ(Contents(list, ReaderLock), (Ints{2, 5}));

  {
    JListIterator<int> it(list, WriterLock);
    while (it.More()) it.RemoveCurrent();
  }
  EXPECT_TRUE(list.IsEmpty());
  list.AddTail(6);
  EXPECT_EQ(Contents(list, ReaderLock), (Ints{6}));
}

TEST(JList, EveryMisuseIsRefusedWithItsTextAndChangesNothing) {
  JList<int> unlocked(false);
  ExpectAssertion(Raised([&] { unlocked.RemoveHead(); }), "head");
  ExpectAssertion(Raised([&] { unlocked.DeleteHead(); }), "head");
  ExpectAssertion(Raised([&] { unlocked.Remove(nullptr); }), "nptr");
  ExpectAssertion(Raised([&] { JListIterator<int> it(unlocked, ReaderLock); }),
                  "!(!needLock && lType != NoLock)",
                  "JList doesn't have lock and iterator lock type specified");
  ExpectAssertion(Raised([&] { JListIterator<int> it(unlocked, WriterLock); }),
                  "!(!needLock && lType != NoLock)",
                  "JList doesn't have lock and iterator lock type specified");

  JList<int> locked(true);
  Filled(locked, {1, 2});
  ExpectAssertion(Raised([&] { JListIterator<int> it(locked, NoLock); }),
                  "!(needLock && lType == NoLock)",
                  "JList needs lock and iterator lock type not specified");
  {
    JListIterator<int> reader(locked, ReaderLock);
    ExpectAssertion(Raised([&] { reader.RemoveCurrent(); }), "lType != ReaderLock");
    EXPECT_EQ(reader.Current(), 1);
  }
  // Neither the refused iterators nor the refused removal kept a side of the
  // lock: another thread can still remove.
  EXPECT_TRUE(FinishesWithin(5000, [&] { locked.DeleteHead(); }));
  EXPECT_EQ(Contents(locked, ReaderLock), (Ints{2}));
  ExpectAssertion(Raised([] { JArray<int> array(0, 0, false); }), "gb");
}

TEST(JList, AReaderIterationLetsAppendersInButHoldsRemovalsOff) {
  JList<int> list(true);
  Filled(list, {1});
  std::atomic<bool> removed{false};
  std::thread remover;
  {
    JListIterator<int> it(list, ReaderLock);
    EXPECT_TRUE(FinishesWithin(5000, [&] { list.AddTail(2); }));
    remover = std::thread([&] {
      list.DeleteHead();
      removed = true;
    });
    Sleep(150);
    EXPECT_FALSE(removed.load());
    // The same thread may append while it iterates.
    list.AddTail(3);
    EXPECT_EQ(it.Current(), 1);
  }
  remover.join();
  EXPECT_EQ(Contents(list, ReaderLock), (Ints{2, 3}));
}

TEST(JList, AWriterIterationHoldsOffAppendersAndOtherIterations) {
  JList<int> list(true);
  Filled(list, {1});
  std::atomic<bool> appended{false};
  std::atomic<bool> iterated{false};
  std::thread appender;
  std::thread reader;
  {
    JListIterator<int> it(list, WriterLock);
    appender = std::thread([&] {
      list.AddTail(2);
      appended = true;
    });
    reader = std::thread([&] {
      JListIterator<int> other(list, ReaderLock);
      iterated = true;
    });
    Sleep(150);
    EXPECT_FALSE(appended.load());
    EXPECT_FALSE(iterated.load());
    it.RemoveCurrent();
  }
  appender.join();
  reader.join();
  EXPECT_EQ(Contents(list, ReaderLock), (Ints{2}));
}

// The notification lists' pattern: appenders and reader iterations on many
// threads, the readers marking entries dead, one garbage thread removing
// the dead ones with a writer iteration.
struct Entry {
  int producer;
  int sequence;
  std::atomic<bool> dead{false};
};

TEST(JList, AppendsRaceWithReaderIterationsAndAWriterRemoval) {
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 400;
  JList<Entry*> list(true);
  HANDLE garbageEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<bool> producing{true};
  std::atomic<int> badOrder{0};
  std::atomic<int> freed{0};

  auto sweep = [&] {
    for (JListIterator<Entry*> it(list, WriterLock); it.More();) {
      if (it.Current()->dead) {
        delete it.Current();
        it.RemoveCurrent();
        ++freed;
      } else {
        it.Next();
      }
    }
  };
  std::thread garbage([&] {
    while (producing) {
      WaitForSingleObject(garbageEvent, 20);
      sweep();
    }
  });

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) list.AddTail(new Entry{p, i});
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (producing) {
        int last[kProducers] = {-1, -1, -1};
        for (JListIterator<Entry*> it(list, ReaderLock); it.More(); it.Next()) {
          Entry* entry = it.Current();
          if (entry->sequence <= last[entry->producer]) ++badOrder;
          last[entry->producer] = entry->sequence;
          if (entry->sequence % 3 == 0 && !entry->dead) {
            entry->dead = true;
            SetEvent(garbageEvent);
          }
        }
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) threads[p].join();
  Sleep(50);
  producing = false;
  for (size_t t = kProducers; t < threads.size(); ++t) threads[t].join();
  garbage.join();

  // Mark whatever the readers had not reached, then sweep once more.
  {
    JListIterator<Entry*> it(list, ReaderLock);
    for (; it.More(); it.Next())
      if (it.Current()->sequence % 3 == 0) it.Current()->dead = true;
  }
  sweep();

  EXPECT_EQ(badOrder, 0);
  int expectedNext[kProducers] = {0, 0, 0};
  int kept = 0;
  for (Entry* entry : Contents(list, ReaderLock)) {
    int& next = expectedNext[entry->producer];
    if (next % 3 == 0) ++next;
    EXPECT_EQ(entry->sequence, next) << "producer " << entry->producer;
    next = entry->sequence + 1;
    ++kept;
  }
  EXPECT_EQ(kept + freed, kProducers * kPerProducer);
  EXPECT_EQ(freed, kProducers * ((kPerProducer + 2) / 3));
  while (!list.IsEmpty()) delete list.RemoveHead();
  CloseHandle(garbageEvent);
}

TEST(JArray, GrowsInWholeStepsAndKeepsWhatItHeld) {
  {
    JArray<Counted> array(0, 10, false);
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(Counted::live, 10) << "every slot holds a constructed element";
    array.ElementAt(0).value = 100;
    array.ElementAt(9).value = 109;
    EXPECT_EQ(Counted::live, 10);
    EXPECT_EQ(array.GetCount(), 10u);

    array.ElementAt(25).value = 125;
    EXPECT_EQ(array.GetCount(), 26u);
    EXPECT_EQ(Counted::live, 30) << "capacity should be 30";
    array.ElementAt(3);
    EXPECT_EQ(array.GetCount(), 26u);
    EXPECT_EQ(array.ElementAt(0).value, 100);
    EXPECT_EQ(array.ElementAt(9).value, 109);
    EXPECT_EQ(array.ElementAt(25).value, 125);
    EXPECT_EQ(array.ElementAt(26).value, 0);
    EXPECT_EQ(array.GetCount(), 27u);

    array.RemoveAll();
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(Counted::live, 0);
    array.ElementAt(0).value = 1;
    EXPECT_EQ(array.GetCount(), 1u);
    EXPECT_EQ(Counted::live, 10);
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(JArray, TakesAnInitialCountALockAndRefusesAnImpossibleIndex) {
  JArray<int> array(4, 3, true);
  EXPECT_EQ(array.GetCount(), 4u);
  array.ElementAt(7) = 7;
  EXPECT_EQ(array.GetCount(), 8u);
  EXPECT_EQ(array.ElementAt(5), 0);

  std::string text = Raised([&] { array.ElementAt(UINT32_MAX); });
  EXPECT_EQ(text.rfind("JArray index out of range: ", 0), 0u) << text;
  EXPECT_EQ(array.GetCount(), 8u);
  EXPECT_EQ(array.ElementAt(7), 7);
}

}  // namespace
