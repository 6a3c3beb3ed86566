// Shared by the tests that run set changes through the real server: a test
// installation with the folders and description files a change reads, sets
// built with the set file library, the clients' side of a change, and what a
// change leaves in the registry and on disk.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/NotificationTestSupport.h"  // ServerTestSupport.h, ControlCenter.h
#include "testing/SetChangeTestSupport.h"

namespace setchange_process {

using setchange_test::Board;
using setchange_test::CommonLists;
using setchange_test::DirectorySnapshot;
using setchange_test::XBoard;
using testsupport::FakeClient;

constexpr const char* kKorvaneSubtree = "SOFTWARE\\Brenlow\\Korvane";
constexpr const char* kBusyText =
    "Set selection or restoration is already in progress.  Wait for it to complete before you "
    "start another one.";

class SetChangeProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();
  }
  static void TearDownTestSuite() {
    CloseRunningServers();
    CoUninitialize();
  }

  // Each case meets a server of its own, started on the installation it
  // has just written.
  void SetUp() override {
    CloseRunningServers();
    install = std::make_unique<TestInstallation>("setchange");
    setfile_test::MakeInstallationFolders(Root(), "boardlst 1 AVX\n", {"active", "bin"});
    install->SetDword("Bootp", "Silent", 0);
  }
  void TearDown() override {
    components.clear();
    CloseRunningServers();
    // Only now can no server call or release a client of this test.
    clients.Clear();
    install.reset();
  }

  // A client's callback object, kept until the test's server has ended.
  FakeClient& Client() { return clients.Make(); }
  const std::string& Root() const { return install->Root(); }
  std::string WriteSet(const std::string& name, const std::vector<NamedList>& lists,
                       const std::string* archive = nullptr) {
    return setfile_test::WriteSetFile(Root(), name, lists, archive);
  }

  IControlCenterComponent* NewComponent() {
    ComPtr<IControlCenterComponent> component;
    EXPECT_EQ(CoCreateInstance(CLSID_ControlCenterComponent, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IControlCenterComponent, component.put_void()), S_OK);
    components.push_back(component);
    return component.get();
  }

  // Registers client as an observer; its cookie is kept in observerCookie.
  unsigned long Observe(IControlCenterComponent* component, FakeClient& client) {
    char description[] = "observer";
    EXPECT_EQ(component->RegisterNotification(&client, sizeof description, description,
                                              &observerCookie), S_OK);
    return observerCookie;
  }

  static void Subscribe(IControlCenterComponent* component, FakeClient& client) {
    ComPtr<IBootpNotificationSource> source;
    ASSERT_EQ(component->QueryInterface(IID_IBootpNotificationSource, source.put_void()), S_OK);
    unsigned long cookie = 0;
    EXPECT_EQ(source->RegisterBootpNotification(client.Unknown(), &cookie), S_OK);
  }

  // The flag (size) of the first call of method the client heard, -1 before.
  static int Heard(FakeClient& client, const char* method) {
    for (const auto& call : client.Calls())
      if (call.method == method) return call.size;
    return -1;
  }
  // Until the client has heard method (SetSelected, SetRestored).
  static bool WaitForEnd(FakeClient& client, const char* method, DWORD ms = 60000) {
    return testsupport::WaitFor([&] { return Heard(client, method) != -1; }, ms);
  }
  // SelectSet and its end: the flag SetSelected brought, or -1 when the
  // request failed or no end came.
  static int Select(IControlCenterComponent* component, const std::string& name,
                    FakeClient& requester, DWORD ms = 60000) {
    std::string text = name;
    if (component->SelectSet(static_cast<unsigned short>(text.size() + 1), &text[0],
                             &requester) != S_OK || !WaitForEnd(requester, "SetSelected", ms))
      return -1;
    return Heard(requester, "SetSelected");
  }

  // The component's error text, "(none)" when it has none.
  static std::string ErrorText(IControlCenterComponent* component) {
    unsigned short size = 0;
    char* text = nullptr;
    if (component->GetErrorText(&size, &text) != S_OK) return "(none)";
    std::string result = text ? text : "(null)";
    CoTaskMemFree(text);
    return result;
  }

  // A string value below SOFTWARE\Brenlow\Korvane (null name: the default).
  static std::string Registry(const std::string& key, const char* name) {
    return setchange_test::RegString(std::string(kKorvaneSubtree) + "\\" + key, name);
  }
  DirectorySnapshot ActiveFiles() const {
    return setchange_test::SnapshotDirectory(Root() + "\\active");
  }

  std::unique_ptr<TestInstallation> install;
  std::vector<ComPtr<IControlCenterComponent>> components;
  testsupport::FakeClients clients;
  unsigned long observerCookie = 0;
};

}  // namespace setchange_process
