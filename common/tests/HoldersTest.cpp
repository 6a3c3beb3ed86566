#include <gtest/gtest.h>

#include "Win32/Holders.h"

namespace {

TEST(Holders, AMovedHandleIsClosedOnceByItsLastHolder) {
  HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), raw, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  {
    UniqueHandle held(raw);
    UniqueHandle moved(std::move(held));
    EXPECT_FALSE(held);
    EXPECT_TRUE(moved);
  }
  // The holder closed the original; the event lives on through the copy.
  EXPECT_FALSE(SetEvent(raw));
  EXPECT_TRUE(SetEvent(copy));
  CloseHandle(copy);
}

}  // namespace
