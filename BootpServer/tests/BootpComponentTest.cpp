// The bootp server component through COM, as the control center server
// uses it: created in-process from the multithreaded apartment, a listener
// connected, started, asked to reset through the two named events, and
// answering boot requests from a board's socket on 127.0.0.1.
#include "testing/ComponentTestSupport.h"
#include "testing/ServerTestSupport.h"

#include <gtest/gtest.h>

#include <ocidl.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <array>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "BootPacket.h"
#include "BootResponder.h"
#include "BootpServer.h"
#include "EventSinks.h"
#include "ResetWorker.h"
#include "Win32/Holders.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Hardware = std::array<uint8_t, 6>;
const Hardware kFirst = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xAB}, kStranger = {2, 0, 0, 0, 0, 1},
               kSecond = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xCD},
               kPanel = {0x00, 0xA0, 0x12, 0x9A, 0xBC, 0xDE};

// A request as a board sends it, every field the reply keeps filled in.
Bytes Request(const Hardware& hardware, uint32_t xid, bool cookie = false, size_t size = 300) {
  Bytes request(300, 0);
  request.resize(size, 0x42);
  const uint8_t head[] = {1, 1, 6, 2, uint8_t(xid >> 24), uint8_t(xid >> 16), uint8_t(xid >> 8),
                          uint8_t(xid), 0, 7, 0x80, 0, 10, 9, 8, 7,  // ... secs, flags, ciaddr
                          0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3};      // yiaddr, siaddr, giaddr
  const uint8_t vend[] = {99, 130, 83, 99, 1, 4, 255, 255, 255, 0, 255};
  std::memcpy(&request[0], head, sizeof head);
  std::memcpy(&request[28], hardware.data(), 6);
  std::memcpy(&request[44], "asked-for", 9);  // sname
  std::memcpy(&request[108], "generic", 7);   // file
  if (cookie) std::memcpy(&request[236], vend, sizeof vend);
  return request;
}

// What the reply to request must be, field by field; none without yiaddr.
Bytes Expected(const Bytes& request, const char* yiaddr, const std::string& file) {
  if (!yiaddr) return {};
  Bytes reply(300, 0);
  reply[0] = 2;
  std::memcpy(&reply[1], &request[1], 15);  // htype, hlen, hops, xid, secs, flags, ciaddr
  const uint32_t addresses[] = {inet_addr(yiaddr), inet_addr("127.0.0.1")};
  std::memcpy(&reply[16], addresses, 8);
  std::memcpy(&reply[24], &request[24], 20);  // giaddr, chaddr
  std::memcpy(&reply[108], file.data(), file.size());
  const uint8_t vend[] = {99, 130, 83, 99, 255};
  if (std::memcmp(&request[236], vend, 4) == 0) std::memcpy(&reply[236], vend, sizeof vend);
  return reply;
}

// True when text is pattern, whose one '*' (if any) stands for any text.
bool Matches(const std::string& pattern, const std::string& text) {
  const size_t star = pattern.find('*'), tail = pattern.size() - star - 1;
  if (star == std::string::npos) return text == pattern;
  return text.size() >= star + tail && text.compare(0, star, pattern, 0, star) == 0 &&
         text.compare(text.size() - tail, tail, pattern, star + 1, tail) == 0;
}

TEST(BootPacket, TakesOnlyEthernetBootRequestsOfAtLeast300Bytes) {
  // The datagram's size, one byte changed (where, to what), and the verdict.
  const struct { size_t size, at; uint8_t value; bool taken; } cases[] = {
      {300, 3, 9, true},  {2048, 299, 1, true}, {299, 0, 1, false}, {0, 0, 1, false},
      {300, 0, 2, false}, {300, 0, 255, false}, {300, 1, 6, false}, {300, 2, 16, false}};
  for (const auto& c : cases) {
    Bytes datagram = Request(kFirst, 1, true, c.size < 300 ? 300 : c.size);
    datagram[c.at] = c.value;
    BootRequest request;
    request.bytes.fill(0x5A);
    EXPECT_EQ(ParseBootRequest(datagram.data(), c.size, &request), c.taken) << c.size << c.at;
    // A refused datagram leaves the request as it was.
    EXPECT_EQ(Bytes(request.bytes.begin(), request.bytes.end()),
              c.taken ? Bytes(datagram.begin(), datagram.begin() + 300) : Bytes(300, 0x5A));
  }
  BootRequest request;
  EXPECT_FALSE(ParseBootRequest(nullptr, 300, &request));
}

