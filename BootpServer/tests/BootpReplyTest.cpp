// Boot replies of the bootp component: the parser in-process, then the
// component through COM answering a client on 127.0.0.1 - known and unknown
// boards, a new configuration after the reset handshake, listener problems,
// a clean release, and a flood of mutated datagrams.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ocidl.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BootPacket.h"
#include "BootpServer.h"
#include "BootpSettings.h"
#include "EventSinks.h"
#include "ResetWorker.h"
#include "Win32/Holders.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A request as a board sends it: chaddr is the six bytes given.
Bytes Request(const std::array<uint8_t, 6>& hardware, uint32_t xid, bool cookie = false) {
  Bytes request(300, 0);
  const uint8_t head[] = {1, 1, 6, 2, uint8_t(xid >> 24), uint8_t(xid >> 16), uint8_t(xid >> 8),
                          uint8_t(xid), 0, 7};  // op, htype, hlen, hops, xid, secs
  std::memcpy(&request[0], head, sizeof head);
  const uint8_t giaddr[] = {10, 1, 2, 3};
  std::memcpy(&request[24], giaddr, 4);
  std::memcpy(&request[28], hardware.data(), 6);
  std::memcpy(&request[108], "generic", 7);
  if (cookie) {
    const uint8_t vend[] = {99, 130, 83, 99, 1, 4, 255, 255, 255, 0, 255};
    std::memcpy(&request[236], vend, sizeof vend);
  }
  return request;
}

TEST(BootPacket, TakesOnlyEthernetBootRequestsOfAtLeast300Bytes) {
  const Bytes good = Request({0, 0xA0, 0x12, 0x34, 0x56, 0xAB}, 1);
  BootRequest request;
  ASSERT_TRUE(ParseBootRequest(good.data(), good.size(), &request));
  EXPECT_EQ(Bytes(request.bytes.begin(), request.bytes.end()), good);

  Bytes longer = good;
  longer.resize(548, 0xEE);
  EXPECT_TRUE(ParseBootRequest(longer.data(), longer.size(), &request));

  BootRequest untouched;
  untouched.bytes.fill(0x5A);
  EXPECT_FALSE(ParseBootRequest(good.data(), 299, &untouched));
  EXPECT_FALSE(ParseBootRequest(good.data(), 0, &untouched));
  EXPECT_FALSE(ParseBootRequest(nullptr, 300, &untouched));
  for (size_t field : {0, 1, 2}) {
    for (uint8_t wrong : {0, 2, 16, 255}) {
      Bytes bad = good;
      bad[field] = static_cast<uint8_t>(bad[field] == wrong ? 3 : wrong);
      EXPECT_FALSE(ParseBootRequest(bad.data(), bad.size(), &untouched)) << field;
    }
  }
  EXPECT_EQ(untouched.bytes[0], 0x5A) << "a refused datagram leaves the request as it was";
}

// Records the component's events in order. It lives in the fixture, which
// outlives the component.
class Sink : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
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
    std::lock_guard<std::mutex> hold(lock_);
    events_.emplace_back(id, text);
    arrived_.notify_all();
    return S_OK;
  }

  // The next event's id and text; id 0 when none came in time.
  std::pair<DISPID, std::string> Next(int milliseconds = 2000) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!arrived_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                           [this] { return !events_.empty(); }))
      return {0, std::string()};
    auto event = events_.front();
    events_.pop_front();
    return event;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<std::pair<DISPID, std::string>> events_;
};

