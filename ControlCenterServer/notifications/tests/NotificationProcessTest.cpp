// Client notifications as clients meet them: the real server started by
// COM, this process (and a helper process) as its clients, their callback
// objects called across the process boundary, and our bootp server
// component inside the server answering resets.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <ControlCenter.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "DaoTestSupport.h"
#include "notifications/BootpReset.h"
#include "testing/ComponentTestSupport.h"
#include "testing/NotificationTestSupport.h"
#include "testing/ServerTestSupport.h"
#include "Win32/Holders.h"

using testsupport::Call;
using testsupport::ChildProcess;
using testsupport::FakeClient;
using testsupport::ReadyEvent;
using testsupport::WaitFor;

namespace {

using Methods = std::vector<std::string>;

// The bootp server component, which the first component instance creates.
void RegisterBootpComponent() {
  HMODULE dll = LoadLibraryA((BinDirectory() + "\\BootpServer.dll").c_str());
  ASSERT_NE(dll, nullptr) << "BootpServer.dll is not beside the test";
  using Register = HRESULT(WINAPI*)();
  auto registerDll = reinterpret_cast<Register>(GetProcAddress(dll, "DllRegisterServer"));
  ASSERT_NE(registerDll, nullptr);
  ASSERT_EQ(registerDll(), S_OK);
  FreeLibrary(dll);
}

// The object whose marshalled reference a helper wrote into file.
ComPtr<IUnknown> UnmarshalFromFile(const std::string& file) {
  ComPtr<IUnknown> object;
  UniqueFile in(std::fopen(file.c_str(), "rb"));
  if (!in) return object;
  std::vector<char> bytes;
  char buffer[512];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return object;
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  CoUnmarshalInterface(stream.get(), IID_IUnknown, object.put_void());
  return object;
}

std::string TakeErrorText(IControlCenterComponent* component) {
  unsigned short size = 0;
  char* text = nullptr;
  if (component->GetErrorText(&size, &text) != S_OK) return "(none)";
  std::string result = text ? text : "(null)";
  CoTaskMemFree(text);
  return result;
}

// "message: Condition (condition) failed in file file(stamp) on line N".
bool IsAssertion(const std::string& text, const std::string& condition, const char* message,
                 const char* file) {
  std::string head = message ? std::string(message) + ": " : std::string();
  head += "Condition (" + condition + ") failed in file " + file + "(";
  return text.compare(0, head.size(), head) == 0 &&
         std::regex_search(text, std::regex(R"(\) on line [0-9]+$)"));
}

class NotificationProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
    RegisterDaoServer();
    RegisterBootpComponent();
    daoSettings = new DaoServerSettingsScope(500);
    installation = new TestInstallation("notifications");
  }
  static void TearDownTestSuite() {
    CloseRunningServers();
    delete installation;
    installation = nullptr;
    WaitForNoDaoServer(10000);
    delete daoSettings;
    daoSettings = nullptr;
    CoUninitialize();
  }

  // Each test meets a server of its own: a killed client's objects may keep
  // an earlier one from ending.
  void SetUp() override {
    CloseRunningServers();
    installation->WriteDefaultSettings();
    // What the bootp server serves: an active configuration of no boards.
    installation->MakeDirectory("active");
    installation->WriteFile("active\\active.ini", "[CONFIG]\n");
  }
  void TearDown() override {
    components.clear();
    CloseRunningServers();
    // Only now can no server call or release a client of this test.
    clients.Clear();
  }

  // A client's callback object, kept until the test's server has ended.
  FakeClient& Client() { return clients.Make(); }

  IControlCenterComponent* NewComponent() {
    ComPtr<IControlCenterComponent> component;
    HRESULT hr = CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IControlCenterComponent, component.put_void());
    EXPECT_EQ(hr, S_OK);
    components.push_back(component);
    return component.get();
  }

  static ComPtr<IBootpNotificationSource> BootpSource(IControlCenterComponent* component) {
    ComPtr<IBootpNotificationSource> source;
    EXPECT_EQ(component->QueryInterface(IID_IBootpNotificationSource, source.put_void()), S_OK);
    return source;
  }

  static unsigned long Observe(IControlCenterComponent* component, FakeClient& client) {
    unsigned long cookie = 0;
    char description[] = "test";
    EXPECT_EQ(component->RegisterNotification(&client, sizeof description, description, &cookie),
              S_OK);
    return cookie;
  }

  static unsigned long Subscribe(IControlCenterComponent* component, FakeClient& client) {
    unsigned long cookie = 0;
    EXPECT_EQ(BootpSource(component)->RegisterBootpNotification(client.Unknown(), &cookie), S_OK);
    return cookie;
  }

  // Asks the bootp server inside the server to reset, as a set change does;
  // true when it answered within ms.
  static bool ResetAnsweredWithin(DWORD ms) {
    UniqueHandle reset(OpenEventA(EVENT_MODIFY_STATE, FALSE, "BOOTP RESET EVENT"));
    UniqueHandle finished(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                     "BOOTP RESET FINISHED"));
    if (!reset || !finished) return false;
    try {
      BootpResetHandshake(reset.get(), finished.get(), ms);
      return true;
    } catch (char*) {
      return false;
    }
  }

  static bool HeardInfo(FakeClient& client, size_t count, DWORD ms) {
    return WaitFor(
        [&] {
          size_t infos = 0;
          for (const auto& call : client.Calls())
            if (call.method == "BootpInfo") ++infos;
          return infos >= count;
        },
        ms);
  }

  static std::string ActiveIni() { return installation->Root() + "\\active\\active.ini"; }

  static DaoServerSettingsScope* daoSettings;
  static TestInstallation* installation;
  std::vector<ComPtr<IControlCenterComponent>> components;
  testsupport::FakeClients clients;
};

