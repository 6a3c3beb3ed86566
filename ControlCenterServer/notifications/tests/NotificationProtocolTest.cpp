// The observers' permission protocol, the answer timer and the end of a
// change, in-process: the test thread plays the server's main thread (its
// window takes the timer and "clients allowed" messages), other threads
// play COM threads, and fake clients record what they hear.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <regex>
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
  if (handling) {
    switch (message) {
      case WM_CLIENTS_ALLOWED:
        return handling->OnClientsAllowed(wParam, lParam);
      case WM_START_CLIENT_TIMER:
        return handling->OnStartClientTimer(wParam, lParam);
      case WM_STOP_CLIENT_TIMER:
        return handling->OnStopClientTimer(wParam, lParam);
      case WM_BOOTP_FATAL_ERROR:
      case WM_BOOTP_NONFATAL_ERROR:
      case WM_BOOTP_INFO:
        return handling->OnBootpMessage(message, wParam, lParam);
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Runs the code of a COM thread: a thread of its own, joined before return.
template <class F>
void OnOtherThread(F&& f) {
  std::thread(std::forward<F>(f)).join();
}

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

void ExpectAssertion(const std::string& text, const std::string& condition,
                     const char* message = nullptr) {
  std::string head = message ? std::string(message) + ": " : std::string();
  head += "Condition (" + condition + ") failed in file ClientNotifications.cpp(";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\) on line [0-9]+$)"))) << text;
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
    allow.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
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

  // Handles this thread's messages (timer expiries included) for ms.
  void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    do {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      Sleep(5);
    } while (GetTickCount() - start < ms);
  }

  template <class Condition>
  bool PumpUntil(Condition condition, DWORD ms) {
    DWORD start = GetTickCount();
    while (!condition()) {
      if (GetTickCount() - start > ms) return false;
      Pump(10);
    }
    return true;
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
    busy = true;
    claimed = true;
    allowExists = true;
    ResetEvent(allow.get());
    notifications->AddRequester(&requester, instance);
    notifications->AskObservers();
  }

  // Outlive the notifications, whose garbage threads release them.
  FakeClient& Client() {
    clients.push_back(std::make_unique<FakeClient>());
    return *clients.back();
  }

  std::vector<std::unique_ptr<FakeClient>> clients;
  HWND window = nullptr;
  UniqueHandle allow;
  // The worker runs / the change is claimed and its end not yet handled.
  bool busy = false;
  bool claimed = false;
  bool allowExists = false;
  unsigned long timeoutSeconds = 60;
  std::unique_ptr<ClientNotifications> notifications;
};

}  // namespace

TEST_F(NotificationProtocol, RegistrationsGetConsecutiveCookies) {
  FakeClient &a = Client(), &b = Client(), &requester = Client();
  unsigned long first = Observe(a, 1);
  unsigned long second = Observe(b, 1);
  EXPECT_EQ(second, first + 1);
  // A requester's notification takes a cookie too, never handed out.
  notifications->AddRequester(&requester, 1);
  EXPECT_EQ(Observe(a, 2), first + 3);
}

TEST_F(NotificationProtocol, RegistrationArgumentsAreChecked) {
  FakeClient &client = Client();
  unsigned long cookie = 0;
  ExpectAssertion(Raised([&] { notifications->RegisterNotification(nullptr, 1, "", &cookie, 0); }),
                  "notifyiface");
  ExpectAssertion(
      Raised([&] { notifications->RegisterNotification(&client, 1, nullptr, &cookie, 0); }),
      "description");
  ExpectAssertion(Raised([&] { notifications->RegisterNotification(&client, 0, "", &cookie, 0); }),
                  "descsize");
  ExpectAssertion(Raised([&] { notifications->RegisterNotification(&client, 1, "", nullptr, 0); }),
                  "cookie");
  ExpectAssertion(Raised([&] { notifications->RegisterBootpNotification(client.Unknown(), nullptr, 0); }),
                  "cookie");
  EXPECT_EQ(notifications->registeredNotifications.Count(), 0u);
  EXPECT_EQ(client.References(), 1);
  // A bootp subscription without an interface is accepted and never called.
  notifications->RegisterBootpNotification(nullptr, &cookie, 0);
  EXPECT_EQ(notifications->bootpNotifications.Count(), 1u);
}

