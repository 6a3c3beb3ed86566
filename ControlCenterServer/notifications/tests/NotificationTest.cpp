// Notifications and their lists, in-process, with fake clients that count
// their references and record every call they get.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "testing/NotificationTestSupport.h"
#include "Win32/Notification.h"

using testsupport::FakeClient;
using testsupport::WaitFor;

namespace {

// Until the garbage thread has dropped every reference but the test's.
bool ReleasedByServer(FakeClient& client) {
  return WaitFor([&] { return client.References() == 1; }, 5000);
}

std::unique_ptr<ControlCenterNotification> Observer(FakeClient* client, unsigned long instance,
                                                    unsigned long* cookie = nullptr) {
  return std::make_unique<ControlCenterNotification>(client ? client->Unknown() : nullptr, "",
                                                     instance, cookie);
}

}  // namespace

// One counter for every kind, moving with or without an out cookie.
TEST(Notification, CookiesFollowEachOtherAcrossKinds) {
  FakeClient client;
  unsigned long first = 0, second = 0;
  ControlCenterNotification a(client.Unknown(), "a", 0, &first);
  BootpNotification b(client.Unknown(), 0, &second);
  BootpNotification c(nullptr, 0, nullptr);
  EXPECT_EQ(second, first + 1);
  EXPECT_EQ(c.Cookie(), first + 2);
}

TEST(Notification, HoldsTheCallbackInterfaceUntilDeletedAndRefusesAClientWithoutIt) {
  FakeClient client;
  auto n = Observer(&client, 3);
  EXPECT_EQ(client.References(), 2);
  EXPECT_EQ(n->Notify(), static_cast<IControlCenterNotify*>(&client));
  n->SetDead(1);
  EXPECT_FALSE(n->IsLive());
  EXPECT_EQ(client.References(), 2) << "marking dead must not release";
  n.reset();
  EXPECT_EQ(client.References(), 1);

  client.answersControlCenter = client.answersBootp = false;
  EXPECT_THROW(Observer(&client, 0), char*);
  EXPECT_THROW(BootpNotification(client.Unknown(), 0, nullptr), char*);
  EXPECT_EQ(client.References(), 1);
}

// A withdrawal names the caller's instance: another instance's cookie or an
// unknown one changes nothing. What goes is released on the garbage thread.
TEST(NotificationList, WithdrawalsReleaseOnTheGarbageThreadOnlyWhatTheCallerOwns) {
  FakeClient mine, theirs, kept;
  {
    NotificationList list;
    unsigned long cookie = 0;
    list.Append(Observer(&mine, 7, &cookie));
    list.Append(Observer(&theirs, 8));
    list.Append(Observer(&mine, 7));
    list.Append(std::make_unique<BootpNotification>(kept.Unknown(), 9, nullptr));
    list.Append(std::make_unique<BootpNotification>(nullptr, 9, nullptr));
    EXPECT_EQ(list.MarkCookieDead(cookie, 8), 0u);
    EXPECT_EQ(list.MarkCookieDead(cookie + 1000, 7), 0u);
    EXPECT_EQ(list.MarkCookieDead(cookie, 7), 1u);
    EXPECT_TRUE(WaitFor([&] { return mine.References() == 2; }, 5000));
    EXPECT_EQ(list.MarkInstanceDead(7), 1u);
    ASSERT_TRUE(ReleasedByServer(mine));
    EXPECT_NE(mine.releasingThread.load(), GetCurrentThreadId());
    EXPECT_TRUE(WaitFor([&] { return list.Count() == 3; }, 5000));
    EXPECT_EQ(theirs.References(), 2);
  }
  // The list's end releases the rest.
  EXPECT_EQ(theirs.References(), 1);
  EXPECT_EQ(kept.References(), 1);
}

TEST(NotificationList, AWalkKeepsDeadEntriesUntilItEnds) {
  FakeClient client;
  NotificationList list;
  list.Append(Observer(&client, 1));
  list.ForEach<ControlCenterNotification>([&](ControlCenterNotification& n) {
    list.MarkDead(n);
    Sleep(200);
    // The garbage thread is awake but must wait for this walk: the entry
    // being looked at cannot go.
    EXPECT_EQ(client.References(), 2);
  });
  EXPECT_TRUE(ReleasedByServer(client));
}

TEST(NotificationList, AHangingReleaseDoesNotHoldUpTheList) {
  FakeClient hanging, other;
  hanging.holdReleases = true;
  NotificationList list;
  unsigned long cookie = 0;
  list.Append(Observer(&hanging, 1, &cookie));
  list.MarkCookieDead(cookie, 1);
  ASSERT_EQ(WaitForSingleObject(hanging.releaseEntered.get(), 5000), WAIT_OBJECT_0);

  // While the garbage thread is stuck in the client's Release, appends and
  // walks go on.
  DWORD start = GetTickCount();
  list.Append(Observer(&other, 2));
  unsigned live = 0;
  list.ForEachLive<ControlCenterNotification>([&](ControlCenterNotification&) { ++live; });
  EXPECT_EQ(live, 1u);
  EXPECT_LT(GetTickCount() - start, 1000u);

  SetEvent(hanging.releaseMayEnd.get());
  EXPECT_TRUE(ReleasedByServer(hanging));
}