// Keeps every event it is sent, in order. The fixture owns it, and the
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
    WideCharToMultiByte(CP_ACP, 0, parameters->rgvarg[0].bstrVal, -1, text, sizeof text, nullptr,
                        nullptr);
    static const char* const kinds[] = {"?", "FatalError", "NonFatalError", "Info"};
    std::lock_guard<std::mutex> hold(lock_);
    said_ += std::string(kinds[id >= 1 && id <= 3 ? id : 0]) + ": " + text + "\n";
    ReleaseSemaphore(arrived_.get(), 1, nullptr);
    return S_OK;
  }

  // Every event that comes, "kind: text" a line each, the first within ms.
  std::string Said(DWORD ms = 2000) {
    while (WaitForSingleObject(arrived_.get(), ms) == WAIT_OBJECT_0) ms = 300;
    std::lock_guard<std::mutex> hold(lock_);
    return std::exchange(said_, std::string());
  }

 private:
  std::mutex lock_;
  std::string said_;
  UniqueHandle arrived_{CreateSemaphoreA(nullptr, 0, 100000, nullptr)};
};

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{AF_INET, htons(port), {}, {}};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A UDP socket on 127.0.0.1 (port 0: of the system's choosing); none when
// the port is taken.
UniqueSocket Bound(unsigned short port) {
  UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  const sockaddr_in address = Loopback(port);
  if (bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) s.reset();
  return s;
}

unsigned short PortOf(SOCKET s) {
  sockaddr_in address{};
  int size = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

size_t ThreadsOfThisProcess() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  return count;
}

// A test installation (its registry subtree put back afterwards) whose
// bootp server answers boot requests on 127.0.0.1, and a board's socket.
class BootpComponent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterServerForTests();  // the component and the proxy DLL beside this program
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  static void TearDownTestSuite() {
    WSACleanup();
    CoUninitialize();
  }
  void SetUp() override {
    installation.DeleteKey("Bootp");
    port_ = PortOf(Bound(0).get());  // free: taken and given back, for the component
    installation.SetDword("Bootp", "Listen Port", port_);
    installation.SetString("Bootp", "Listen Address", "127.0.0.1");
    client_ = Bound(0);
    ASSERT_TRUE(client_);
  }
  void TearDown() override {
    if (server_) server_->StopServer();
    server_.reset();
  }

  std::string Active(const std::string& name) { return installation.Root() + "\\active\\" + name; }
  void WriteActive(const std::string& records) {
    installation.WriteFile("active\\active.ini", "[CONFIG]\r\n" + records);
  }
  // A set change's output: boards 0 and 1 have list files, 2 is of type X.
  void WriteThreeBoards() {
    WriteActive("00A0123456AB=10.0.0.1 " + Active("3456AB.cfg") + " 1A2B 0001 BRD1 0 V\r\n" +
                "00A0123456CD=10.0.0.2 " + Active("3456CD.cfg") + " 3C4D 0002 BRD2R 1 P\r\n" +
                "00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 2 X\r\n");
    installation.WriteFile("active\\3456AB.cfg", "list");
    installation.WriteFile("active\\3456CD.cfg", "list");
  }
  std::string ThreeServed() {
    return "Info: Serving 3 boards from " + Active("active.ini") +
           ": BRD1 (10.0.0.1), BRD2R (10.0.0.2), PANEL (192.168.1.9).\n";
  }
  std::string Listening(const std::string& address = "127.0.0.1") {
    return "Info: Answering boot requests on " + address + " port " + std::to_string(port_) + ".\n";
  }
  std::string Unknown(const std::string& hardware) {
    return "Info: A boot request for " + hardware + " from 127.0.0.1 port " +
           std::to_string(PortOf(client_.get())) +
           " was not answered: no board of the active configuration has that hardware address.\n";
  }

  // Creates the component in this (multithreaded) apartment, connects the
  // sink and starts it.
  void CreateAndStart() {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_BootpServer, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IBootpServer, server_.put_void())) &&
                SUCCEEDED(server_->QueryInterface(IID_IConnectionPointContainer,
                                                  container.put_void())) &&
                SUCCEEDED(container->FindConnectionPoint(DIID_IBootpServerEvents, point.put())) &&
                SUCCEEDED(point->Advise(&sink_, &cookie)));
    ASSERT_EQ(server_->StartServer(), S_OK);
  }
  // What the set change worker does: ask, and wait for the answer. The
  // last reset's answer must have been its only one.
  bool Reset() {
    EXPECT_FALSE(AnsweredAgain(0)) << "a reset answered twice";
    SetEvent(resetEvent_.get());
    return WaitForSingleObject(finished_.get(), 5000) == WAIT_OBJECT_0;
  }
  bool AnsweredAgain(DWORD ms) { return WaitForSingleObject(finished_.get(), ms) == WAIT_OBJECT_0; }

  void Send(const Bytes& datagram) {
    const sockaddr_in to = Loopback(port_);
    sendto(client_.get(), reinterpret_cast<const char*>(datagram.data()),
           static_cast<int>(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  // The next datagram to reach the client within ms; empty when none came.
  Bytes Receive(DWORD ms = 2000) {
    setsockopt(client_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), 4);
    Bytes datagram(4096);
    const int got = recv(client_.get(), reinterpret_cast<char*>(datagram.data()), 4096, 0);
    datagram.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return datagram;
  }

  // One step of a scenario: a change (announced by a reset or not), a
  // request, the reply it gets (none without yiaddr), and every text the
  // component sent meanwhile.
  struct Step { std::function<void()> change; bool reset; Bytes request; const char* yiaddr;
                std::string file, said; };
  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      if (step.change) step.change();
      ASSERT_TRUE(!step.reset || Reset()) << step.said;
      Send(step.request);
      EXPECT_EQ(Receive(step.yiaddr ? 2000 : 300), Expected(step.request, step.yiaddr, step.file))
          << step.said;
      const std::string said = sink_.Said(step.said.empty() ? 300 : 2000);
      EXPECT_TRUE(Matches(step.said, said)) << said << "expected: " << step.said;
    }
  }

  TestInstallation installation{"bootp"};
  UniqueHandle resetEvent_{CreateEventA(nullptr, FALSE, FALSE, kResetEventName)};
  UniqueHandle finished_{CreateEventA(nullptr, FALSE, FALSE, kResetFinishedName)};
  RecordingSink sink_;
  ComPtr<IBootpServer> server_;
  unsigned short port_ = 0;
  UniqueSocket client_;
};

