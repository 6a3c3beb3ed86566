#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QRBConsoleComponent.h"
#include "Win32/CriticalSection.h"
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
TEST(AssertFailed, ComposesTheTextInTheFixedOrder) {
  EXPECT_EQ(Caught([] {
              AssertFailed("BootpClient.cpp", 30, "SUCCEEDED(hr)",
                           "Could not start the bootp server", "Tue Nov  2 11:20:04 2004");
            }),
            "Could not start the bootp server: Condition (SUCCEEDED(hr)) failed in file "
            "BootpClient.cpp(Tue Nov  2 11:20:04 2004) on line 30");
  // Without a message; lines in decimal.
  EXPECT_EQ(Caught([] { AssertFailed("x.cpp", 4258, "numfiles", nullptr, "stamp"); }),
            "Condition (numfiles) failed in file x.cpp(stamp) on line 4258");
  // The macro names the bare file and the compiler's time stamp.
  std::string text = Caught([] {
    int* out = nullptr;
    KORVANE_ASSERT_ARG(out);
  });
  EXPECT_EQ(text.rfind("Condition (out) failed in file ErrorTextTest.cpp(", 0), 0u) << text;
  EXPECT_NE(text.find(std::string("(") + __TIMESTAMP__ + ") on line "), std::string::npos);
}

TEST(RaiseFormatted, FormatsAndCutsAt511Characters) {
  EXPECT_EQ(Caught([] { RaiseFormatted("Could not get information for board %s.", "00A0"); }),
            "Could not get information for board 00A0.");
  std::string longText = Caught([] { RaiseFormatted("%s", std::string(700, 'x').c_str()); });
  EXPECT_EQ(longText, std::string(511, 'x'));
}

// A component whose GetErrorText answers as the test tells it.
class FakeComponent : public IQRBConsoleComponent {
 public:
  HRESULT result = S_OK;
  const char* own = nullptr;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetErrorText(unsigned short* size, char** text) override {
    *text = nullptr;
    *size = 0;
    if (own) {
      *size = static_cast<unsigned short>(std::strlen(own) + 1);
      *text = static_cast<char*>(CoTaskMemAlloc(*size));
      std::memcpy(*text, own, *size);
    }
    return result;
  }
};

TEST(RaiseComponentError, JoinsTheComponentsTextCutAt511OrLeavesTheMessageAlone) {
  FakeComponent component;
  component.own = "table not found";
  EXPECT_EQ(Caught([&] { RaiseComponentError(&component, "Open failed: "); }),
            "Open failed: table not found");
  std::string message(600, 'm');
  EXPECT_EQ(Caught([&] { RaiseComponentError(&component, message.c_str()); }),
            std::string(511, 'm'));

  // Nothing to join: the caller's very text is thrown.
  const char* own = "the caller's text";
  FakeComponent failing;
  failing.own = "ignored";
  failing.result = E_FAIL;
  FakeComponent silent;
  for (IQRBConsoleComponent* nothing : {static_cast<IQRBConsoleComponent*>(nullptr),
                                        static_cast<IQRBConsoleComponent*>(&failing),
                                        static_cast<IQRBConsoleComponent*>(&silent)}) {
    try {
      RaiseComponentError(nothing, own);
    } catch (char* text) {
      EXPECT_EQ(text, own);  // the very same pointer
    }
  }
}

TEST(SystemErrorText, GivesTheSystemsText) {
  EXPECT_FALSE(SystemErrorText(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_NE(SystemErrorText(ERROR_FILE_NOT_FOUND), SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SystemErrorText(0xDEADBEEF), "");
}

// Texts raised on several threads at once stay each thread's own, and a
// text stays readable while its catcher raises and catches others.
TEST(RaisedTexts, StayReadableAcrossThreadsAndNestedRaises) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        try {
          RaiseFormatted("thread %d raise %d", t, i);
        } catch (char* outer) {
          std::string expected = "thread " + std::to_string(t) + " raise " + std::to_string(i);
          for (int nested = 0; nested < 10; ++nested) {
            try {
              throw KeepMessageText("nested");
            } catch (char*) {
            }
          }
          if (expected != outer) ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// What the frame hands on: the test stands in for the error log and the
// message box.
std::vector<std::string> logged;
std::vector<std::string> shown;
int logResult = 1;
int RecordingLogger(const char* text) {
  logged.push_back(text);
  return logResult;
}
void RecordingShower(const char* text) { shown.push_back(text); }

class TranslatingFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logged.clear();
    shown.clear();
    logResult = 1;
    SetErrorLogger(RecordingLogger);
    SetExceptionShower(RecordingShower);
  }
  void TearDown() override {
    SetErrorLogger(nullptr);
    SetExceptionShower(RecordingShower);
  }
};

TEST_F(TranslatingFrameTest, TranslatesEveryKindOfThrownValueToText) {
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

  // What the log could not take is shown.
  logResult = 0;
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CString("not logged"); }));
  EXPECT_EQ(shown, std::vector<std::string>{"not logged"});
}

BOOL CALLBACK KeepStaticText(HWND child, LPARAM found) {
  char kind[16] = "", words[256] = "";
  GetClassNameA(child, kind, sizeof kind);
  GetWindowTextA(child, words, sizeof words);
  if (lstrcmpiA(kind, "Static") == 0 && words[0]) *reinterpret_cast<std::string*>(found) = words;
  return TRUE;
}

// The text of a message box: its one static control that has any.
std::string BoxText(HWND box) {
  std::string text;
  EnumChildWindows(box, KeepStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

HWND WaitForBox(const char* caption, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
    if (HWND box = FindWindowA(nullptr, caption)) return box;
    Sleep(50);
  }
  return nullptr;
}

// The real "EXCEPTION" box, as an unattended machine meets it: the call
// that failed returns while the box waits for someone to press OK.
TEST(ExceptionBox, StaysUpWhileTheFailedCallReturns) {
  SetErrorLogger([](const char*) { return 0; });
  SetExceptionShower(nullptr);
  // Were the box to hold the call, press OK after a while: the test then
  // fails on the time the call took instead of hanging.
  std::atomic<bool> returned{false};
  std::thread rescuer([&] {
    for (int i = 0; i < 150 && !returned; ++i) Sleep(100);
    if (!returned)
      if (HWND box = FindWindowA(nullptr, "EXCEPTION")) PostMessageA(box, WM_COMMAND, IDOK, 0);
  });
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(RunInTranslatingFrame([] { throw CString("shown, not waited for"); }));
  const ULONGLONG took = GetTickCount64() - start;
  returned = true;
  rescuer.join();
  SetErrorLogger(nullptr);
  EXPECT_LT(took, 5000u);

  HWND box = WaitForBox("EXCEPTION", 10000);
  ASSERT_NE(nullptr, box) << "no box came up";
  EXPECT_EQ("shown, not waited for", BoxText(box));
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(50);
  EXPECT_FALSE(IsWindow(box));
}

TEST(CriticalSectionHolder, ExcludesOtherThreadsAndAcceptsNone) {
  CriticalSection section;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CriticalSectionHolder hold(&section);
        CriticalSectionHolder again(&section);  // re-entrant for its owner
        long seen = counter;
        counter = seen + 1;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
  CriticalSectionHolder nothing(nullptr);
}

}  // namespace