DaoServerSettingsScope* NotificationProcessTest::daoSettings = nullptr;
TestInstallation* NotificationProcessTest::installation = nullptr;

}  // namespace

TEST_F(NotificationProcessTest, RegistrationsGetConsecutiveCookies) {
  FakeClient &client = Client();
  IControlCenterComponent* first = NewComponent();
  ASSERT_TRUE(first);
  IControlCenterComponent* second = NewComponent();
  ASSERT_TRUE(second);
  unsigned long a = Observe(first, client);
  unsigned long b = Observe(first, client);
  EXPECT_EQ(b, a + 1);
  // One counter for the whole server, whichever instance or list.
  EXPECT_EQ(Subscribe(second, client), a + 2);
  EXPECT_EQ(Observe(second, client), a + 3);
  components.clear();
}

TEST_F(NotificationProcessTest, BadRegistrationsAreRefusedWithTheirReason) {
  IControlCenterComponent* component = NewComponent();
  ASSERT_TRUE(component);
  unsigned long cookie = 0;
  char description[] = "test";
  EXPECT_EQ(component->RegisterNotification(nullptr, 5, description, &cookie), E_FAIL);
  EXPECT_TRUE(IsAssertion(TakeErrorText(component), "notifyiface", nullptr,
                          "ClientNotifications.cpp"));
  // A bootp subscription without an interface is accepted; it is never
  // called.
  EXPECT_EQ(BootpSource(component)->RegisterBootpNotification(nullptr, &cookie), S_OK);
}

TEST_F(NotificationProcessTest, AllowingWithoutARunningChangeFails) {
  FakeClient &client = Client();
  IControlCenterComponent* component = NewComponent();
  ASSERT_TRUE(component);
  unsigned long cookie = Observe(component, client);
  EXPECT_EQ(component->AllowSetChange(cookie), E_FAIL);
  std::string text = TakeErrorText(component);
  EXPECT_TRUE(IsAssertion(text, "IsBusy()", "There is no configuration change in progress.",
                          "ClientNotifications.cpp"))
      << text;
  EXPECT_EQ(TakeErrorText(component), "(none)");
}