TEST_F(BootpComponent, IsRegisteredToLiveInTheApartmentThatCreatesIt) {
  const char key[] = "CLSID\\{9F1AA479-79F0-4011-AC63-335A311EAF9E}\\InprocServer32";
  const std::string path = ClassesString(key);
  EXPECT_EQ(lstrcmpiA(path.c_str(), (BinDirectory() + "\\BootpServer.dll").c_str()), 0) << path;
  EXPECT_EQ(ClassesString(key, "ThreadingModel"), "Both");
}

TEST_F(BootpComponent, AnswersTheBoardsOfTheLastReset) {
  WriteThreeBoards();
  CreateAndStart();
  EXPECT_EQ(server_->StartServer(), S_OK) << "starting a running server changes nothing";
  EXPECT_EQ(sink_.Said(), ThreeServed() + Listening());
  EXPECT_FALSE(AnsweredAgain(300)) << "an answer nobody asked for";
  const std::string ini = Active("active.ini"), at = "00A0123456AB=10.0.0.5 ";
  // List file paths of 127 characters, the most a reply holds, and of 128.
  const std::string fits = std::string(123 - Active("").size(), 'L') + ".cfg", tooLong = "M" + fits;
  installation.WriteFile("active\\" + fits, "list");
  installation.WriteFile("active\\" + tooLong, "list");
  Run({{nullptr, false, Request(kFirst, 1, true), "10.0.0.1", Active("3456AB.cfg"), ""},
       {nullptr, false, Request(kSecond, 2), "10.0.0.2", Active("3456CD.cfg"), ""},
       // Without a list file a board still gets its address; a longer
       // request (a later protocol's) is answered from its first 300 bytes.
       {nullptr, false, Request(kPanel, 3, true, 548), "192.168.1.9", "", ""},
       // A stranger is named once per configuration, and never answered.
       {nullptr, false, Request(kStranger, 4), nullptr, "", Unknown("020000000001")},
       {nullptr, false, Request(kStranger, 5, true), nullptr, "", ""},
       // Written, not yet announced: the old configuration still answers.
       {[&] { WriteActive("00A0123456AB=10.0.0.77 NOPATH FFFF 0000 MOVED 0 X\r\n"); }, false,
        Request(kFirst, 6), "10.0.0.1", Active("3456AB.cfg"), ""},
       {nullptr, true, Request(kFirst, 7), "10.0.0.77", "",
        "Info: Serving 1 board from " + ini + ": MOVED (10.0.0.77).\n"},
       {nullptr, false, Request(kSecond, 8), nullptr, "", Unknown("00A0123456CD")},
       // One that cannot be read leaves the last one answering.
       {[&] { WriteActive(at + "NOPATH FFFF 0000 BROKEN zero X\r\n"); }, true, Request(kFirst, 9),
        "10.0.0.77", "", "NonFatalError: The active configuration " + ini + " is malformed: line "
        "2 (*.  Still serving the 1 board of the previous configuration.\n"},
       {[&] { WriteActive(at + Active(fits) + " 1A2B 0001 FITS 0 V\r\n"); }, true,
        Request(kFirst, 10), "10.0.0.5", Active(fits),
        "Info: Serving 1 board from " + ini + ": FITS (10.0.0.5).\n"},
       {[&] { WriteActive(at + Active(tooLong) + " 1A2B 0001 LONG 0 V\r\n"); }, true,
        Request(kFirst, 11), nullptr, "", "Info: Serving 1 board from " + ini + ": LONG (10.0.0.5)"
        ".\nNonFatalError: A board gets no boot reply, since the path of its list file is longer "
        "than 127 characters: LONG (" + Active(tooLong) + ").\n" + Unknown("00A0123456AB")},
       // Listening on every address, the server names the one it is reached at.
       {[&] { WriteThreeBoards(); installation.DeleteValue("Bootp", "Listen Address"); }, true,
        Request(kSecond, 12), "10.0.0.2", Active("3456CD.cfg"),
        ThreeServed() + Listening("0.0.0.0")}});

  // Of a crowd of strangers, 64 are named; one more text says that the
  // rest are not.
  std::string named;
  for (uint8_t last = 1; last <= 66; ++last) {
    char hardware[13];
    std::snprintf(hardware, sizeof hardware, "0200000000%02X", last);
    Send(Request({2, 0, 0, 0, 0, last}, last));
    if (last <= 64) named += Unknown(hardware);
  }
  EXPECT_EQ(sink_.Said(), named + "Info: Boot requests came for 64 unknown hardware addresses: no "
                                  "more are reported until the next reset.\n");

  // Released, it leaves no thread and gives the port back.
  EXPECT_FALSE(Bound(port_)) << "the component holds the port";
  const size_t running = ThreadsOfThisProcess();
  server_.reset();
  EXPECT_EQ(ThreadsOfThisProcess(), running - 1);
  EXPECT_TRUE(Bound(port_)) << "the port is free again";
}

