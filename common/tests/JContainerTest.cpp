// The reader/writer lock, and the list and array built on it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Win32/JContainer.h"
#include "Win32/ReaderWriterLock.h"

namespace {

// A thread that should be held must still be held after kHeld; one that is
// free to go gets there within kArrives, even under a busy Wine.
constexpr DWORD kHeld = 150;
constexpr DWORD kArrives = 10000;

bool Within(DWORD ms, const std::atomic<bool>& flag) {
  for (DWORD waited = 0; !flag && waited < ms; waited += 5) Sleep(5);
  return flag;
}
bool StaysOut(const std::atomic<bool>& flag) {
  Sleep(kHeld);
  return !flag;
}

// A body on a thread of its own, joined once done or left to its wait.
class Job {
 public:
  explicit Job(std::function<void()> body)
      : thread([this, body] {
          body();
          done = true;
        }) {}
  ~Job() { Within(kArrives, done) ? thread.join() : thread.detach(); }
  std::atomic<bool> done{false};

 private:
  std::thread thread;
};

// Readers share the lock, reading again too, and a writer waits for the
// last of them. Readers arriving while a writer holds it (the first waits
// on the token, the later ones on the readers' event, which the readers
// before must have left reset) go in only at its outermost release.
TEST(ReaderWriterLock, ReadersShareItAndWaitForAWritersOutermostRelease) {
  ReaderWriterLock lock;
  auto read = [&] { ReaderHolder reader(&lock); };
  lock.AcquireReader();
  EXPECT_TRUE(Within(kArrives, Job(read).done)) << "a second reader must not wait for the first";
  Job writer([&] { WriterHolder writer(&lock); });
  EXPECT_TRUE(StaysOut(writer.done));
  read();  // past the waiting writer
  EXPECT_TRUE(StaysOut(writer.done)) << "one reader is still inside";
  lock.ReleaseReader();
  EXPECT_TRUE(Within(kArrives, writer.done));

  lock.AcquireWriter();
  lock.AcquireWriter();
  Job first(read);
  Sleep(20);  // let it become the first reader
  Job later(read);
  lock.ReleaseWriter();
  EXPECT_TRUE(StaysOut(first.done));
  EXPECT_FALSE(later.done);
  lock.ReleaseWriter();
  EXPECT_TRUE(Within(kArrives, first.done) && Within(kArrives, later.done));
}

// Readers and writers on many threads at once: no reader ever meets a
// writer, no writer another writer, and every writer's work survives.
TEST(ReaderWriterLock, KeepsWritersAloneUnderContention) {
  ReaderWriterLock lock;
  std::atomic<int> readers{0}, writers{0}, violations{0};
  long shared = 0;  // changed by writers only, without atomics
  constexpr int kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        WriterHolder outer(&lock);
        { WriterHolder inner(&lock); }
        if (++writers != 1 || readers != 0) ++violations;
        long seen = shared;
        if (i % 16 == 0) Sleep(0);
        shared = seen + 1;
        --writers;
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ReaderHolder reader(&lock);
        ++readers;
        if (writers != 0) ++violations;
        if (i % 16 == 0) Sleep(0);
        --readers;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(shared, 3L * kRounds);
}

// True when f raises a text that starts with start.
template <class F>
bool RaisesText(F&& f, const std::string& start) {
  try {
    f();
  } catch (char* text) {
    return std::string(text).rfind(start, 0) == 0;
  }
  return false;
}

using Ints = std::vector<int>;

Ints Contents(JList<int>& list, LockType lType) {
  Ints seen;
  for (JListIterator<int> it(list, lType); it.More(); it.Next()) seen.push_back(it.Current());
  return seen;
}

void Fill(JList<int>& list, std::initializer_list<int> values) {
  for (int v : values) list.AddTail(v);
}

TEST(JList, KeepsHeadAndTailThroughEveryKindOfRemoval) {
  JList<int> list(false);
  Fill(list, {1});
  list.DeleteHead();  // the last node: head and tail go
  EXPECT_TRUE(list.IsEmpty());
  Fill(list, {1, 2, 3, 4, 5});
  JListIterator<int> it(list, NoLock);
  it.RemoveCurrent();  // the head
  it.Next();
  it.RemoveCurrent();  // a middle node
  it.Next();
  it.RemoveCurrent();  // the tail
  EXPECT_FALSE(it.More());
  Fill(list, {6});
  it.First();
  EXPECT_EQ(it.Current(), 2);
  EXPECT_EQ(Contents(list, NoLock), (Ints{2, 4, 6}));
  while (it.More()) it.RemoveCurrent();  // the last one is head and tail at once
  list.AddTail(7);
  EXPECT_EQ(Contents(list, NoLock), Ints{7});
}

// Iterators that do not fit the list are refused and hold nothing of its
// lock. A reader iteration lets appenders in, its own thread too, but holds
// removals off; a writer iteration holds off appenders and iterations.
TEST(JList, IterationsHoldOffWhatTheirSideOfTheLockExcludes) {
  JList<int> unlocked(false), list(true);
  Fill(list, {1});
  EXPECT_THROW(JListIterator<int>(list, ReaderLock).RemoveCurrent(), char*);
  EXPECT_TRUE(RaisesText([&] { JListIterator<int>(unlocked, WriterLock); },
                         "JList doesn't have lock and iterator lock type specified: "));
  EXPECT_TRUE(RaisesText([&] { JListIterator<int>(list, NoLock); },
                         "JList needs lock and iterator lock type not specified: "));
  auto reader = std::make_unique<JListIterator<int>>(list, ReaderLock);
  EXPECT_TRUE(Within(kArrives, Job([&] { list.AddTail(2); }).done));
  list.AddTail(3);
  Job remover([&] { list.DeleteHead(); });
  EXPECT_TRUE(StaysOut(remover.done));
  reader.reset();
  EXPECT_TRUE(Within(kArrives, remover.done));

  auto writer = std::make_unique<JListIterator<int>>(list, WriterLock);
  Job appender([&] { list.AddTail(4); });
  Job iteration([&] { JListIterator<int> other(list, ReaderLock); });
  EXPECT_TRUE(StaysOut(appender.done));
  EXPECT_FALSE(iteration.done);
  writer->RemoveCurrent();
  writer.reset();
  EXPECT_TRUE(Within(kArrives, appender.done) && Within(kArrives, iteration.done));
  EXPECT_EQ(Contents(list, ReaderLock), (Ints{3, 4}));
}

// Counts live elements: every slot holds a constructed one.
struct Counted {
  static inline int live = 0;
  int value = 0;
  Counted() { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  ~Counted() { --live; }
};

TEST(JArray, GrowsInWholeStepsKeepingItsElementsAndRefusesAnImpossibleIndex) {
  {
    JArray<Counted> array(0, 10, true);
    EXPECT_EQ(Counted::live, 10);
    array.ElementAt(9).value = 109;
    array.ElementAt(25).value = 125;
    array.ElementAt(3);
    EXPECT_EQ(array.GetCount(), 26u);
    EXPECT_EQ(Counted::live, 30);
    EXPECT_TRUE(RaisesText([&] { array.ElementAt(UINT32_MAX); }, "JArray index out of range: "));
    EXPECT_EQ(array.GetCount(), 26u);
    EXPECT_EQ(array.ElementAt(9).value + array.ElementAt(25).value, 234);
    array.RemoveAll();
    EXPECT_EQ(Counted::live, 0);
    array.ElementAt(0);  // allocates afresh
    EXPECT_EQ(array.GetCount() * 10, static_cast<unsigned>(Counted::live));
  }
  EXPECT_EQ(Counted::live, 0);
}

}  // namespace
