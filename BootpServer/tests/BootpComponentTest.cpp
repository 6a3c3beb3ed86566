// The bootp server component through COM, as the control center server
// uses it: created in-process from the multithreaded apartment, a listener
// connected, started, asked to reset through the two named events.
//
// The suite registers BootpServer.dll (and the proxy DLL) from its own
// folder, points the installation root at a folder of its own and puts the
// previous settings back at the end.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <oleauto.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "BootpServer.h"
#include "BootpSettings.h"
#include "ResetWorker.h"
#include "Win32/Holders.h"

namespace {

struct Event {
  DISPID id = 0;
  std::string text;
};

// Records every event it is sent, in order.
class RecordingSink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, DIID_IBootpServerEvents)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters,
                                   VARIANT*, EXCEPINFO*, UINT*) override {
    Event event;
    event.id = id;
    if (parameters && parameters->cArgs == 1 && parameters->rgvarg[0].vt == VT_BSTR) {
      char text[4096] = "";
      WideCharToMultiByte(CP_ACP, 0, parameters->rgvarg[0].bstrVal, -1, text, sizeof text,
                          nullptr, nullptr);
      event.text = text;
    }
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back(event);
    arrived_.notify_all();
    return S_OK;
  }

  // The next event in order, or false when none comes in time.
  bool Next(Event& event, int milliseconds = 2000) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!arrived_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                           [this] { return !events_.empty(); }))
      return false;
    event = events_.front();
    events_.pop_front();
    return true;
  }

 private:
  virtual ~RecordingSink() = default;
  LONG references_ = 1;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<Event> events_;
};

#define EXPECT_EVENT(sink, expectedId, expectedText)                          \
  do {                                                                        \
    Event event_;                                                             \
    if (!(sink)->Next(event_)) {                                              \
      ADD_FAILURE() << "no event came; expected " << (expectedText);          \
    } else {                                                                  \
      EXPECT_EQ(event_.id, static_cast<DISPID>(expectedId));                  \
      EXPECT_EQ(event_.text, std::string(expectedText));                      \
    }                                                                         \
  } while (0)

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

bool CallExport(const std::string& dll, const char* name) {
  HMODULE module = LoadLibraryA((ProgramFolder() + dll).c_str());
  if (!module) return false;
  auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(module, name));
  bool done = function && SUCCEEDED(function());
  FreeLibrary(module);
  return done;
}