TEST_F(BootpComponent, ReportsProblemsAndStillAnswersResets) {
  // No set yet and no port: nothing is bound, and nothing said of it.
  installation.DeleteValue("Bootp", "Listen Port");
  CreateAndStart();
  const std::string ini = Active("active.ini"), port = std::to_string(port_);
  const std::string bootp = "\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Bootp is not ";
  EXPECT_EQ(sink_.Said(), "Info: No set has been activated yet (" + ini +
                              " does not exist): serving no boards until one is.\n");
  const Bytes request = Request(kFirst, 1);
  UniqueSocket taken;
  Run({// After a set change the file must be there.
       {nullptr, true, request, nullptr, "", "NonFatalError: Could not read the active "
        "configuration " + ini + ": *.  Serving no boards until a configuration can be read.\n"},
       // A board whose list file is gone is served, and named. Another
       // program holds the port.
       {[&] { WriteThreeBoards(); installation.RemoveFile("active\\3456CD.cfg");
              taken = Bound(port_); installation.SetDword("Bootp", "Listen Port", port_); },
        true, request, nullptr, "",
        ThreeServed() + "NonFatalError: A board has no list file, so it cannot boot: BRD2R (" +
            Active("3456CD.cfg") + ").\nNonFatalError: Boot requests are not answered: could not "
            "bind the socket on 127.0.0.1 port " + port + ": another program uses that port "
            "(Windows Sockets error 10048).\n"},
       {[&] { taken.reset(); WriteThreeBoards();
              installation.SetString("Bootp", "Listen Port", "67"); }, true, request, nullptr, "",
        ThreeServed() + "NonFatalError: The value \"Listen Port" + bootp +
            "a REG_DWORD from 1 to 65535.  Boot requests are not answered.\n"},
       {[&] { installation.SetDword("Bootp", "Listen Port", port_);
              installation.SetString("Bootp", "Listen Address", "127.0.0"); }, true, request,
        nullptr, "", ThreeServed() + "NonFatalError: The value \"Listen Address" + bootp +
        "a dotted IPv4 address.  Boot requests are not answered.\n"},
       // A malformed file changes nothing of what is served.
       {[&] { installation.SetString("Bootp", "Listen Address", "127.0.0.1");
              WriteActive("00A0123456AB=10.0.0.1 NOPATH\r\n"); }, true, request, "10.0.0.1",
        Active("3456AB.cfg"), "NonFatalError: The active configuration " + ini + " is malformed: "
        "line 2 (*.  Still serving the 3 boards of the previous configuration.\n" + Listening()},
       {[&] { installation.DeleteValue("Bootp", "Listen Port"); }, true, request, nullptr, "",
        "NonFatalError: The active configuration *.\nInfo: No longer answering boot requests: "
        "\"Listen Port\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Bootp is gone.\n"},
       // Without an installation nothing can be read.
       {[&] { installation.DeleteValue("Path", "Root"); }, true, request, nullptr, "",
        "FatalError: Could not find the Korvane installation root: the value \"Root\" of HKEY_LOCAL"
        "_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Path cannot be read*  The bootp server cannot read "
        "any configuration.\n"}});
  EXPECT_TRUE(Bound(port_)) << "no longer listening, the port is free";
}