TEST_F(NotificationProtocol, AllowingNeedsARunningChangeAndOnesOwnCookie) {
  FakeClient &observer = Client(), &requester = Client();
  unsigned long cookie = Observe(observer, 1);
  ExpectAssertion(Raised([&] { notifications->AllowSetChange(cookie, 1); }), "IsBusy()",
                  "There is no configuration change in progress.");

  StartChange(requester, 2);
  ExpectAssertion(Raised([&] { notifications->AllowSetChange(cookie, 2); }),
                  "ccn.InstanceID() == instanceID",
                  "A client attempted to access another client's notification.");
  EXPECT_FALSE(WorkerLetGo());
  notifications->AllowSetChange(cookie, 1);
  EXPECT_TRUE(WorkerLetGo());
}

TEST_F(NotificationProtocol, UnregisteringAnotherInstancesCookieChangesNothing) {
  FakeClient &observer = Client();
  unsigned long cookie = Observe(observer, 1);
  notifications->UnregisterNotification(cookie, 2);
  notifications->UnregisterBootpNotification(cookie, 1);
  Sleep(100);
  EXPECT_EQ(notifications->registeredNotifications.Count(), 1u);
  EXPECT_EQ(observer.References(), 2);
  notifications->UnregisterNotification(cookie, 1);
  EXPECT_TRUE(WaitFor([&] { return observer.References() == 1; }, 5000));
}

TEST_F(NotificationProtocol, WithoutObserversTheWorkerGoesAtOnce) {
  FakeClient &requester = Client();
  OnOtherThread([&] { StartChange(requester, 1); });
  EXPECT_TRUE(WorkerLetGo());
  Pump(100);
  EXPECT_FALSE(notifications->TimerRunning());
  EXPECT_TRUE(requester.Calls().empty()) << "no ChangeProceeding without observers";
}

TEST_F(NotificationProtocol, TheLastOfTwoAnswersLetsTheWorkerGo) {
  FakeClient &first = Client(), &second = Client(), &requester = Client();
  unsigned long c1 = Observe(first, 1);
  unsigned long c2 = Observe(second, 2);
  OnOtherThread([&] { StartChange(requester, 3); });
  EXPECT_EQ(first.Methods(), Methods{"ConfigurationChanging"});
  EXPECT_EQ(second.Methods(), Methods{"ConfigurationChanging"});
  // The timer starts on the main thread, when it gets to its messages.
  EXPECT_FALSE(notifications->TimerRunning());
  Pump(50);
  EXPECT_TRUE(notifications->TimerRunning());

  OnOtherThread([&] { notifications->AllowSetChange(c1, 1); });
  Pump(50);
  EXPECT_FALSE(WorkerLetGo());
  EXPECT_TRUE(notifications->TimerRunning());
  EXPECT_TRUE(requester.Calls().empty());

  OnOtherThread([&] { notifications->AllowSetChange(c2, 2); });
  EXPECT_TRUE(WorkerLetGo()) << "let go by the answering thread, not the main thread";
  Pump(50);
  EXPECT_FALSE(notifications->TimerRunning());
  EXPECT_EQ(requester.Methods(), Methods{"ChangeProceeding"});
}

TEST_F(NotificationProtocol, ARequesterHearsTheChangeProceedEvenWhenItsWorkerIsAlreadyDone) {
  FakeClient &observer = Client(), &requester = Client();
  unsigned long cookie = Observe(observer, 1);
  StartChange(requester, 2);
  notifications->AllowSetChange(cookie, 1);
  // The worker ran and ended before the main thread got to the message;
  // its end message is still queued behind it.
  busy = false;
  Pump(50);
  EXPECT_EQ(requester.Methods(), Methods{"ChangeProceeding"});
  // Once the end has been handled, a late message tells nobody.
  claimed = false;
  PostMessageA(window, WM_CLIENTS_ALLOWED, 0, 0);
  Pump(50);
  EXPECT_EQ(requester.Methods(), Methods{"ChangeProceeding"});
}