TEST_F(NotificationProcessTest, UnregisteringAnotherInstancesCookieChangesNothing) {
  FakeClient &client = Client();
  IControlCenterComponent* mine = NewComponent();
  ASSERT_TRUE(mine);
  IControlCenterComponent* other = NewComponent();
  ASSERT_TRUE(other);
  unsigned long cookie = Observe(mine, client);
  LONG registered = client.References();
  ASSERT_GT(registered, 1) << "the server holds no reference to the callback";

  EXPECT_EQ(other->UnregisterNotification(cookie), S_OK);
  Sleep(500);
  EXPECT_EQ(client.References(), registered);

  EXPECT_EQ(mine->UnregisterNotification(cookie), S_OK);
  EXPECT_TRUE(WaitFor([&] { return client.References() == 1; }, 5000))
      << "still " << client.References() << " references";
}

TEST_F(NotificationProcessTest, ReleasingAnInstanceReleasesItsCallbacks) {
  FakeClient &observer = Client(), &subscriber = Client(), &bystander = Client();
  IControlCenterComponent* keeper = NewComponent();
  ASSERT_TRUE(keeper);
  Observe(keeper, bystander);
  {
    ComPtr<IControlCenterComponent> leaving;
    ASSERT_EQ(CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IControlCenterComponent, leaving.put_void()),
              S_OK);
    Observe(leaving.get(), observer);
    Subscribe(leaving.get(), subscriber);
    ASSERT_GT(observer.References(), 1);
    ASSERT_GT(subscriber.References(), 1);
  }
  EXPECT_TRUE(WaitFor([&] { return observer.References() == 1; }, 5000));
  EXPECT_TRUE(WaitFor([&] { return subscriber.References() == 1; }, 5000));
  EXPECT_GT(bystander.References(), 1) << "another instance's registration went too";
}

TEST_F(NotificationProcessTest, OurBootpServerAnswersAResetAndItsInfoReachesSubscribers) {
  FakeClient &subscriber = Client(), &withdrawn = Client();
  IControlCenterComponent* component = NewComponent();
  ASSERT_TRUE(component);
  Subscribe(component, subscriber);
  unsigned long cookie = Subscribe(component, withdrawn);
  EXPECT_EQ(BootpSource(component)->UnregisterBootpNotification(cookie), S_OK);

  ASSERT_TRUE(ResetAnsweredWithin(1000)) << "the bootp server did not answer within a second";
  ASSERT_TRUE(HeardInfo(subscriber, 1, 5000));
  Call info;
  for (const auto& call : subscriber.Calls())
    if (call.method == "BootpInfo") info = call;
  std::string expected = "Serving no boards from " + ActiveIni() + ".";
  EXPECT_EQ(info.text, expected);
  EXPECT_EQ(info.size, expected.size() + 1);
  EXPECT_TRUE(withdrawn.Calls().empty());
}

TEST_F(NotificationProcessTest, AClientWhoseProcessDiedDoesNotHoldUpLaterMessages) {
  FakeClient &subscriber = Client();
  IControlCenterComponent* component = NewComponent();
  ASSERT_TRUE(component);
  {
    // The callback object lives in a process of its own, which dies with
    // its registrations still in the server. (The test holds the component:
    // a dead client's own component instance is never released here, and
    // its server would never end.)
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    std::string file = std::string(temp) + "korvane-callback-" +
                       std::to_string(GetCurrentProcessId()) + ".bin";
    ReadyEvent ready("callback");
    ChildProcess helper("callback \"" + file + "\" \"" + ready.Name() + "\"");
    ASSERT_TRUE(helper);
    ASSERT_TRUE(ready.Wait(20000)) << "the helper exited with " << helper.Wait(0);
    ComPtr<IUnknown> callback = UnmarshalFromFile(file);
    DeleteFileA(file.c_str());
    ASSERT_TRUE(callback);
    unsigned long cookie = 0;
    ASSERT_EQ(BootpSource(component)->RegisterBootpNotification(callback.get(), &cookie), S_OK);
  }
  Subscribe(component, subscriber);
  for (size_t round = 1; round <= 3; ++round) {
    DWORD start = GetTickCount();
    ASSERT_TRUE(ResetAnsweredWithin(2000));
    ASSERT_TRUE(HeardInfo(subscriber, round, 5000)) << "round " << round;
    EXPECT_LT(GetTickCount() - start, 3000u) << "round " << round;
  }
}

