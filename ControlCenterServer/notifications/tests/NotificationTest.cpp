// Notifications and their lists, in-process, with fake clients that count
// their references and record every call they get.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "testing/NotificationTestSupport.h"
#include "Win32/Notification.h"

using testsupport::Call;
using testsupport::FakeClient;
using testsupport::WaitFor;

namespace {

std::string Raised(void (*f)(FakeClient&), FakeClient& client) {
  try {
    f(client);
  } catch (char* text) {
    return text;
  }
  return "<nothing raised>";
}

// Until the garbage thread has dropped every reference but the test's.
bool ReleasedByServer(FakeClient& client) {
  return WaitFor([&] { return client.References() == 1; }, 5000);
}

}  // namespace

// ---- Notifications ----------------------------------------------------------

TEST(Notification, CookiesFollowEachOtherAcrossKinds) {
  FakeClient client;
  unsigned long first = 0, second = 0, third = 0;
  ControlCenterNotification a(client.Unknown(), "a", 0, &first);
  BootpNotification b(client.Unknown(), 0, &second);
  ControlCenterNotification c(nullptr, nullptr, 0, &third);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(third, first + 2);
  EXPECT_EQ(a.Cookie(), first);
  EXPECT_EQ(c.Cookie(), third);
  EXPECT_EQ(LastNotificationCookie(), third);
  // Without an out cookie the counter still moves.
  BootpNotification d(nullptr, 0, nullptr);
  EXPECT_EQ(d.Cookie(), third + 1);
}

TEST(Notification, HoldsTheCallbackInterfaceUntilDeleted) {
  FakeClient client;
  auto n = std::make_unique<ControlCenterNotification>(client.Unknown(), "console 7", 3, nullptr);
  EXPECT_EQ(client.References(), 2);
  EXPECT_EQ(n->Notify(), static_cast<IControlCenterNotify*>(&client));
  EXPECT_EQ(n->Description(), "console 7");
  EXPECT_EQ(n->InstanceID(), 3u);
  EXPECT_EQ(n->Allowed(), 0u);
  EXPECT_TRUE(n->IsLive());
  n->SetDead(1);
  EXPECT_FALSE(n->IsLive());
  EXPECT_EQ(client.References(), 2) << "marking dead must not release";
  n.reset();
  EXPECT_EQ(client.References(), 1);
}

TEST(Notification, AClientWithoutTheCallbackInterfaceIsRefused) {
  FakeClient client;
  client.answersControlCenter = false;
  client.answersBootp = false;
  const std::regex shape(
      R"(Condition \(SUCCEEDED\(rawInterface->QueryInterface\(iType,\(void \*\*\)&notify_iface\)\)\) )"
      R"(failed in file Notification\.cpp\(.*\) on line [0-9]+)");
  std::string text = Raised(
      [](FakeClient& c) { ControlCenterNotification n(c.Unknown(), "x", 0, nullptr); }, client);
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  text = Raised([](FakeClient& c) { BootpNotification n(c.Unknown(), 0, nullptr); }, client);
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
  EXPECT_EQ(client.References(), 1);
}

// ---- Lists and their garbage threads ----------------------------------------

TEST(NotificationList, WithdrawingReleasesTheInterfaceOnTheGarbageThread) {
  FakeClient client;
  NotificationList list;
  unsigned long cookie = 0;
  list.Append(std::make_unique<ControlCenterNotification>(client.Unknown(), "", 5, &cookie));
  ASSERT_EQ(client.References(), 2);

  EXPECT_EQ(list.MarkCookieDead(cookie, 5), 1u);
  ASSERT_TRUE(ReleasedByServer(client));
  EXPECT_NE(client.releasingThread.load(), GetCurrentThreadId());
  EXPECT_TRUE(WaitFor([&] { return list.Count() == 0; }, 5000));
}

TEST(NotificationList, AnotherInstancesCookieChangesNothing) {
  FakeClient client;
  NotificationList list;
  unsigned long cookie = 0;
  list.Append(std::make_unique<ControlCenterNotification>(client.Unknown(), "", 1, &cookie));
  EXPECT_EQ(list.MarkCookieDead(cookie, 2), 0u);
  EXPECT_EQ(list.MarkCookieDead(cookie + 1000, 1), 0u);
  Sleep(100);
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(client.References(), 2);
  unsigned live = 0;
  list.ForEachLive<ControlCenterNotification>([&](ControlCenterNotification&) { ++live; });
  EXPECT_EQ(live, 1u);
}

TEST(NotificationList, AnInstancesNotificationsGoTogether) {
  FakeClient mine, theirs;
  NotificationList list;
  list.Append(std::make_unique<ControlCenterNotification>(mine.Unknown(), "", 7, nullptr));
  list.Append(std::make_unique<ControlCenterNotification>(theirs.Unknown(), "", 8, nullptr));
  list.Append(std::make_unique<ControlCenterNotification>(mine.Unknown(), "", 7, nullptr));
  EXPECT_EQ(list.MarkInstanceDead(7), 2u);
  ASSERT_TRUE(ReleasedByServer(mine));
  EXPECT_EQ(theirs.References(), 2);
  EXPECT_TRUE(WaitFor([&] { return list.Count() == 1; }, 5000));
}