TEST_F(NotificationProtocol, WithdrawingTheLastUnansweredObserverLetsTheWorkerGo) {
  FakeClient &answering = Client(), &leaving = Client(), &requester = Client();
  unsigned long c1 = Observe(answering, 1);
  unsigned long c2 = Observe(leaving, 2);
  StartChange(requester, 3);
  notifications->AllowSetChange(c1, 1);
  EXPECT_FALSE(WorkerLetGo());
  notifications->UnregisterNotification(c2, 2);
  EXPECT_TRUE(WorkerLetGo());
  Pump(50);
  EXPECT_EQ(requester.Methods(), Methods{"ChangeProceeding"});
}

TEST_F(NotificationProtocol, AnObserverThatNeverAnswersTimesOut) {
  timeoutSeconds = 1;
  FakeClient &silent = Client(), &requester = Client();
  Observe(silent, 1);
  DWORD start = GetTickCount();
  OnOtherThread([&] { StartChange(requester, 2); });
  ASSERT_TRUE(PumpUntil([&] { return WorkerLetGo(); }, 3000));
  DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 900u);
  EXPECT_LT(waited, 2000u);
  auto calls = requester.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "ClientsNotResponding");
  EXPECT_EQ(calls[0].size, 1);
  EXPECT_EQ(calls[0].text, "");
  EXPECT_FALSE(notifications->TimerRunning());
  // Stopped for good: no second expiry.
  Pump(1300);
  EXPECT_EQ(requester.Calls().size(), 1u);
}

TEST_F(NotificationProtocol, AStoppedTimerDoesNotExpireLater) {
  timeoutSeconds = 1;
  FakeClient &observer = Client(), &requester = Client();
  unsigned long cookie = Observe(observer, 1);
  StartChange(requester, 2);
  EXPECT_TRUE(notifications->TimerRunning());
  // The answer comes from a COM thread while the main thread is busy
  // elsewhere for longer than the time-out: the expiry that is due when the
  // main thread comes back must not act.
  OnOtherThread([&] { notifications->AllowSetChange(cookie, 1); });
  Sleep(1200);
  Pump(300);
  EXPECT_EQ(requester.Methods(), Methods{"ChangeProceeding"});
  EXPECT_FALSE(notifications->TimerRunning());
}

TEST_F(NotificationProtocol, AnObserverWhoseProcessIsGoneIsNotWaitedFor) {
  FakeClient &gone = Client(), &requester = Client();
  gone.answer = RPC_E_DISCONNECTED;
  Observe(gone, 1);
  StartChange(requester, 2);
  EXPECT_TRUE(WorkerLetGo());
  EXPECT_TRUE(WaitFor([&] { return gone.References() == 1; }, 5000));
}

TEST_F(NotificationProtocol, TheEndOfAChangeTellsRequesterThenObservers) {
  FakeClient &observer = Client(), &requester = Client();
  std::vector<std::string> order;
  observer.onCall = [&](const std::string& m) { order.push_back("observer " + m); };
  requester.onCall = [&](const std::string& m) { order.push_back("requester " + m); };
  unsigned long cookie = Observe(observer, 1);
  StartChange(requester, 2);
  notifications->AllowSetChange(cookie, 1);
  Pump(50);
  busy = claimed = false;
  int stored = 0;
  notifications->TellChangeEnded(false, true, [&] { ++stored; });
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(order, (Methods{"observer ConfigurationChanging", "requester ChangeProceeding",
                            "requester SetSelected", "observer ConfigurationChanged"}));
  EXPECT_EQ(requester.Calls().at(1).size, 1) << "SetSelected(1)";
  // The requester's role has ended; the observer stays.
  EXPECT_TRUE(WaitFor([&] { return requester.References() == 1; }, 5000));
  EXPECT_EQ(observer.References(), 2);
}