// One registry value, put back as it was when the holder goes; keys it had
// to create are deleted again, so that the installation's subtree is left
// as it was found.
class SavedValue {
 public:
  SavedValue(const char* key, const char* name) : name_(name) {
    std::string path = key;
    for (size_t end = path.find('\\'); ; end = path.find('\\', end + 1)) {
      std::string level = path.substr(0, end);
      DWORD disposition = 0;
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, level.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      key_.put(), &disposition);
      if (disposition == REG_CREATED_NEW_KEY) created_.push_back(level);
      if (end == std::string::npos) break;
    }
    char data[1024];
    DWORD size = sizeof data;
    had_ = RegQueryValueExA(key_.get(), name, nullptr, &type_, reinterpret_cast<BYTE*>(data),
                            &size) == ERROR_SUCCESS;
    if (had_) old_.assign(data, size);
  }
  ~SavedValue() {
    if (had_)
      RegSetValueExA(key_.get(), name_, 0, type_, reinterpret_cast<const BYTE*>(old_.data()),
                     static_cast<DWORD>(old_.size()));
    else
      RegDeleteValueA(key_.get(), name_);
    key_.reset();
    for (auto level = created_.rbegin(); level != created_.rend(); ++level)
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, level->c_str());
  }
  void SetText(const std::string& text) {
    RegSetValueExA(key_.get(), name_, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  void Remove() { RegDeleteValueA(key_.get(), name_); }

 private:
  UniqueKey key_;
  const char* name_;
  std::vector<std::string> created_;
  bool had_ = false;
  DWORD type_ = 0;
  std::string old_;
};

class BootpComponent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(CallExport("BootpServer.dll", "DllRegisterServer"));
    ASSERT_TRUE(CallExport("KorvanePS.dll", "DllRegisterServer"));
  }
  static void TearDownTestSuite() { CoUninitialize(); }

  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "bootp-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(root_.c_str(), nullptr);
    CreateDirectoryA((root_ + "\\active").c_str(), nullptr);
    activeIni_ = root_ + "\\active\\active.ini";
    rootSetting.SetText(root_);
    silentSetting.Remove();
    resetEvent_.reset(CreateEventA(nullptr, FALSE, FALSE, kResetEventName));
    finished_.reset(CreateEventA(nullptr, FALSE, FALSE, kResetFinishedName));
    ResetEvent(resetEvent_.get());
    ResetEvent(finished_.get());
  }

  void TearDown() override {
    if (server_) server_->StopServer();
    server_.reset();
    ResetEvent(resetEvent_.get());
    for (const char* file : {"active.ini", "3456AB.cfg", "3456CD.cfg"})
      DeleteFileA((root_ + "\\active\\" + file).c_str());
    RemoveDirectoryA((root_ + "\\active").c_str());
    RemoveDirectoryA(root_.c_str());
  }

  void WriteFile(const std::string& path, const std::string& content) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fputs(content.c_str(), file);
    std::fclose(file);
  }

  // A set change's output: boards 0 and 1 have list files, 2 is of type X.
  void WriteThreeBoards() {
    WriteFile(activeIni_,
              "[CONFIG]\r\n"
              "00A0123456AB=10.0.0.1 " + root_ + "\\active\\3456AB.cfg 1A2B 0001 BRD1 0 V\r\n"
              "00A0123456CD=10.0.0.2 " + root_ + "\\active\\3456CD.cfg 3C4D 0002 BRD2R 1 P\r\n"
              "00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 2 X\r\n");
    WriteFile(root_ + "\\active\\3456AB.cfg", "list");
    WriteFile(root_ + "\\active\\3456CD.cfg", "list");
  }
  std::string ThreeBoardsServed() {
    return "Serving 3 boards from " + activeIni_ +
           ": BRD1 (10.0.0.1), BRD2R (10.0.0.2), PANEL (192.168.1.9).";
  }

  // Creates the component in this (multithreaded) apartment and connects
  // a listener.
  RecordingSink* CreateAndConnect() {
    EXPECT_EQ(CoCreateInstance(CLSID_BootpServer, nullptr, CLSCTX_INPROC_SERVER, IID_IBootpServer,
                               server_.put_void()),
              S_OK);
    if (!server_) return nullptr;
    ComPtr<IConnectionPointContainer> container;
    server_->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    EXPECT_EQ(container->FindConnectionPoint(DIID_IBootpServerEvents, point_.put()), S_OK);
    auto sink = ComPtr<RecordingSink>::Attach(new RecordingSink());
    EXPECT_EQ(point_->Advise(sink.get(), &cookie_), S_OK);
    sinks_.push_back(sink);
    return sink.get();
  }

  // What the set change worker does: forget an old answer, ask, wait.
  DWORD Reset(DWORD milliseconds = 1000) {
    ResetEvent(finished_.get());
    SetEvent(resetEvent_.get());
    return WaitForSingleObject(finished_.get(), milliseconds);
  }
  bool AnsweredAgain() { return WaitForSingleObject(finished_.get(), 300) == WAIT_OBJECT_0; }

  SavedValue rootSetting{kPathKey, kRootValue};
  SavedValue silentSetting{kBootpKey, kSilentValue};
  std::string root_, activeIni_;
  UniqueHandle resetEvent_, finished_;
  ComPtr<IBootpServer> server_;
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  std::vector<ComPtr<RecordingSink>> sinks_;
};

