// The observers' permission protocol, the answer timer and the end of a
// change, in-process: the test thread plays the server's main thread (its
// window takes the timer and "clients allowed" messages), other threads
// play COM threads, and fake clients record what they hear.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "notifications/ClientNotifications.h"
#include "notifications/ServerMessages.h"
#include "testing/NotificationTestSupport.h"

using testsupport::FakeClient;
using testsupport::WaitFor;

namespace {

using Methods = std::vector<std::string>;

ClientNotifications* handling = nullptr;

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (handling && message == WM_CLIENTS_ALLOWED) return handling->OnClientsAllowed(wParam, lParam);
  if (handling && message == WM_START_CLIENT_TIMER)
    return handling->OnStartClientTimer(wParam, lParam);
  if (handling && message == WM_STOP_CLIENT_TIMER)
    return handling->OnStopClientTimer(wParam, lParam);
  if (handling && message >= WM_BOOTP_FATAL_ERROR && message <= WM_BOOTP_INFO)
    return handling->OnBootpMessage(message, wParam, lParam);
  return DefWindowProcA(window, message, wParam, lParam);
}

// Runs the code of a COM thread: a thread of its own, joined before return.
template <class F>
void OnOtherThread(F&& f) {
  std::thread(std::forward<F>(f)).join();
}

// The message part of what f raised, "(nothing raised)" when it raised nothing.
template <class F>
std::string RaisedMessage(F&& f) {
  try {
    f();
  } catch (char* text) {
    std::string raised = text;
    return raised.substr(0, raised.find(": Condition ("));
  }
  return "(nothing raised)";
}

class NotificationProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "NotificationProtocolTest";
    RegisterClassA(&windowClass);
    window = CreateWindowA("NotificationProtocolTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
    ASSERT_TRUE(window);
    ClientNotifications::ChangeState state;
    state.mainWindow = [this] { return window; };
    state.isBusy = [this] { return busy; };
    state.changeRunning = [this] { return claimed; };
    state.allowThreadToRun = [this] { return allowExists ? allow.get() : nullptr; };
    state.clientTimeoutSeconds = [this] { return timeoutSeconds; };
    notifications = std::make_unique<ClientNotifications>(state);
    handling = notifications.get();
  }

  void TearDown() override {
    Pump(50);
    handling = nullptr;
    notifications.reset();
    DestroyWindow(window);
  }

  // Handles this thread's messages (timer expiries included) for ms, or
  // until done holds; false when it never did.
  bool Pump(DWORD ms, const std::function<bool()>& done = [] { return false; }) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(5)) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      if (done()) return true;
    }
    return false;
  }

  bool WorkerLetGo() { return WaitForSingleObject(allow.get(), 0) == WAIT_OBJECT_0; }

  unsigned long Observe(FakeClient& client, unsigned long instance) {
    unsigned long cookie = 0;
    notifications->RegisterNotification(&client, 6, "watch", &cookie, instance);
    return cookie;
  }

  // What SelectSet does once it has claimed the busy state and started the
  // worker: the requester joins, the observers are asked.
  void StartChange(FakeClient& requester, unsigned long instance) {
    busy = claimed = allowExists = true;
    ResetEvent(allow.get());
    notifications->AddRequester(&requester, instance);
    notifications->AskObservers();
  }
  // The worker has ended and its end message is handled.
  void EndChange(bool restore, bool success, const std::function<void()>& store = nullptr) {
    busy = claimed = false;
    notifications->TellChangeEnded(restore, success, store);
  }

  // Outlive the notifications, whose garbage threads release them.
  FakeClient& Client() { return clients.Make(); }

  testsupport::FakeClients clients;
  HWND window = nullptr;
  UniqueHandle allow{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  // The worker runs / the change is claimed and its end not yet handled.
  bool busy = false, claimed = false, allowExists = false;
  unsigned long timeoutSeconds = 60;
  std::unique_ptr<ClientNotifications> notifications;
};

}  // namespace