TEST_F(NotificationProtocol, AFailedRestoreStoresTheTextBeforeTellingTheRequester) {
  FakeClient &requester = Client();
  int stored = 0;
  int storedWhenTold = -1;
  requester.onCall = [&](const std::string& m) {
    if (m == "SetRestored") storedWhenTold = stored;
  };
  StartChange(requester, 1);
  busy = claimed = false;
  notifications->TellChangeEnded(true, false, [&] { ++stored; });
  EXPECT_EQ(stored, 1);
  EXPECT_EQ(storedWhenTold, 1);
  auto calls = requester.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "SetRestored");
  EXPECT_EQ(calls[0].size, 0) << "SetRestored(0)";
}

TEST_F(NotificationProtocol, AnObserversPermissionLastsOneChange) {
  FakeClient &first = Client(), &second = Client(), &requester = Client(), &next = Client();
  unsigned long c1 = Observe(first, 1);
  unsigned long c2 = Observe(second, 2);
  StartChange(requester, 3);
  notifications->AllowSetChange(c1, 1);
  busy = claimed = false;
  notifications->TellChangeEnded(false, true, nullptr);

  // In the next change the first observer's earlier answer does not count:
  // with only the second one answering, the worker still waits.
  StartChange(next, 3);
  notifications->AllowSetChange(c2, 2);
  EXPECT_FALSE(WorkerLetGo());
  notifications->AllowSetChange(c1, 1);
  EXPECT_TRUE(WorkerLetGo());
}

TEST_F(NotificationProtocol, ANewChangeFromInsideSetSelectedIsLeftForItsOwnEnd) {
  FakeClient &observer = Client(), &requester = Client(), &nextRequester = Client();
  unsigned long cookie = Observe(observer, 1);
  StartChange(requester, 2);
  notifications->AllowSetChange(cookie, 1);
  Pump(50);
  busy = claimed = false;

  // The requester's client starts the next change as soon as it hears the
  // first one ended, and the observer allows it at once.
  requester.onCall = [&](const std::string& m) {
    if (m != "SetSelected") return;
    StartChange(nextRequester, 2);
  };
  observer.onCall = [&](const std::string& m) {
    if (m == "ConfigurationChanging") notifications->AllowSetChange(cookie, 1);
  };
  notifications->TellChangeEnded(false, true, nullptr);
  EXPECT_TRUE(WorkerLetGo()) << "the observer's answer to the new change counted";
  Pump(50);
  EXPECT_EQ(nextRequester.Methods(), Methods{"ChangeProceeding"});

  // The new requester is still there for the end of its own change.
  busy = claimed = false;
  notifications->TellChangeEnded(false, false, nullptr);
  EXPECT_EQ(nextRequester.Methods(), (Methods{"ChangeProceeding", "SetSelected"}));
}

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

TEST_F(NotificationProtocol, BootpMessagesReachSubscribersOnTheMainThread) {
  FakeClient &subscriber = Client();
  unsigned long cookie = 0;
  notifications->RegisterBootpNotification(subscriber.Unknown(), &cookie, 1);
  for (UINT message : {WM_BOOTP_FATAL_ERROR, WM_BOOTP_NONFATAL_ERROR, WM_BOOTP_INFO}) {
    char* text = static_cast<char*>(CoTaskMemAlloc(4));
    std::strcpy(text, "abc");
    PostMessageA(window, message, 0, reinterpret_cast<LPARAM>(text));
  }
  char* empty = static_cast<char*>(CoTaskMemAlloc(1));
  *empty = '\0';
  PostMessageA(window, WM_BOOTP_INFO, 0, reinterpret_cast<LPARAM>(empty));
  Pump(50);
  EXPECT_EQ(subscriber.Methods(), (Methods{"BootpError", "BootpError", "BootpInfo"}));
  for (const auto& call : subscriber.Calls()) {
    EXPECT_EQ(call.size, 4);
    EXPECT_EQ(call.text, "abc");
  }
}
