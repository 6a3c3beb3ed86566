// Client notifications as clients meet them: the real server started by
// COM, this process (and a helper process) as its clients, their callback
// objects called across the process boundary, and our bootp server
// component inside the server answering resets. The changes are restores
// of an installation without a backup: once let go, their worker fails at
// once with "There is no backup to restore.".
#include "testing/SetChangeProcessSupport.h"  // winsock2.h before windows.h

#include <atomic>
#include <string>
#include <vector>

#include "notifications/BootpReset.h"

using testsupport::ChildProcess;
using testsupport::FakeClient;
using testsupport::ReadyEvent;
using testsupport::WaitFor;

namespace {

using Methods = std::vector<std::string>;
constexpr const char* kNoBackup = "There is no backup to restore.";

// The object whose marshalled reference a helper wrote into file.
ComPtr<IUnknown> UnmarshalFromFile(const std::string& file) {
  ComPtr<IUnknown> object;
  const std::string bytes = setfile_test::ReadFile(file);
  ComPtr<IStream> stream;
  if (bytes.empty() || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return object;
  stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  CoUnmarshalInterface(stream.get(), IID_IUnknown, object.put_void());
  return object;
}

// Asks the bootp server inside the server to reset, as a set change does;
// true when it answered within ms.
bool ResetAnsweredWithin(DWORD ms) {
  UniqueHandle reset(OpenEventA(EVENT_MODIFY_STATE, FALSE, "BOOTP RESET EVENT"));
  UniqueHandle finished(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "BOOTP RESET FINISHED"));
  try {
    return reset && finished && BootpResetHandshake(reset.get(), finished.get(), ms) == 0;
  } catch (char*) {
    return false;
  }
}

bool Changing(IControlCenterComponent* component) {
  unsigned char changing = 9;
  EXPECT_EQ(component->IsSetChanging(&changing), S_OK);
  return changing != 0;
}

using NotificationProcessTest = setchange_process::SetChangeProcessTest;

}  // namespace

TEST_F(NotificationProcessTest, ReleasingAnInstanceReleasesItsCallbacks) {
  FakeClient &observer = Client(), &subscriber = Client(), &bystander = Client();
  Observe(NewComponent(), bystander);
  IControlCenterComponent* leaving = NewComponent();
  Observe(leaving, observer);
  Subscribe(leaving, subscriber);
  ASSERT_GT(observer.References(), 1);
  ASSERT_GT(subscriber.References(), 1);
  components.pop_back();
  EXPECT_TRUE(WaitFor([&] { return observer.References() == 1; }, 5000));
  EXPECT_TRUE(WaitFor([&] { return subscriber.References() == 1; }, 5000));
  EXPECT_GT(bystander.References(), 1) << "another instance's registration went too";
}

// Each reset is answered within its time and what the bootp server says
// reaches the live subscribers, the withdrawn one and one whose process
// died with its registration still in the server holding nothing up.
TEST_F(NotificationProcessTest, OurBootpServerAnswersResetsAndItsInfoReachesSubscribers) {
  install->WriteFile("active\\active.ini", "[CONFIG]\n");
  FakeClient &subscriber = Client(), &withdrawn = Client();
  IControlCenterComponent* component = NewComponent();
  ComPtr<IBootpNotificationSource> source;
  ASSERT_EQ(component->QueryInterface(IID_IBootpNotificationSource, source.put_void()), S_OK);
  {
    // The callback object lives in a process of its own, which dies here
    // with its registration still in the server.
    std::string file = Root() + "\\callback.bin";
    ReadyEvent ready("callback");
    ChildProcess helper("callback \"" + file + "\" \"" + ready.Name() + "\"");
    ASSERT_TRUE(ready.Wait(20000)) << "the helper exited with " << helper.Wait(0);
    ComPtr<IUnknown> callback = UnmarshalFromFile(file);
    ASSERT_TRUE(callback);
    unsigned long cookie = 0;
    ASSERT_EQ(source->RegisterBootpNotification(callback.get(), &cookie), S_OK);
  }
  Subscribe(component, subscriber);
  unsigned long cookie = 0;
  ASSERT_EQ(source->RegisterBootpNotification(withdrawn.Unknown(), &cookie), S_OK);
  ASSERT_EQ(source->UnregisterBootpNotification(cookie), S_OK);

  const std::string expected = "Serving no boards from " + Root() + "\\active\\active.ini.";
  for (size_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    DWORD start = GetTickCount();
    ASSERT_TRUE(ResetAnsweredWithin(2000));
    ASSERT_TRUE(WaitFor([&] { return subscriber.Calls().size() >= round; }, 5000));
    EXPECT_LT(GetTickCount() - start, 3000u);
    const testsupport::Call info = subscriber.Calls().back();
    EXPECT_EQ(info.method, "BootpInfo");
    EXPECT_EQ(info.text, expected);
    EXPECT_EQ(info.size, expected.size() + 1);
  }
  EXPECT_TRUE(withdrawn.Calls().empty());
}