// Bad arguments are refused and register nothing; a requester's
// notification takes a cookie too, never handed out; a bootp cookie is not
// an observer's; a bootp subscription without an interface is accepted.
TEST_F(NotificationProtocol, RegistrationsAndTheirCookies) {
  FakeClient &client = Client(), &requester = Client();
  unsigned long cookie = 0;
  EXPECT_THROW(notifications->RegisterNotification(nullptr, 1, "", &cookie, 0), char*);
  EXPECT_THROW(notifications->RegisterNotification(&client, 1, nullptr, &cookie, 0), char*);
  EXPECT_THROW(notifications->RegisterNotification(&client, 0, "", &cookie, 0), char*);
  EXPECT_THROW(notifications->RegisterNotification(&client, 1, "", nullptr, 0), char*);
  EXPECT_THROW(notifications->RegisterBootpNotification(client.Unknown(), nullptr, 0), char*);
  EXPECT_EQ(client.References(), 1);

  unsigned long first = Observe(client, 1);
  notifications->AddRequester(&requester, 1);
  EXPECT_EQ(Observe(client, 2), first + 2);
  notifications->UnregisterBootpNotification(first, 1);
  Sleep(100);
  EXPECT_EQ(notifications->registeredNotifications.Count(), 2u);
  notifications->RegisterBootpNotification(nullptr, &cookie, 0);
  EXPECT_EQ(notifications->bootpNotifications.Count(), 1u);
}

TEST_F(NotificationProtocol, AllowingNeedsARunningChangeAndOnesOwnCookie) {
  FakeClient &observer = Client(), &requester = Client();
  unsigned long cookie = Observe(observer, 1);
  EXPECT_EQ(RaisedMessage([&] { notifications->AllowSetChange(cookie, 1); }),
            "There is no configuration change in progress.");
  StartChange(requester, 2);
  EXPECT_EQ(RaisedMessage([&] { notifications->AllowSetChange(cookie, 2); }),
            "A client attempted to access another client's notification.");
  EXPECT_FALSE(WorkerLetGo());
  notifications->AllowSetChange(cookie, 1);
  EXPECT_TRUE(WorkerLetGo());
}

// The worker goes once no observer is left waiting: at once without
// observers, with the last answer, when the last unanswered observer leaves
// or its process is gone. The requester hears ChangeProceeding only when an
// observer was asked, from the main thread, as long as the change's end is
// not handled; the timer runs while answers are awaited.
TEST_F(NotificationProtocol, TheWorkerGoesOnceNoObserverIsLeftWaiting) {
  FakeClient &requester = Client();
  OnOtherThread([&] { StartChange(requester, 9); });
  EXPECT_TRUE(WorkerLetGo());
  Pump(100);
  EXPECT_FALSE(notifications->TimerRunning());
  EXPECT_TRUE(requester.Methods().empty()) << "no ChangeProceeding without observers";
  EndChange(false, true);

  FakeClient &first = Client(), &second = Client(), &leaving = Client(), &gone = Client();
  FakeClient &next = Client();
  unsigned long c1 = Observe(first, 1), c2 = Observe(second, 2), c3 = Observe(leaving, 3);
  gone.answer = RPC_E_DISCONNECTED;
  Observe(gone, 4);
  OnOtherThread([&] { StartChange(next, 9); });
  EXPECT_EQ(first.Methods(), Methods{"ConfigurationChanging"});
  EXPECT_TRUE(WaitFor([&] { return gone.References() == 1; }, 5000)) << "gone kept";
  // The timer starts on the main thread, when it gets to its messages.
  EXPECT_FALSE(notifications->TimerRunning());
  Pump(50);
  EXPECT_TRUE(notifications->TimerRunning());
  OnOtherThread([&] { notifications->AllowSetChange(c1, 1); });
  OnOtherThread([&] { notifications->AllowSetChange(c2, 2); });
  Pump(50);
  EXPECT_FALSE(WorkerLetGo());
  EXPECT_TRUE(next.Methods().empty());
  OnOtherThread([&] { notifications->UnregisterNotification(c3, 3); });
  EXPECT_TRUE(WorkerLetGo()) << "let go by the answering thread, not the main thread";
  // The worker runs and ends before the main thread gets to the message;
  // its end message is still queued behind it: the requester still hears.
  busy = false;
  Pump(50);
  EXPECT_FALSE(notifications->TimerRunning());
  EXPECT_EQ(next.Methods(), Methods{"ChangeProceeding"});
  // Once the end has been handled, a late message tells nobody.
  claimed = false;
  PostMessageA(window, WM_CLIENTS_ALLOWED, 0, 0);
  Pump(50);
  EXPECT_EQ(next.Methods(), Methods{"ChangeProceeding"});
}

