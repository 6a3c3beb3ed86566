// Raised texts: the assertion text, the length limit, texts kept per
// thread, and what the translating frame makes of a thrown value.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Win32/ErrorText.h"
#include "Win32/TranslatingFrame.h"

namespace {

template <class Body>
std::string Caught(Body raise) {
  try {
    raise();
  } catch (char* text) {
    return text;
  }
  return "<nothing thrown>";
}

// The one place that checks the whole assertion text.
TEST(ErrorText, AssertionTextHasItsFixedFormat) {
  EXPECT_EQ(Caught([] {
              AssertFailed("BootpClient.cpp", 30, "SUCCEEDED(hr)",
                           "Could not start the bootp server", "Tue Nov  2 11:20:04 2004");
            }),
            "Could not start the bootp server: Condition (SUCCEEDED(hr)) failed in file "
            "BootpClient.cpp(Tue Nov  2 11:20:04 2004) on line 30");
  // Without a message; the macro names the bare file and the compiler's time stamp.
  int* out = nullptr;
  const int line = __LINE__ + 1;
  std::string text = Caught([&] { KORVANE_ASSERT_ARG(out); });
  EXPECT_EQ(text, std::string("Condition (out) failed in file ErrorTextTest.cpp(") + __TIMESTAMP__ +
                      ") on line " + std::to_string(line));
}

// Formatted texts are cut at 511 characters. Texts raised on several
// threads at once stay each thread's own, and a text stays readable while
// its catcher raises and catches others.
TEST(ErrorText, RaisedTextsAreCutToSizeAndStayReadableAcrossThreads) {
  EXPECT_EQ(Caught([] { RaiseFormatted("%s", std::string(700, 'x').c_str()); }),
            std::string(511, 'x'));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        std::string expected = "thread " + std::to_string(t) + " raise " + std::to_string(i);
        try {
          RaiseFormatted("thread %d raise %d", t, i);
        } catch (char* outer) {
          for (int nested = 0; nested < 10; ++nested) Caught([] { throw KeepMessageText("n"); });
          if (expected != outer) ++failures;
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

// The frame's error log and message box, as the test stands in for them,
// and then the real "EXCEPTION" box as an unattended machine meets it: the
// call that failed returns while the box waits for someone to press OK.
std::vector<std::string> logged, shown;
int logResult = 1;

TEST(TranslatingFrame, TurnsEveryThrownValueIntoALoggedOrShownText) {
  SetErrorLogger([](const char* text) {
    logged.push_back(text);
    return logResult;
  });
  SetExceptionShower([](const char* text) { shown.push_back(text); });
  EXPECT_TRUE(RunInTranslatingFrame([] {}));
  EXPECT_FALSE(RunInTranslatingFrame([] { RaiseFormatted("raised %d", 1); }));
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CString("a CString"); }));
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CException("a framework exception"); }));
  EXPECT_FALSE(RunInTranslatingFrame([] { throw 42; }));
  EXPECT_FALSE(RunInTranslatingFrame([] { throw new CException("by pointer"); }));
  EXPECT_EQ(logged, (std::vector<std::string>{"raised 1", "a CString", "a framework exception",
                                              kUnknownExceptionText, kUnknownExceptionText}));
  EXPECT_STREQ(kUnknownExceptionText, "Caught an unknown exception in CFactory::CreateInstance");
  EXPECT_TRUE(shown.empty());
  logResult = 0;
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CString("not logged"); }));
  EXPECT_EQ(shown, std::vector<std::string>{"not logged"});

  // Were the box to hold the call, the test would wait for someone to
  // press OK: it then fails on its time limit.
  SetExceptionShower(nullptr);
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CString("shown, not waited for"); }));
  EXPECT_LT(GetTickCount64() - start, 5000u);
  SetErrorLogger(nullptr);
  HWND box = nullptr;
  for (int i = 0; i < 200 && !(box = FindWindowA(nullptr, "EXCEPTION")); ++i) Sleep(50);
  char text[256] = "";  // the box's static control that has any
  for (HWND child = nullptr; box && !text[0];) {
    if (!(child = FindWindowExA(box, child, "Static", nullptr))) break;
    GetWindowTextA(child, text, sizeof text);
  }
  EXPECT_STREQ(text, "shown, not waited for");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
}

}  // namespace