// ---- A change as its clients see it ------------------------------------------
// A restore: the test installation has no backup, so once its worker is let
// go it fails at once with "There is no backup to restore.".

TEST_F(NotificationProcessTest, ObserversAllowAChangeAndHearItsEnd) {
  FakeClient &requester = Client(), &first = Client(), &second = Client();
  IControlCenterComponent* starter = NewComponent();
  IControlCenterComponent* one = NewComponent();
  IControlCenterComponent* two = NewComponent();
  ASSERT_TRUE(starter && one && two);
  unsigned long c1 = Observe(one, first);
  unsigned long c2 = Observe(two, second);

  ASSERT_EQ(starter->RestoreBackup(&requester), S_OK);
  EXPECT_EQ(first.Methods(), Methods{"ConfigurationChanging"});
  EXPECT_EQ(second.Methods(), Methods{"ConfigurationChanging"});
  EXPECT_EQ(one->AllowSetChange(c1), S_OK);
  Sleep(300);
  EXPECT_TRUE(requester.Calls().empty()) << "went ahead before every observer allowed it";

  EXPECT_EQ(two->AllowSetChange(c2), S_OK);
  ASSERT_TRUE(WaitFor([&] { return requester.Calls().size() >= 2; }, 10000));
  auto calls = requester.Calls();
  EXPECT_EQ(requester.Methods(), (Methods{"ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(calls[1].size, 0) << "SetRestored(0): there was nothing to restore";
  EXPECT_EQ(TakeErrorText(starter), "There is no backup to restore.");
  Methods expected{"ConfigurationChanging", "ConfigurationChanged"};
  EXPECT_TRUE(WaitFor([&] { return second.Methods() == expected; }, 5000));
  EXPECT_EQ(first.Methods(), expected);
}

TEST_F(NotificationProcessTest, AnObserverThatNeverAnswersIsWaitedForOnlyTheTimeOut) {
  FakeClient &requester = Client(), &silent = Client();
  IControlCenterComponent* starter = NewComponent();
  IControlCenterComponent* observer = NewComponent();
  ASSERT_TRUE(starter && observer);
  ASSERT_EQ(starter->SetClientTimeout(1), S_OK);
  Observe(observer, silent);

  DWORD start = GetTickCount();
  ASSERT_EQ(starter->RestoreBackup(&requester), S_OK);
  ASSERT_TRUE(WaitFor([&] { return requester.Calls().size() >= 2; }, 10000));
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 900u);
  EXPECT_LT(waited, 5000u);
  auto calls = requester.Calls();
  EXPECT_EQ(requester.Methods(), (Methods{"ClientsNotResponding", "SetRestored"}));
  EXPECT_EQ(calls[0].size, 1);
  EXPECT_EQ(calls[0].text, "");
}

TEST_F(NotificationProcessTest, ARequesterMayStartTheNextChangeFromInsideTheEndOfItsLast) {
  // The server tells a requester the end of its change from its main
  // thread; a client that answers by starting the next change calls back
  // into the server while that thread waits for it.
  FakeClient &requester = Client(), &observer = Client();
  IControlCenterComponent* component = NewComponent();
  IControlCenterComponent* watcher = NewComponent();
  ASSERT_TRUE(component && watcher);
  unsigned long cookie = Observe(watcher, observer);
  observer.onCall = [&](const std::string& method) {
    if (method == "ConfigurationChanging") watcher->AllowSetChange(cookie);
  };
  std::atomic<int> ends{0};
  std::atomic<HRESULT> nested{E_PENDING};
  requester.onCall = [&](const std::string& method) {
    if (method == "SetRestored" && ends++ == 0) nested = component->RestoreBackup(&requester);
  };

  ASSERT_EQ(component->RestoreBackup(&requester), S_OK);
  ASSERT_TRUE(WaitFor([&] { return ends == 2; }, 15000)) << "the second change never ended";
  EXPECT_EQ(nested.load(), S_OK);
  EXPECT_EQ(requester.Methods(),
            (Methods{"ChangeProceeding", "SetRestored", "ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(TakeErrorText(component), "There is no backup to restore.");
  // Asked twice, told twice, and the server still answers.
  EXPECT_TRUE(WaitFor([&] { return observer.Methods().size() == 4; }, 5000));
  unsigned char changing = 1;
  EXPECT_EQ(component->IsSetChanging(&changing), S_OK);
  EXPECT_EQ(changing, 0);
}

TEST_F(NotificationProcessTest, ALateEndMessageDoesNotEndANewerChange) {
  // End messages of changes that were ended already (by the teardown, or a
  // duplicate) name a change number that is not the running one.
  FakeClient &requester = Client(), &observer = Client();
  IControlCenterComponent* starter = NewComponent();
  IControlCenterComponent* watcher = NewComponent();
  ASSERT_TRUE(starter && watcher);
  ASSERT_EQ(starter->SetClientTimeout(60), S_OK);
  unsigned long cookie = Observe(watcher, observer);
  ASSERT_EQ(starter->RestoreBackup(&requester), S_OK);
  ASSERT_TRUE(WaitFor([&] { return !observer.Calls().empty(); }, 10000));

  HWND window = FindServerWindow();
  ASSERT_NE(window, nullptr);
  constexpr UINT kRestoreDone = WM_APP + 2;
  for (LPARAM stale : {LPARAM(0), LPARAM(0x7FFF0000)})
    ASSERT_TRUE(PostMessageA(window, kRestoreDone, 1, stale));
  Sleep(500);
  EXPECT_TRUE(requester.Calls().empty()) << "a stale end message ended the running change";
  unsigned char changing = 0;
  EXPECT_EQ(starter->IsSetChanging(&changing), S_OK);
  EXPECT_EQ(changing, 1);

  EXPECT_EQ(watcher->AllowSetChange(cookie), S_OK);
  ASSERT_TRUE(WaitFor([&] { return requester.Calls().size() >= 2; }, 10000));
  EXPECT_EQ(requester.Methods(), (Methods{"ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(TakeErrorText(starter), "There is no backup to restore.");
}

TEST_F(NotificationProcessTest, TheRequesterOfAChangeThatCouldNotStartHearsNoLaterChange) {
  FakeClient &refused = Client(), &next = Client();
  IControlCenterComponent* component = NewComponent();
  ASSERT_TRUE(component);
  {
    // Another object holding the name of the change's go-ahead event keeps
    // the server from making it: the change cannot start.
    UniqueHandle squatter(CreateMutexA(nullptr, FALSE, "CONFIG CHANGE EVENT"));
    ASSERT_TRUE(squatter);
    EXPECT_EQ(component->RestoreBackup(&refused), E_FAIL);
    EXPECT_NE(TakeErrorText(component), "(none)");
  }
  unsigned char changing = 1;
  EXPECT_EQ(component->IsSetChanging(&changing), S_OK);
  EXPECT_EQ(changing, 0);

  ASSERT_EQ(component->RestoreBackup(&next), S_OK);
  ASSERT_TRUE(WaitFor([&] { return next.Calls().size() >= 1; }, 10000));
  EXPECT_EQ(next.Methods(), Methods{"SetRestored"});
  Sleep(200);
  EXPECT_TRUE(refused.Calls().empty()) << "the refused requester heard " << refused.Methods()[0];
}