TEST_F(BootpComponent, AnswersEachResetOnceAndSaysWhatItServes) {
  WriteThreeBoards();
  RecordingSink* sink = CreateAndConnect();
  ASSERT_TRUE(sink);
  ASSERT_EQ(server_->StartServer(), S_OK);
  EXPECT_EQ(server_->StartServer(), S_OK) << "starting a running server changes nothing";
  // Starting reads what is active; it answers nothing nobody asked.
  EXPECT_EVENT(sink, kInfo, ThreeBoardsServed());
  EXPECT_FALSE(AnsweredAgain());

  WriteFile(activeIni_, "[CONFIG]\r\n00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 0 X\r\n");
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EVENT(sink, kInfo, "Serving 1 board from " + activeIni_ + ": PANEL (192.168.1.9).");
  EXPECT_FALSE(AnsweredAgain());

  WriteThreeBoards();
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EVENT(sink, kInfo, ThreeBoardsServed());
  EXPECT_FALSE(AnsweredAgain());
  Event extra;
  EXPECT_FALSE(sink->Next(extra, 200)) << extra.text;
}

TEST_F(BootpComponent, ProblemsAreReportedAndTheResetStillAnswered) {
  RecordingSink* sink = CreateAndConnect();
  ASSERT_TRUE(sink);
  ASSERT_EQ(server_->StartServer(), S_OK);
  EXPECT_EVENT(sink, kInfo,
               "No set has been activated yet (" + activeIni_ +
                   " does not exist): serving no boards until one is.");

  // After a request the file must be there.
  Event event;
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(sink->Next(event));
  EXPECT_EQ(event.id, kNonFatalError);
  EXPECT_EQ(event.text.rfind("Could not read the active configuration " + activeIni_ + ": ", 0),
            0u)
      << event.text;
  EXPECT_NE(event.text.find(".  Serving no boards until a configuration can be read."),
            std::string::npos)
      << event.text;

  // A malformed file changes nothing of what is served.
  WriteThreeBoards();
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EVENT(sink, kInfo, ThreeBoardsServed());
  WriteFile(activeIni_, "[CONFIG]\r\n00A0123456AB=10.0.0.1 NOPATH FFFF 0000 BRD1 zero X\r\n");
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EVENT(sink, kNonFatalError,
               "The active configuration " + activeIni_ +
                   " is malformed: line 2 (00A0123456AB=10.0.0.1 NOPATH FFFF 0000 BRD1 zero X): "
                   "the board number \"zero\" is not a number.  Still serving the 3 boards of "
                   "the previous configuration.");

  // A board whose list file is gone is served, and named.
  WriteThreeBoards();
  DeleteFileA((root_ + "\\active\\3456CD.cfg").c_str());
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EVENT(sink, kInfo, ThreeBoardsServed());
  EXPECT_EVENT(sink, kNonFatalError,
               "A board has no list file, so it cannot boot: BRD2R (" + root_ +
                   "\\active\\3456CD.cfg).");

  // Without an installation nothing can be read.
  rootSetting.Remove();
  EXPECT_EQ(Reset(), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(sink->Next(event));
  EXPECT_EQ(event.id, kFatalError);
  EXPECT_EQ(event.text.rfind("Could not find the Korvane installation root: the value \"Root\" of "
                             "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Path cannot be read",
                             0),
            0u)
      << event.text;
  EXPECT_NE(event.text.find("  The bootp server cannot read any configuration."), std::string::npos)
      << event.text;
}

TEST_F(BootpComponent, IsRegisteredToLiveInTheApartmentThatCreatesIt) {
  const char key[] = "CLSID\\{9F1AA479-79F0-4011-AC63-335A311EAF9E}\\InprocServer32";
  char path[MAX_PATH] = "", model[32] = "";
  DWORD size = sizeof path;
  RegGetValueA(HKEY_CLASSES_ROOT, key, nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
  EXPECT_EQ(lstrcmpiA(path, (ProgramFolder() + "BootpServer.dll").c_str()), 0) << path;
  size = sizeof model;
  RegGetValueA(HKEY_CLASSES_ROOT, key, "ThreadingModel", RRF_RT_REG_SZ, nullptr, model, &size);
  EXPECT_STREQ(model, "Both");
}

}  // namespace