TEST_F(NotificationProtocol, AnObserverThatNeverAnswersTimesOutAndAnAnswerStopsTheTimer) {
  timeoutSeconds = 1;
  FakeClient &silent = Client(), &requester = Client();
  Observe(silent, 1);
  DWORD start = GetTickCount();
  OnOtherThread([&] { StartChange(requester, 2); });
  ASSERT_TRUE(Pump(3000, [&] { return WorkerLetGo(); }));
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 900u);
  EXPECT_LT(waited, 2000u);
  EXPECT_EQ(requester.Methods(), Methods{"ClientsNotResponding"});
  EXPECT_EQ(requester.Calls().at(0).size, 1) << "an empty text";
  // Stopped for good: no second expiry.
  Pump(1300);
  EXPECT_EQ(requester.Calls().size(), 1u);
  EndChange(false, true);

  // The answer comes from a COM thread while the main thread is busy
  // elsewhere for longer than the time-out: the expiry that is due when the
  // main thread comes back must not act.
  notifications->MarkInstanceDead(1);
  FakeClient &observer = Client(), &next = Client();
  unsigned long cookie = Observe(observer, 3);
  StartChange(next, 4);
  EXPECT_TRUE(notifications->TimerRunning());
  OnOtherThread([&] { notifications->AllowSetChange(cookie, 3); });
  Sleep(1200);
  Pump(300);
  EXPECT_EQ(next.Methods(), Methods{"ChangeProceeding"});
  EXPECT_FALSE(notifications->TimerRunning());
}

// A change whose worker went before anyone let it go (it failed to start,
// or teardown cancelled it) leaves the timer with nothing to do: its first
// expiry stops it, so the next change's observers get their whole time-out.
TEST_F(NotificationProtocol, AnExpiryWithNoWorkerLeftStopsTheTimer) {
  timeoutSeconds = 1;
  FakeClient &silent = Client(), &requester = Client();
  Observe(silent, 1);
  StartChange(requester, 2);
  allowExists = false;
  Pump(1300);
  EXPECT_FALSE(notifications->TimerRunning());
  EndChange(false, false);

  Pump(500);
  FakeClient& next = Client();
  const DWORD start = GetTickCount();
  StartChange(next, 3);
  ASSERT_TRUE(Pump(3000, [&] { return WorkerLetGo(); }));
  EXPECT_GE(GetTickCount() - start, 900u) << "the next change's observers were cut short";
  EndChange(false, true);
}

// The requester hears first, then the observers; a failed restore's text is
// stored before the requester is told. The requester's role ends there, the
// observers stay, and their permission lasts one change.
TEST_F(NotificationProtocol, TheEndTellsRequesterThenObservers) {
  FakeClient &first = Client(), &second = Client(), &requester = Client();
  std::vector<std::string> order;
  int stored = 0;
  first.onCall = [&](const std::string& m) { order.push_back("observer " + m); };
  requester.onCall = [&](const std::string& m) {
    order.push_back("requester " + m + " stored " + std::to_string(stored));
  };
  unsigned long c1 = Observe(first, 1), c2 = Observe(second, 2);
  StartChange(requester, 3);
  notifications->AllowSetChange(c1, 1);
  notifications->AllowSetChange(c2, 2);
  Pump(50);
  EndChange(false, true, [&] { ++stored; });
  EXPECT_EQ(order, (Methods{"observer ConfigurationChanging", "requester ChangeProceeding stored 0",
                            "requester SetSelected stored 0", "observer ConfigurationChanged"}));
  EXPECT_EQ(stored, 0) << "a success stores no text";
  EXPECT_EQ(requester.Calls().at(1).size, 1) << "SetSelected(1)";
  EXPECT_TRUE(WaitFor([&] { return requester.References() == 1; }, 5000));
  EXPECT_EQ(first.References(), 2);

  // In the next change the first observer's earlier answer does not count.
  FakeClient& restorer = Client();
  StartChange(restorer, 3);
  notifications->AllowSetChange(c2, 2);
  EXPECT_FALSE(WorkerLetGo());
  notifications->AllowSetChange(c1, 1);
  EXPECT_TRUE(WorkerLetGo());
  Pump(50);
  order.clear();
  restorer.onCall = requester.onCall;
  EndChange(true, false, [&] { ++stored; });
  EXPECT_EQ(order, (Methods{"requester SetRestored stored 1", "observer ConfigurationChanged"}));
  EXPECT_EQ(restorer.Calls().back().size, 0) << "SetRestored(0)";
}