// One value under HKEY_LOCAL_MACHINE, put back as it was at the end; keys
// made for it go again.
class RegistryValue {
 public:
  RegistryValue(const std::string& key, const char* name) : name_(name) {
    for (size_t end = key.find('\\');; end = key.find('\\', end + 1)) {
      DWORD made = 0;
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.substr(0, end).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, key_.put(), &made);
      if (made == REG_CREATED_NEW_KEY) created_.push_back(key.substr(0, end));
      if (end == std::string::npos) break;
    }
    old_.resize(1024);
    DWORD size = 1024;
    had_ = !RegQueryValueExA(key_.get(), name, nullptr, &type_, &old_[0], &size);
    old_.resize(size);
  }
  ~RegistryValue() {
    if (had_) Write(type_, old_.data(), old_.size());
    else Remove();
    key_.reset();
    for (auto key = created_.rbegin(); key != created_.rend(); ++key)
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, key->c_str());
  }
  void Set(const std::string& text) { Write(REG_SZ, text.c_str(), text.size() + 1); }
  void Set(DWORD value) { Write(REG_DWORD, &value, sizeof value); }
  void Remove() { RegDeleteValueA(key_.get(), name_); }

 private:
  void Write(DWORD type, const void* data, size_t size) {
    RegSetValueExA(key_.get(), name_, 0, type, static_cast<const BYTE*>(data), DWORD(size));
  }
  UniqueKey key_;
  const char* name_;
  std::vector<std::string> created_;
  bool had_ = false;
  DWORD type_ = 0;
  std::basic_string<BYTE> old_;
};

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A UDP socket on 127.0.0.1 (port 0: one of the system's choosing);
// INVALID_SOCKET when the port is taken.
SOCKET BoundSocket(unsigned short port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = Loopback(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
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

const std::array<uint8_t, 6> kFirst = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xAB};
const std::array<uint8_t, 6> kSecond = {0x00, 0xA0, 0x12, 0x34, 0x56, 0xCD};
const std::array<uint8_t, 6> kPanel = {0x00, 0xA0, 0x12, 0x9A, 0xBC, 0xDE};
const std::array<uint8_t, 6> kStranger = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

class BootReplies : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dll = path;
    dll = dll.substr(0, dll.find_last_of('\\') + 1) + "BootpServer.dll";
    HMODULE module = LoadLibraryA(dll.c_str());
    ASSERT_TRUE(module) << dll;
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        GetProcAddress(module, "DllRegisterServer"));
    ASSERT_TRUE(reg && SUCCEEDED(reg()));
    FreeLibrary(module);
  }
  static void TearDownTestSuite() {
    WSACleanup();
    CoUninitialize();
  }

  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "bootp-reply-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(root_.c_str(), nullptr);
    CreateDirectoryA((root_ + "\\active").c_str(), nullptr);
    rootValue_.Set(root_);
    // A free port: taken and given back, so that the component can have it.
    SOCKET probe = BoundSocket(0);
    port_ = PortOf(probe);
    closesocket(probe);
    portValue_.Set(DWORD{port_});
    addressValue_.Set("127.0.0.1");
    silentValue_.Remove();
    client_ = BoundSocket(0);
    ASSERT_NE(client_, INVALID_SOCKET);
    DWORD timeout = 2000;
    setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    resetEvent_.reset(CreateEventA(nullptr, FALSE, FALSE, kResetEventName));
    finished_.reset(CreateEventA(nullptr, FALSE, FALSE, kResetFinishedName));
    ResetEvent(resetEvent_.get());
  }

  void TearDown() override {
    server_.reset();
    closesocket(client_);
    for (const char* file : {"active.ini", "3456AB.cfg", "3456CD.cfg"})
      DeleteFileA((root_ + "\\active\\" + file).c_str());
    RemoveDirectoryA((root_ + "\\active").c_str());
    RemoveDirectoryA(root_.c_str());
  }

  void WriteActive(const std::string& records) {
    FILE* file = std::fopen((root_ + "\\active\\active.ini").c_str(), "wb");
    std::fputs(("[CONFIG]\r\n" + records).c_str(), file);
    std::fclose(file);
  }
  // Two boards with list files and one without.
  void WriteThreeBoards() {
    for (const char* list : {"3456AB.cfg", "3456CD.cfg"})
      std::fclose(std::fopen((root_ + "\\active\\" + list).c_str(), "wb"));
    WriteActive("00A0123456AB=10.0.0.1 " + root_ + "\\active\\3456AB.cfg 1A2B 0001 BRD1 0 V\r\n"
                "00A0123456CD=10.0.0.2 " + root_ + "\\active\\3456CD.cfg 3C4D 0002 BRD2 1 P\r\n"
                "00A0129ABCDE=192.168.1.9 NOPATH FFFF 0000 PANEL 2 X\r\n");
  }

  // Creates, connects sink_ and starts; the events of the start are left
  // in the sink.
  bool Start() {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    return SUCCEEDED(CoCreateInstance(CLSID_BootpServer, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IBootpServer, server_.put_void())) &&
           SUCCEEDED(server_->QueryInterface(IID_IConnectionPointContainer,
                                             container.put_void())) &&
           SUCCEEDED(container->FindConnectionPoint(DIID_IBootpServerEvents, point.put())) &&
           SUCCEEDED(point->Advise(&sink_, &cookie)) && SUCCEEDED(server_->StartServer());
  }
  // Start, and take the start's "Serving ..." and "Answering ..." texts.
  bool StartListening() {
    return Start() && sink_.Next().second.rfind("Serving ", 0) == 0 &&
           sink_.Next().second == ListeningText();
  }
  std::string ListeningText() {
    return "Answering boot requests on 127.0.0.1 port " + std::to_string(port_) + ".";
  }

  // The reset handshake, as a set change does it.
  bool Reset() {
    ResetEvent(finished_.get());
    SetEvent(resetEvent_.get());
    return WaitForSingleObject(finished_.get(), 5000) == WAIT_OBJECT_0;
  }
  // A reset, and the event after its "Serving ..." text.
  std::pair<DISPID, std::string> ResetAndReport() {
    EXPECT_TRUE(Reset());
    EXPECT_EQ(sink_.Next().second.rfind("Serving ", 0), 0u);
    return sink_.Next();
  }

  void Send(const Bytes& datagram) {
    sockaddr_in to = Loopback(port_);
    sendto(client_, reinterpret_cast<const char*>(datagram.data()),
           static_cast<int>(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram that reaches the client (within the socket's 2 s);
  // empty when none came.
  Bytes Receive() {
    Bytes datagram(4096);
    int got = recv(client_, reinterpret_cast<char*>(datagram.data()),
                   static_cast<int>(datagram.size()), 0);
    datagram.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return datagram;
  }
  Bytes Exchange(const Bytes& request) {
    Send(request);
    return Receive();
  }
  // True when nothing reaches the client for a while.
  bool NothingArrives() {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client_, &readable);
    timeval wait{0, 300000};
    return select(0, &readable, nullptr, nullptr, &wait) == 0;
  }

  // What a reply to request must be, field by field.
  static Bytes ExpectedReply(const Bytes& request, const char* yiaddr, const char* siaddr,
                             const std::string& file) {
    Bytes reply(300, 0);
    reply[0] = 2;
    std::memcpy(&reply[1], &request[1], 15);  // htype, hlen, hops, xid, secs, flags, ciaddr
    const uint32_t addresses[] = {inet_addr(yiaddr), inet_addr(siaddr)};
    std::memcpy(&reply[16], addresses, 8);
    std::memcpy(&reply[24], &request[24], 4);   // giaddr
    std::memcpy(&reply[28], &request[28], 16);  // chaddr
    std::memcpy(&reply[108], file.data(), file.size());
    const uint8_t vend[] = {99, 130, 83, 99, 255};
    if (std::memcmp(&request[236], vend, 4) == 0) std::memcpy(&reply[236], vend, sizeof vend);
    return reply;
  }

  std::string UnknownText(const std::array<uint8_t, 6>& hardware) {
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", hardware[0], hardware[1],
                  hardware[2], hardware[3], hardware[4], hardware[5]);
    return "A boot request for " + std::string(text) + " from 127.0.0.1 port " +
           std::to_string(PortOf(client_)) +
           " was not answered: no board of the active configuration has that hardware address.";
  }

  RegistryValue rootValue_{kPathKey, kRootValue};
  RegistryValue portValue_{kBootpKey, kListenPortValue};
  RegistryValue addressValue_{kBootpKey, kListenAddressValue};
  RegistryValue silentValue_{kBootpKey, kSilentValue};
  std::string root_;
  unsigned short port_ = 0;
  SOCKET client_ = INVALID_SOCKET;
  UniqueHandle resetEvent_, finished_;
  Sink sink_;
  ComPtr<IBootpServer> server_;
};

TEST_F(BootReplies, KnownBoardsGetTheirAddressAndListFileStrangersNothing) {
  WriteThreeBoards();
  ASSERT_TRUE(StartListening());

  Bytes request = Request(kFirst, 0x12345678, true);
  EXPECT_EQ(Exchange(request),
            ExpectedReply(request, "10.0.0.1", "127.0.0.1", root_ + "\\active\\3456AB.cfg"));
  // Without a list file the board still gets its address; a longer request
  // (a later protocol's) is answered the same.
  request = Request(kPanel, 0xCAFEF00D);
  request.resize(548, 0x42);
  EXPECT_EQ(Exchange(request), ExpectedReply(request, "192.168.1.9", "127.0.0.1", ""));

  // A stranger is reported once per configuration, and never answered.
  Send(Request(kStranger, 1));
  EXPECT_TRUE(NothingArrives());
  EXPECT_EQ(sink_.Next(), std::make_pair(DISPID{kInfo}, UnknownText(kStranger)));
  Send(Request(kStranger, 2));
  EXPECT_TRUE(NothingArrives());
  EXPECT_EQ(sink_.Next(300).first, 0);
  // Of a crowd of strangers, 64 are named; one more text says that the
  // rest are not.
  for (uint8_t last = 2; last <= 66; ++last) Send(Request({2, 0, 0, 0, 0, last}, last));
  for (uint8_t last = 2; last <= 64; ++last)
    EXPECT_EQ(sink_.Next().second, UnknownText({2, 0, 0, 0, 0, last}));
  EXPECT_EQ(sink_.Next().second, "Boot requests came for 64 unknown hardware addresses: no more "
                                  "are reported until the next reset.");
  EXPECT_EQ(sink_.Next(300).first, 0);

  // Listening on every address, the server names the one it is reached at.
  addressValue_.Remove();
  ASSERT_TRUE(Reset());
  request = Request(kSecond, 77);
  EXPECT_EQ(Exchange(request),
            ExpectedReply(request, "10.0.0.2", "127.0.0.1", root_ + "\\active\\3456CD.cfg"));
}

TEST_F(BootReplies, RepliesFollowTheConfigurationOfTheLastReset) {
  WriteThreeBoards();
  ASSERT_TRUE(StartListening());
  const Bytes first = Request(kFirst, 1), second = Request(kSecond, 2);
  ASSERT_EQ(Exchange(first).size(), 300u);

  // Written, not yet announced: the old configuration still answers.
  WriteActive("00A0123456AB=10.0.0.77 NOPATH FFFF 0000 MOVED 0 X\r\n");
  EXPECT_EQ(Exchange(first),
            ExpectedReply(first, "10.0.0.1", "127.0.0.1", root_ + "\\active\\3456AB.cfg"));
  ASSERT_TRUE(Reset());
  EXPECT_EQ(Exchange(first), ExpectedReply(first, "10.0.0.77", "127.0.0.1", ""));
  Send(second);
  EXPECT_TRUE(NothingArrives()) << "a board the new set does not have";

  // A configuration that cannot be read leaves the last one answering.
  WriteActive("00A0123456AB=10.0.0.5 NOPATH FFFF 0000 BROKEN zero X\r\n");
  ASSERT_TRUE(Reset());
  EXPECT_EQ(Exchange(first), ExpectedReply(first, "10.0.0.77", "127.0.0.1", ""));

  // A list file path longer than the reply's file field: no reply, and said.
  while (sink_.Next(100).first) {
  }
  const std::string longPath = root_ + "\\active\\" + std::string(100, 'L') + ".cfg";
  WriteActive("00A0123456AB=10.0.0.5 " + longPath + " 1A2B 0001 LONG 0 V\r\n");
  EXPECT_EQ(ResetAndReport().first, kNonFatalError) << "the list file is not on disk";
  EXPECT_EQ(sink_.Next().second, "A board gets no boot reply, since the path of its list file is "
                                 "longer than 127 characters: LONG (" + longPath + ").");
  Send(first);
  EXPECT_TRUE(NothingArrives());

  // Resets also follow the listening settings: gone, the port is free.
  portValue_.Remove();
  ASSERT_TRUE(Reset());
  std::string texts;
  for (auto event = sink_.Next(300); event.first; event = sink_.Next(300)) texts += event.second;
  EXPECT_NE(texts.find("No longer answering boot requests"), std::string::npos) << texts;
  SOCKET taken = BoundSocket(port_);
  EXPECT_NE(taken, INVALID_SOCKET);
  closesocket(taken);
}

TEST_F(BootReplies, ListenerProblemsAreReportedAndResetsStillAnswered) {
  WriteThreeBoards();
  // Off unless an operator sets the port: nothing is bound, nothing said.
  portValue_.Remove();
  ASSERT_TRUE(Start());
  EXPECT_EQ(sink_.Next().second.rfind("Serving 3 boards", 0), 0u);
  EXPECT_EQ(sink_.Next(300).first, 0);
  Send(Request(kFirst, 1));
  EXPECT_TRUE(NothingArrives());

  // The port taken by someone else.
  SOCKET taken = BoundSocket(port_);
  ASSERT_NE(taken, INVALID_SOCKET);
  portValue_.Set(DWORD{port_});
  EXPECT_EQ(ResetAndReport(),
            std::make_pair(DISPID{kNonFatalError},
                           "Boot requests are not answered: could not bind the socket on "
                           "127.0.0.1 port " + std::to_string(port_) +
                               ": another program uses that port (Windows Sockets error 10048)."));
  closesocket(taken);

  // Unusable values, each reported; the next reset with good ones listens.
  const std::string value = "\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlow\\Korvane\\Bootp is not ";
  portValue_.Set(std::string("67"));
  EXPECT_EQ(ResetAndReport().second, "The value \"Listen Port" + value +
                                         "a REG_DWORD from 1 to 65535.  Boot requests are not "
                                         "answered.");
  portValue_.Set(DWORD{port_});
  addressValue_.Set("127.0.0");
  EXPECT_EQ(ResetAndReport().second, "The value \"Listen Address" + value +
                                         "a dotted IPv4 address.  Boot requests are not answered.");
  addressValue_.Set("127.0.0.1");
  EXPECT_EQ(ResetAndReport().second, ListeningText());
  EXPECT_EQ(Exchange(Request(kFirst, 1)).size(), 300u);
}

TEST_F(BootReplies, ReleaseLeavesNoThreadAndNoSocket) {
  WriteThreeBoards();
  // Once, so that what COM and the sockets load on first use is counted.
  ASSERT_TRUE(StartListening());
  server_.reset();
  const size_t before = ThreadsOfThisProcess();

  ASSERT_TRUE(StartListening());
  EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
  EXPECT_EQ(BoundSocket(port_), INVALID_SOCKET) << "the component holds the port";
  server_.reset();
  EXPECT_EQ(ThreadsOfThisProcess(), before);
  SOCKET again = BoundSocket(port_);
  EXPECT_NE(again, INVALID_SOCKET) << "the port is free again";
  closesocket(again);
}

// Every datagram is derived from a request, most often a stranger's: cut
// short, bits flipped, op, htype or hlen wrong, random bytes, too long, or
// padded. A reply is due exactly when the result is still a boot request
// (at least 300 and at most 2048 bytes, op 1, htype 1, hlen 6) for a known
// board. After every batch a valid probe must be answered next: the
// component handles datagrams in order, so a reply to garbage would arrive
// before the probe's.
TEST_F(BootReplies, SurvivesMutatedDatagramsAndAnswersOnlyRequests) {
  WriteThreeBoards();
  ASSERT_TRUE(StartListening());
  std::mt19937 random(20261206);
  const std::array<uint8_t, 6> known[] = {kFirst, kSecond, kPanel};
  constexpr int kDatagrams = 100000, kBatch = 32;
  int sent = 0, answered = 0;
  uint32_t probeId = 0xF0000000;
  while (sent < kDatagrams) {
    std::vector<Bytes> due;
    for (int i = 0; i < kBatch; ++i, ++sent) {
      Bytes datagram = Request(random() % 4 ? kStranger : known[random() % 3], random(),
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
      bool request = datagram.size() >= 300 && datagram.size() <= 2048 && datagram[0] == 1 &&
                     datagram[1] == 1 && datagram[2] == 6;
      for (int board = 0; request && board < 3; ++board)
        if (std::memcmp(&datagram[28], known[board].data(), 6) == 0) due.push_back(datagram);
    }
    const Bytes probe = Request(kPanel, ++probeId);
    Send(probe);
    due.push_back(probe);
    for (const Bytes& request : due) {
      Bytes reply = Receive();
      ASSERT_EQ(reply.size(), 300u) << "after " << sent << " datagrams";
      ASSERT_EQ(reply[0], 2);
      ASSERT_EQ(std::memcmp(&reply[4], &request[4], 4), 0) << "xid, after " << sent;
      ASSERT_EQ(std::memcmp(&reply[28], &request[28], 16), 0) << "chaddr, after " << sent;
      ++answered;
    }
  }
  EXPECT_TRUE(NothingArrives()) << "a reply nobody asked for";
  EXPECT_GT(answered, kDatagrams / 20);
  const Bytes last = Request(kFirst, 42, true);
  EXPECT_EQ(Exchange(last),
            ExpectedReply(last, "10.0.0.1", "127.0.0.1", root_ + "\\active\\3456AB.cfg"));
}

}  // namespace
