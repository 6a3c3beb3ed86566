#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Win32/ReaderWriterLock.h"

namespace {

// Long enough for a thread that is free to go to get there under a busy
// Wine, short enough to keep the run quick. A thread that should be held
// must still be held after kHeld.
constexpr DWORD kHeld = 150;
constexpr DWORD kArrives = 10000;

bool Reaches(const std::atomic<bool>& flag, DWORD ms = kArrives) {
  for (DWORD waited = 0; !flag.load(); waited += 5) {
    if (waited >= ms) return false;
    Sleep(5);
  }
  return true;
}

bool StaysOut(const std::atomic<bool>& flag) {
  Sleep(kHeld);
  return !flag.load();
}

// A thread that takes one side of the lock, says so, holds it until told to
// let go, and releases it.
class Holder {
 public:
  enum Side { Reader, Writer };
  Holder(ReaderWriterLock& lock, Side side)
      : thread_([this, &lock, side] {
          side == Reader ? lock.AcquireReader() : lock.AcquireWriter();
          inside = true;
          while (!letGo) Sleep(1);
          side == Reader ? lock.ReleaseReader() : lock.ReleaseWriter();
          done = true;
        }) {}
  ~Holder() {
    letGo = true;
    thread_.join();
  }
  std::atomic<bool> inside{false};
  std::atomic<bool> letGo{false};
  std::atomic<bool> done{false};

 private:
  std::thread thread_;
};

TEST(ReaderWriterLock, ReadersShareTheLockAndAWriterWaitsForAllOfThem) {
  ReaderWriterLock lock;
  Holder first(lock, Holder::Reader);
  ASSERT_TRUE(Reaches(first.inside));
  Holder second(lock, Holder::Reader);
  ASSERT_TRUE(Reaches(second.inside)) << "a second reader must not wait for the first";
  EXPECT_TRUE(lock.ReaderEventSignalled());

  Holder writer(lock, Holder::Writer);
  EXPECT_TRUE(StaysOut(writer.inside));
  first.letGo = true;
  ASSERT_TRUE(Reaches(first.done));
  EXPECT_TRUE(StaysOut(writer.inside)) << "one reader is still inside";
  second.letGo = true;
  EXPECT_TRUE(Reaches(writer.inside));
}

// The first reader behind a writer waits on the token, the later ones on
// the readers' event: all of them go in only when the writer's outermost
// release gives the token back.
TEST(ReaderWriterLock, ReadersArrivingDuringAWriterWaitForItsOutermostRelease) {
  ReaderWriterLock lock;
  lock.AcquireWriter();
  lock.AcquireWriter();
  Holder firstReader(lock, Holder::Reader);
  Sleep(20);  // let it become the first reader
  Holder laterReader(lock, Holder::Reader);
  EXPECT_TRUE(StaysOut(firstReader.inside));
  lock.ReleaseWriter();
  EXPECT_TRUE(StaysOut(firstReader.inside));
  EXPECT_TRUE(StaysOut(laterReader.inside));
  lock.ReleaseWriter();
  EXPECT_TRUE(Reaches(firstReader.inside));
  EXPECT_TRUE(Reaches(laterReader.inside));
}

// Left set, the readers' event would let a later reader walk past a writer
// that took the token after the readers had gone.
TEST(ReaderWriterLock, TheLastReaderLeavesTheReadersEventReset) {
  ReaderWriterLock lock;
  EXPECT_FALSE(lock.ReaderEventSignalled());
  lock.AcquireReader();
  lock.AcquireReader();  // a reader may read again
  EXPECT_TRUE(lock.ReaderEventSignalled());
  lock.ReleaseReader();
  EXPECT_TRUE(lock.ReaderEventSignalled());
  lock.ReleaseReader();
  EXPECT_FALSE(lock.ReaderEventSignalled());

  lock.AcquireWriter();
  Holder firstReader(lock, Holder::Reader);
  Sleep(20);
  Holder laterReader(lock, Holder::Reader);
  EXPECT_TRUE(StaysOut(firstReader.inside));
  EXPECT_TRUE(StaysOut(laterReader.inside));
  lock.ReleaseWriter();
  EXPECT_TRUE(Reaches(laterReader.inside));
}

TEST(ReaderWriterLock, AReaderMayReadAgainWhileAWriterWaits) {
  ReaderWriterLock lock;
  lock.AcquireReader();
  Holder writer(lock, Holder::Writer);
  Sleep(20);
  lock.AcquireReader();  // would hang if readers queued behind the writer
  lock.ReleaseReader();
  EXPECT_TRUE(StaysOut(writer.inside));
  lock.ReleaseReader();
  EXPECT_TRUE(Reaches(writer.inside));
}

// Readers and writers on many threads at once: no reader ever meets a
// writer, no writer another writer, and every writer's work survives.
TEST(ReaderWriterLock, KeepsWritersAloneUnderContention) {
  ReaderWriterLock lock;
  std::atomic<int> readersInside{0};
  std::atomic<int> writersInside{0};
  std::atomic<int> violations{0};
  long shared = 0;  // changed by writers only, without atomics
  constexpr int kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        WriterHolder outer(&lock);
        WriterHolder inner(&lock);
        if (++writersInside != 1 || readersInside != 0) ++violations;
        long seen = shared;
        if (i % 16 == 0) Sleep(0);
        shared = seen + 1;
        --writersInside;
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ReaderHolder reader(&lock);
        ++readersInside;
        if (writersInside != 0) ++violations;
        if (i % 16 == 0) Sleep(0);
        --readersInside;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(shared, 3L * kRounds);
  EXPECT_FALSE(lock.ReaderEventSignalled());
}

}  // namespace