TEST(NotificationList, AWalkKeepsDeadEntriesUntilItEnds) {
  FakeClient client;
  NotificationList list;
  list.Append(std::make_unique<ControlCenterNotification>(client.Unknown(), "", 1, nullptr));
  list.ForEach<ControlCenterNotification>([&](ControlCenterNotification& n) {
    list.MarkDead(n);
    Sleep(200);
    // The garbage thread is awake but must wait for this walk: the entry
    // being looked at cannot go.
    EXPECT_EQ(client.References(), 2);
    EXPECT_TRUE(n.IsDead());
  });
  EXPECT_TRUE(ReleasedByServer(client));
}

TEST(NotificationList, AHangingReleaseDoesNotHoldUpTheList) {
  FakeClient hanging, other;
  hanging.holdReleases = true;
  NotificationList list;
  unsigned long cookie = 0;
  list.Append(std::make_unique<ControlCenterNotification>(hanging.Unknown(), "", 1, &cookie));
  list.MarkCookieDead(cookie, 1);
  ASSERT_EQ(WaitForSingleObject(hanging.releaseEntered.get(), 5000), WAIT_OBJECT_0);

  // While the garbage thread is stuck in the client's Release, appends and
  // walks go on.
  DWORD start = GetTickCount();
  list.Append(std::make_unique<ControlCenterNotification>(other.Unknown(), "", 2, nullptr));
  unsigned live = 0;
  list.ForEachLive<ControlCenterNotification>([&](ControlCenterNotification&) { ++live; });
  EXPECT_EQ(live, 1u);
  EXPECT_LT(GetTickCount() - start, 1000u);

  SetEvent(hanging.releaseMayEnd.get());
  EXPECT_TRUE(ReleasedByServer(hanging));
}

TEST(NotificationList, DestructionReleasesEveryEntry) {
  FakeClient a, b;
  {
    NotificationList list;
    list.Append(std::make_unique<ControlCenterNotification>(a.Unknown(), "", 1, nullptr));
    list.Append(std::make_unique<BootpNotification>(b.Unknown(), 2, nullptr));
    list.Append(std::make_unique<BootpNotification>(nullptr, 2, nullptr));
    EXPECT_EQ(list.Count(), 3u);
  }
  EXPECT_EQ(a.References(), 1);
  EXPECT_EQ(b.References(), 1);
}

// ---- Bootp messages -------------------------------------------------------------

TEST(BootpMessage, EachLiveSubscriberGetsItsOwnCopyOnce) {
  FakeClient s1, s2, s3, withdrawn;
  NotificationList list;
  for (FakeClient* c : {&s1, &s2, &s3})
    list.Append(std::make_unique<BootpNotification>(c->Unknown(), 1, nullptr));
  unsigned long cookie = 0;
  list.Append(std::make_unique<BootpNotification>(withdrawn.Unknown(), 1, &cookie));
  list.Append(std::make_unique<BootpNotification>(nullptr, 1, nullptr));
  list.MarkCookieDead(cookie, 1);

  s1.scribble = s2.scribble = s3.scribble = true;
  const char text[] = "abc";
  EXPECT_EQ(DeliverBootpMessage(list, false, text), 3u);
  for (FakeClient* c : {&s1, &s2, &s3}) {
    auto calls = c->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "BootpInfo");
    EXPECT_EQ(calls[0].size, 4);
    EXPECT_EQ(calls[0].text, "abc");
    EXPECT_NE(calls[0].block, text);
  }
  EXPECT_TRUE(withdrawn.Calls().empty());
  EXPECT_EQ(std::string(text), "abc");
}

TEST(BootpMessage, ErrorsGoToBootpErrorAndEmptyTextsNowhere) {
  FakeClient s;
  NotificationList list;
  list.Append(std::make_unique<BootpNotification>(s.Unknown(), 1, nullptr));
  EXPECT_EQ(DeliverBootpMessage(list, true, "disk full"), 1u);
  EXPECT_EQ(DeliverBootpMessage(list, true, ""), 0u);
  EXPECT_EQ(DeliverBootpMessage(list, false, nullptr), 0u);
  auto calls = s.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "BootpError");
  EXPECT_EQ(calls[0].size, 10);
  EXPECT_EQ(calls[0].text, "disk full");
}

TEST(BootpMessage, ASubscriberWhoseProcessIsGoneIsWithdrawn) {
  FakeClient gone, alive;
  gone.answer = RPC_E_DISCONNECTED;
  NotificationList list;
  list.Append(std::make_unique<BootpNotification>(gone.Unknown(), 1, nullptr));
  list.Append(std::make_unique<BootpNotification>(alive.Unknown(), 1, nullptr));
  EXPECT_EQ(DeliverBootpMessage(list, false, "one"), 2u);
  EXPECT_TRUE(ReleasedByServer(gone));
  EXPECT_EQ(DeliverBootpMessage(list, false, "two"), 1u);
  EXPECT_EQ(gone.Calls().size(), 1u);
  EXPECT_EQ(alive.Calls().size(), 2u);
  // A client that merely fails a call stays.
  alive.answer = E_FAIL;
  DeliverBootpMessage(list, false, "three");
  EXPECT_EQ(DeliverBootpMessage(list, false, "four"), 1u);
}