TEST_F(NotificationProtocol, ANewChangeFromInsideSetSelectedIsLeftForItsOwnEnd) {
  FakeClient &observer = Client(), &requester = Client(), &nextRequester = Client();
  unsigned long cookie = Observe(observer, 1);
  StartChange(requester, 2);
  notifications->AllowSetChange(cookie, 1);
  Pump(50);

  // The requester's client starts the next change as soon as it hears the
  // first one ended, and the observer allows it at once.
  requester.onCall = [&](const std::string& m) {
    if (m == "SetSelected") StartChange(nextRequester, 2);
  };
  observer.onCall = [&](const std::string& m) {
    if (m == "ConfigurationChanging") notifications->AllowSetChange(cookie, 1);
  };
  busy = claimed = false;
  notifications->TellChangeEnded(false, true, nullptr);
  EXPECT_TRUE(WorkerLetGo()) << "the observer's answer to the new change counted";
  Pump(50);
  EXPECT_EQ(nextRequester.Methods(), Methods{"ChangeProceeding"});
  // The new requester is still there for the end of its own change.
  EndChange(false, false);
  EXPECT_EQ(nextRequester.Methods(), (Methods{"ChangeProceeding", "SetSelected"}));
}

// An instance that goes takes its requester role and both kinds of
// registration with it.
TEST_F(NotificationProtocol, AnInstancesNotificationsAreWithdrawnTogether) {
  FakeClient &mine = Client(), &other = Client();
  Observe(mine, 4);
  Observe(other, 5);
  notifications->AddRequester(&mine, 4);
  unsigned long cookie = 0;
  notifications->RegisterBootpNotification(mine.Unknown(), &cookie, 4);
  EXPECT_EQ(mine.References(), 4);
  notifications->MarkInstanceDead(4);
  EXPECT_TRUE(WaitFor([&] { return mine.References() == 1; }, 5000));
  EXPECT_EQ(other.References(), 2);
}

// Posted by the event sink with a block the handler frees: errors of either
// kind reach BootpError, the rest BootpInfo, empty texts nobody. Each live
// subscriber gets its own copy once; one whose process is gone is
// withdrawn, one that merely fails a call stays.
TEST_F(NotificationProtocol, BootpMessagesReachEachLiveSubscriberOnce) {
  FakeClient &first = Client(), &failing = Client(), &gone = Client(), &withdrawn = Client();
  first.scribble = true;
  failing.answer = E_FAIL;
  gone.answer = RPC_E_DISCONNECTED;
  unsigned long cookie = 0;
  for (FakeClient* c : {&first, &failing, &gone, &withdrawn})
    notifications->RegisterBootpNotification(c->Unknown(), &cookie, 1);
  notifications->UnregisterBootpNotification(cookie, 1);
  notifications->RegisterBootpNotification(nullptr, &cookie, 1);
  auto post = [&](UINT message, const char* text) {
    char* block = static_cast<char*>(CoTaskMemAlloc(std::strlen(text) + 1));
    std::strcpy(block, text);
    PostMessageA(window, message, 0, reinterpret_cast<LPARAM>(block));
  };
  post(WM_BOOTP_INFO, "abc");
  post(WM_BOOTP_INFO, "");
  Pump(50);
  EXPECT_TRUE(WaitFor([&] { return gone.References() == 1; }, 5000));
  post(WM_BOOTP_FATAL_ERROR, "disk full");
  post(WM_BOOTP_NONFATAL_ERROR, "abc");
  Pump(50);
  for (FakeClient* c : {&first, &failing}) {
    EXPECT_EQ(c->Methods(), (Methods{"BootpInfo", "BootpError", "BootpError"}));
    EXPECT_EQ(c->Calls().at(0).size, 4);
    EXPECT_EQ(c->Calls().at(1).size, 10);
  }
  EXPECT_EQ(failing.Calls().at(0).text, "abc") << "the first subscriber wrote into a shared copy";
  EXPECT_EQ(gone.Calls().size(), 1u);
  EXPECT_TRUE(withdrawn.Calls().empty());
}