TEST_F(NotificationProcessTest, AnObserverThatNeverAnswersIsWaitedForOnlyTheTimeOut) {
  FakeClient &requester = Client(), &silent = Client();
  IControlCenterComponent* starter = NewComponent();
  ASSERT_EQ(starter->SetClientTimeout(1), S_OK);
  Observe(NewComponent(), silent);

  DWORD start = GetTickCount();
  ASSERT_EQ(starter->RestoreBackup(&requester), S_OK);
  ASSERT_TRUE(WaitForEnd(requester, "SetRestored", 10000));
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 900u);
  EXPECT_LT(waited, 5000u);
  EXPECT_EQ(requester.Methods(), (Methods{"ClientsNotResponding", "SetRestored"}));
  EXPECT_EQ(requester.Calls()[0].size, 1);
}

TEST_F(NotificationProcessTest, ARequesterMayStartTheNextChangeFromInsideTheEndOfItsLast) {
  // The server tells a requester the end of its change from its main
  // thread; a client that answers by starting the next change calls back
  // into the server while that thread waits for it.
  FakeClient &requester = Client(), &observer = Client();
  IControlCenterComponent* component = NewComponent();
  IControlCenterComponent* watcher = NewComponent();
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
  EXPECT_EQ(ErrorText(component), kNoBackup);
  // Asked twice, told twice, and the server still answers.
  EXPECT_TRUE(WaitFor([&] { return observer.Methods().size() == 4; }, 5000));
  EXPECT_FALSE(Changing(component));
}

TEST_F(NotificationProcessTest, ALateEndMessageDoesNotEndANewerChange) {
  // End messages of changes that were ended already (by the teardown, or a
  // duplicate) name a change number that is not the running one.
  FakeClient &requester = Client(), &observer = Client();
  IControlCenterComponent* starter = NewComponent();
  IControlCenterComponent* watcher = NewComponent();
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
  EXPECT_TRUE(Changing(starter));

  EXPECT_EQ(watcher->AllowSetChange(cookie), S_OK);
  ASSERT_TRUE(WaitForEnd(requester, "SetRestored", 10000));
  EXPECT_EQ(requester.Methods(), (Methods{"ChangeProceeding", "SetRestored"}));
  EXPECT_EQ(ErrorText(starter), kNoBackup);
}

TEST_F(NotificationProcessTest, TheRequesterOfAChangeThatCouldNotStartHearsNoLaterChange) {
  FakeClient &refused = Client(), &next = Client();
  IControlCenterComponent* component = NewComponent();
  {
    // Another object holding the name of the change's go-ahead event keeps
    // the server from making it: the change cannot start.
    UniqueHandle squatter(CreateMutexA(nullptr, FALSE, "CONFIG CHANGE EVENT"));
    ASSERT_TRUE(squatter);
    EXPECT_EQ(component->RestoreBackup(&refused), E_FAIL);
    EXPECT_NE(ErrorText(component), "(none)");
  }
  EXPECT_FALSE(Changing(component));

  ASSERT_EQ(component->RestoreBackup(&next), S_OK);
  ASSERT_TRUE(WaitForEnd(next, "SetRestored", 10000));
  EXPECT_EQ(next.Methods(), Methods{"SetRestored"});
  Sleep(200);
  EXPECT_TRUE(refused.Calls().empty()) << "the refused requester heard " << refused.Methods()[0];
}
