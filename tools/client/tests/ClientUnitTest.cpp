// The client's parts that need no server: its command line, its output
// lines, and its callback object as the server's calls reach it.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "ClientCommandLine.h"
#include "ClientEvents.h"
#include "NotifySink.h"
#include "Win32/Holders.h"

namespace {

ClientRequest Parse(std::vector<std::string> args) {
  ClientRequest request;
  std::string error;
  EXPECT_TRUE(ParseClientCommandLine(args, request, error)) << error;
  return request;
}

TEST(ClientCommandLine, AcceptsEveryOperationWithItsArguments) {
  ClientRequest select = Parse({"select", "--timeout=0", "Plant"});
  EXPECT_EQ(std::tie(select.operation, select.setName, select.waitSeconds),
            std::make_tuple(ClientOperation::Select, std::string("Plant"), 0ul));
  EXPECT_EQ(Parse({"restore"}).waitSeconds, 300ul);
  EXPECT_EQ(Parse({"restore", "--timeout", "5"}).waitSeconds, 5ul);
  EXPECT_EQ(Parse({"timeout", "65535"}).clientTimeout, 65535);
  ClientRequest command = Parse({"command", "clrFls", "2", "0", "65535"});
  EXPECT_EQ(command.command, 4);
  EXPECT_EQ(command.boards, (std::vector<unsigned short>{2, 0, 65535}));
  ClientRequest watch =
      Parse({"watch", "--allow", "250", "--count=3", "--seconds", "9", "--description", "Panel"});
  EXPECT_EQ(std::tie(watch.allow, watch.allowDelayMs, watch.maxEvents, watch.watchSeconds,
                     watch.description),
            std::make_tuple(AllowPolicy::Delayed, 250ul, 3ul, 9ul, std::string("Panel")));
  EXPECT_EQ(Parse({"watch"}).allow, AllowPolicy::Now);
  EXPECT_EQ(Parse({"watch", "--allow", "0"}).allow, AllowPolicy::Now);
  EXPECT_EQ(Parse({"watch", "--allow=never"}).allow, AllowPolicy::Never);
  for (const char* help : {"help", "-h", "--help", "/?"})
    EXPECT_EQ(Parse({help}).operation, ClientOperation::Help);
}

TEST(ClientCommandLine, RefusesWithTheReason) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, "no command given"},
      {{"List"}, "unknown command \"List\""},
      {{"list", "all"}, "unexpected argument \"all\""},
      {{"select"}, "select needs the name of a set"},
      {{"select", "A", "B"}, "unexpected argument \"B\""},
      {{"select", "A", "--timeout"}, "--timeout needs a value"},
      {{"select", "A", "--timeout", "-1"}, "--timeout needs a number of seconds, not \"-1\""},
      {{"select", std::string(0xFFFF, 'x')}, "the set name is too long"},
      {{"command", "REBOOT"}, "command needs at least one board number"},
      {{"command", "REBOOT", "65536"}, "a board is a number from 0 to 65535, not \"65536\""},
      {{"command", "WIPE", "1"}, "unknown board command \"WIPE\""},
      {{"timeout", "65536"}, "timeout needs seconds from 0 to 65535, not \"65536\""},
      {{"watch", "--allow", "sometimes"}, "--allow takes now, never or a delay"},
      {{"watch", "--count", "0"}, "--count needs a number of notifications above 0"},
      {{"watch", "--description="}, "--description needs a text"},
      {{"watch", "now"}, "unexpected argument \"now\""},
  };
  for (const auto& [args, reason] : cases) {
    ClientRequest request;
    std::string error;
    EXPECT_FALSE(ParseClientCommandLine(args, request, error)) << reason;
    EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
  }
}

TEST(ClientCommandLine, BoardCommandsByNameOrAnyThirtyTwoBitNumber) {
  // Which numbers are commands is the server's to say; the first six have names.
  const std::pair<const char*, long> commands[] = {
      {"REBOOT", 1}, {"CLRPMM", 2}, {"CLRFLS", 4}, {"OVRRID", 8},    {"PSTMRT", 16},
      {"ACTVAT", 32}, {"3", 3},     {"-1", -1},    {"0x20", 32}, {"-2147483648", -2147483647L - 1}};
  long command = 0;
  for (const auto& [text, value] : commands) {
    EXPECT_TRUE(ParseBoardCommand(text, command)) << text;
    EXPECT_EQ(command, value);
  }
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(BoardCommandName(commands[i].second), commands[i].first);
  EXPECT_EQ(BoardCommandName(3), "command 3");
  for (const char* bad : {"", "WIPE", "2147483648", "12abc", " 1", "0x", "1.5"})
    EXPECT_FALSE(ParseBoardCommand(bad, command)) << '"' << bad << '"';
}

// Called directly, as the RPC stubs call it: no apartment needed.
TEST(NotifySink, AnswersBothCallbackInterfacesAndQueuesCopiesInOrder) {
  auto queue = std::make_shared<EventQueue>();
  {
    ComPtr<NotifySink> sink = ComPtr<NotifySink>::Attach(NotifySink::Create(queue));
    ComPtr<IControlCenterNotify> notify;
    ComPtr<IBootpNotify> bootp;
    ComPtr<IUnknown> one, other, wrong;
    ASSERT_EQ(sink->QueryInterface(IID_IControlCenterNotify, notify.put_void()), S_OK);
    ASSERT_EQ(notify->QueryInterface(IID_IBootpNotify, bootp.put_void()), S_OK);
    ASSERT_EQ(notify->QueryInterface(IID_IUnknown, one.put_void()), S_OK);
    ASSERT_EQ(bootp->QueryInterface(IID_IUnknown, other.put_void()), S_OK);
    EXPECT_EQ(one.get(), other.get());
    EXPECT_EQ(bootp->QueryInterface(IID_IControlCenterComponent, wrong.put_void()), E_NOINTERFACE);

    char text[] = "Board 3 did not answer\r\n";
    notify->ConfigurationChanging();
    notify->ClientsNotResponding(sizeof text, text);
    bootp->BootpError(3, text);  // the text ends at its NUL whatever the size says
    text[0] = 'X';               // the server may reuse its buffer after the call
    notify->ClientsNotResponding(0, nullptr);
    notify->SetSelected(0);
    notify->SetRestored(1);
    notify->SetSelected(2);
    notify->ChangeProceeding();
    notify->ConfigurationChanged();
    bootp->BootpInfo(0, text);
  }
  std::vector<std::string> lines;
  for (ClientEvent event; queue->Pop(event);) lines.push_back(FormatEvent(event));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "ConfigurationChanging", "ClientsNotResponding: Board 3 did not answer",
                       "BootpError: Board 3 did not answer", "ClientsNotResponding",
                       "SetSelected: failed", "SetRestored: succeeded",
                       "SetSelected: failed (result 2)", "ChangeProceeding",
                       "ConfigurationChanged", "BootpInfo: Xoard 3 did not answer"}));
}

}  // namespace
