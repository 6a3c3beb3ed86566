// The bootp server component through COM, as the control center server
// uses it: created in-process from the multithreaded apartment, a listener
// connected, started, asked to reset through the two named events, in a
// test installation whose registry subtree is put back afterwards.
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"

#include <gtest/gtest.h>

#include <ocidl.h>
#include <oleauto.h>

#include <deque>
#include <mutex>
#include <string>

#include "BootpServer.h"
#include "EventSinks.h"
#include "ResetWorker.h"
#include "Win32/Holders.h"

namespace {

// Keeps every event it is sent, in order. The test owns it, and the
// component it is connected to goes first.
class RecordingSink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
                       IsEqualIID(riid, DIID_IBootpServerEvents);
    *object = known ? static_cast<IDispatch*>(this) : nullptr;
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters,
                                   VARIANT*, EXCEPINFO*, UINT*) override {
    char text[4096] = "";
    if (parameters && parameters->cArgs == 1 && parameters->rgvarg[0].vt == VT_BSTR)
      WideCharToMultiByte(CP_ACP, 0, parameters->rgvarg[0].bstrVal, -1, text, sizeof text,
                          nullptr, nullptr);
    std::lock_guard<std::mutex> hold(lock_);
    events_.emplace_back(id, text);
    ReleaseSemaphore(arrived_.get(), 1, nullptr);
    return S_OK;
  }

  // The next event's text, which must be of the given kind.
  std::string Next(DISPID kind, DWORD milliseconds = 2000) {
    if (WaitForSingleObject(arrived_.get(), milliseconds) != WAIT_OBJECT_0) return "(no event)";
    std::lock_guard<std::mutex> hold(lock_);
    const std::pair<DISPID, std::string> event = events_.front();
    events_.pop_front();
    EXPECT_EQ(event.first, kind) << event.second;
    return event.second;
  }

 private:
  std::mutex lock_;
  std::deque<std::pair<DISPID, std::string>> events_;
  UniqueHandle arrived_{CreateSemaphoreA(nullptr, 0, 1000, nullptr)};
};

// True when text holds part: what the text says beyond that is checked
// where it is composed.
bool Says(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class BootpComponent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();  // the component and the proxy DLL beside this program
  }
  static void TearDownTestSuite() { CoUninitialize(); }

  void SetUp() override {
    installation.MakeDirectory("active");
    installation.DeleteValue("Bootp", "Silent");
    ResetEvent(resetEvent_.get());
    ResetEvent(finished_.get());
  }
  void TearDown() override {
    if (server_) server_->StopServer();
    server_.reset();
  }

  // A set change's output: boards 0 and 1 have list files, 2 is of type X.
  void WriteThreeBoards() {
    const std::string at = installation.Root() + "\\active\\";
    installation.WriteFile("active\\active.ini", "[CONFIG]\r\n"
                           "00A0123456AB=10.0.0.1 " + at + "3456AB.cfg 1A2B 0001 BRD1 0 V\r\n"
                           "00A0123456CD=10.0.0.2 " + at + "3456CD.cfg 3C4D 0002 BRD2R 1 P\r\n"
                           "00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 2 X\r\n");
    installation.WriteFile("active\\3456AB.cfg", "list");
    installation.WriteFile("active\\3456CD.cfg", "list");
  }
  std::string ActiveIni() { return installation.Root() + "\\active\\active.ini"; }
  std::string ThreeBoardsServed() {
    return "Serving 3 boards from " + ActiveIni() +
           ": BRD1 (10.0.0.1), BRD2R (10.0.0.2), PANEL (192.168.1.9).";
  }

  // Creates the component in this (multithreaded) apartment, connects the
  // sink and starts the component.
  void CreateAndStart() {
    ASSERT_EQ(CoCreateInstance(CLSID_BootpServer, nullptr, CLSCTX_INPROC_SERVER, IID_IBootpServer,
                               server_.put_void()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_EQ(server_->QueryInterface(IID_IConnectionPointContainer, container.put_void()), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID_IBootpServerEvents, point.put()), S_OK);
    ASSERT_EQ(point->Advise(&sink_, &cookie), S_OK);
    ASSERT_EQ(server_->StartServer(), S_OK);
  }

  // What the set change worker does: forget an old answer, ask, wait. No
  // second answer may follow.
  void Reset() {
    ResetEvent(finished_.get());
    SetEvent(resetEvent_.get());
    EXPECT_EQ(WaitForSingleObject(finished_.get(), 1000), WAIT_OBJECT_0) << "no answer";
    EXPECT_FALSE(AnsweredAgain());
  }
  bool AnsweredAgain() { return WaitForSingleObject(finished_.get(), 300) == WAIT_OBJECT_0; }

  TestInstallation installation{"bootp"};
  UniqueHandle resetEvent_{CreateEventA(nullptr, FALSE, FALSE, kResetEventName)};
  UniqueHandle finished_{CreateEventA(nullptr, FALSE, FALSE, kResetFinishedName)};
  RecordingSink sink_;
  ComPtr<IBootpServer> server_;
};