// Every datagram is derived from a request, most often a stranger's: cut
// short, bits flipped, op, htype or hlen wrong, random bytes, too long, or
// padded. What is still a boot request (300 to 2048 bytes, op 1, htype 1,
// hlen 6) of a known board is answered, in order, and nothing else: after
// each batch a valid probe's reply must come next.
TEST_F(BootpComponent, SurvivesMutatedDatagramsAndAnswersOnlyRequests) {
  WriteThreeBoards();
  CreateAndStart();
  ASSERT_EQ(sink_.Said(), ThreeServed() + Listening());
  const struct { Hardware board; const char* yiaddr; std::string file; } known[] = {
      {kFirst, "10.0.0.1", Active("3456AB.cfg")}, {kSecond, "10.0.0.2", Active("3456CD.cfg")},
      {kPanel, "192.168.1.9", ""}};
  std::mt19937 random(20261206);
  size_t sent = 0, answered = 0;
  for (uint32_t probeId = 1; sent < 100000; ++probeId) {
    std::vector<Bytes> due;
    for (int i = 0; i < 32; ++i, ++sent) {
      Bytes datagram = Request(random() % 4 ? kStranger : known[random() % 3].board, random(),
                               random() % 2);
      switch (random() % 8) {
        case 0: datagram.resize(random() % 300); break;
        case 1:
        case 2:
          for (unsigned flips = 1 + random() % 8; flips; --flips)
            datagram[random() % 300] ^= static_cast<uint8_t>(1u << (random() % 8));
          break;
        case 3: datagram[random() % 3] = static_cast<uint8_t>(random()); break;
        case 4:
        case 5:
          datagram.resize(random() % 700);
          for (auto& byte : datagram) byte = static_cast<uint8_t>(random());
          break;
        case 6: datagram.resize(2049 + random() % 500, static_cast<uint8_t>(random())); break;
        default: datagram.resize(300 + random() % 1749, static_cast<uint8_t>(random())); break;
      }
      Send(datagram);
      if (datagram.size() < 300 || datagram.size() > 2048 || datagram[0] != 1 ||
          datagram[1] != 1 || datagram[2] != 6)
        continue;
      for (const auto& board : known)
        if (std::memcmp(&datagram[28], board.board.data(), 6) == 0)
          due.push_back(Expected(datagram, board.yiaddr, board.file));
    }
    const Bytes probe = Request(kPanel, probeId);
    Send(probe);
    due.push_back(Expected(probe, "192.168.1.9", ""));
    for (const Bytes& reply : due) ASSERT_EQ(Receive(), reply) << "after " << sent << " datagrams";
    answered += due.size();
  }
  EXPECT_TRUE(Receive(300).empty()) << "a reply nobody asked for";
  EXPECT_GT(answered, 5000u);
}

}  // namespace