TEST_F(BootpComponent, AnswersEachResetOnceAndSaysWhatItServes) {
  WriteThreeBoards();
  CreateAndStart();
  EXPECT_EQ(server_->StartServer(), S_OK) << "starting a running server changes nothing";
  // Starting reads what is active; it answers nothing nobody asked.
  EXPECT_EQ(sink_.Next(kInfo), ThreeBoardsServed());
  EXPECT_FALSE(AnsweredAgain());

  installation.WriteFile("active\\active.ini",
                         "[CONFIG]\r\n00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 0 X\r\n");
  Reset();
  EXPECT_EQ(sink_.Next(kInfo), "Serving 1 board from " + ActiveIni() + ": PANEL (192.168.1.9).");
  EXPECT_EQ(sink_.Next(kInfo, 200), "(no event)");
}

TEST_F(BootpComponent, ProblemsAreReportedAndTheResetStillAnswered) {
  CreateAndStart();
  EXPECT_EQ(sink_.Next(kInfo), "No set has been activated yet (" + ActiveIni() +
                                   " does not exist): serving no boards until one is.");
  // After a request the file must be there.
  Reset();
  std::string text = sink_.Next(kNonFatalError);
  EXPECT_TRUE(Says(text, "Could not read the active configuration " + ActiveIni() + ": ") &&
              Says(text, ".  Serving no boards until a configuration can be read."))
      << text;

  // A board whose list file is gone is served, and named.
  WriteThreeBoards();
  installation.RemoveFile("active\\3456CD.cfg");
  Reset();
  EXPECT_EQ(sink_.Next(kInfo), ThreeBoardsServed());
  EXPECT_EQ(sink_.Next(kNonFatalError), "A board has no list file, so it cannot boot: BRD2R (" +
                                            installation.Root() + "\\active\\3456CD.cfg).");

  // A malformed file changes nothing of what is served.
  installation.WriteFile("active\\active.ini", "[CONFIG]\r\n00A0123456AB=10.0.0.1 NOPATH\r\n");
  Reset();
  text = sink_.Next(kNonFatalError);
  EXPECT_TRUE(Says(text, "The active configuration " + ActiveIni() + " is malformed: line 2") &&
              Says(text, ".  Still serving the 3 boards of the previous configuration."))
      << text;

  // Without an installation nothing can be read.
  installation.DeleteValue("Path", "Root");
  Reset();
  text = sink_.Next(kFatalError);
  EXPECT_TRUE(Says(text, "Could not find the Korvane installation root: the value \"Root\" of "
                         "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Path cannot be read") &&
              Says(text, "  The bootp server cannot read any configuration."))
      << text;
}

TEST_F(BootpComponent, IsRegisteredToLiveInTheApartmentThatCreatesIt) {
  const char key[] = "CLSID\\{9F1AA479-79F0-4011-AC63-335A311EAF9E}\\InprocServer32";
  const std::string path = ClassesString(key);
  EXPECT_EQ(lstrcmpiA(path.c_str(), (BinDirectory() + "\\BootpServer.dll").c_str()), 0) << path;
  EXPECT_EQ(ClassesString(key, "ThreadingModel"), "Both");
}

}  // namespace
