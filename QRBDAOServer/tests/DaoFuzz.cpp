// Mutated calls through every IQRBDAO method of an in-process database
// server object: names, SQL texts, field values of every variant type that
// can cross the process boundary, handles right and wrong, sizes that lie.
// Whatever arrives, the server must answer: no crash, no call that does not
// return, and every failure must come with a text that says what was wrong.
//
//   dao_fuzz [CALLS] [SEED] [DIRECTORY]
//       CALLS      how many calls (default 100000)
//       SEED       the random seed (default 1); the same seed gives the same
//                  calls, so a failure can be replayed
//       DIRECTORY  where the databases go (default a fresh temporary folder,
//                  removed afterwards)
//
// Prints the count of calls made, refused and accepted, the longest call,
// and every unclear refusal; exits 1 when there was one, and ends the
// process with exit code 2 when one call does not return within a minute.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DaoServerObject.h"
#include "DaoTestSupport.h"
#include "QRBDAO.h"

namespace {

// Short limits, so that the runaway statements among the calls cost little.
DaoLimits FuzzLimits() {
  DaoLimits limits;
  limits.statementMs = 150;
  limits.recordSetRows = 20000;
  limits.handles = 64;
  return limits;
}

constexpr DWORD kHangMs = 60000;
// A fresh connection and, now and then, fresh files keep one bad turn from
// shaping all later ones, and the disk from filling.
constexpr int kCallsPerConnection = 400;
constexpr int kConnectionsPerCleanup = 10;

const char* const kDatabaseNames[] = {
    "Fuzz", "fuzz", "Fuzz2", "QRB Errors", "", "CON", "nul.txt", "a/b", "..\\up", "x.", " lead",
    "C:\\abs", "semi;colon", "per%cent%s%n", "\xC4\xD6\xDC", "tab\there", "trail ",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"};

const char* const kObjectNames[] = {
    "T", "Items", "items", "Log", "korvane_fielddefs", "KORVANE_QUERYDEFS", "sqlite_master",
    "sqlite_sequence", "sqlite_x", "a.b", "[x]", "`x`", "x!", "", " lead", "\"quoted\"",
    "it's", "%s%s%n", "\xC4pfel", "Date/Time", "Error Message", "0", "select", "pragma_table_info",
    "very_long_name_very_long_name_very_long_name_very_long_name_very_long"};

const char* const kSql[] = {
    "SELECT * FROM T",
    "SELECT Id, Name FROM Items WHERE Id > 2 ORDER BY Name",
    "SELECT count(*) FROM T",
    "INSERT INTO T (A) VALUES (1)",
    "INSERT INTO T (F4, F10, F11) VALUES (1, 'x', x'00ff')",
    "SELECT F4, F10, F8 FROM T WHERE F4 > 3 ORDER BY F10 DESC",
    "UPDATE T SET F10 = F10 || 'y' WHERE F4 % 3 = 0",
    "DELETE FROM T WHERE F4 IS NULL",
    "INSERT INTO T (F4) SELECT F4 + 1 FROM T",
    "INSERT INTO Items VALUES (1, 'x', x'00ff')",
    "UPDATE Items SET Name = 'y' WHERE Id = 1",
    "DELETE FROM T WHERE rowid % 2 = 0",
    "CREATE TABLE Made (A INTEGER, B TEXT, C BLOB, D DATETIME, E BOOLEAN)",
    "CREATE TABLE T2 AS SELECT * FROM T",
    "DROP TABLE T",
    "ALTER TABLE T ADD COLUMN Z VARCHAR(5)",
    "CREATE VIEW V AS SELECT * FROM T",
    "CREATE INDEX I ON T (A)",
    "SELECT * FROM V",
    "VACUUM",
    "VACUUM INTO 'C:\\\\fuzz-escape.db'",
    "ATTACH 'C:\\\\fuzz-escape.db' AS e",
    "DETACH e",
    "PRAGMA writable_schema = 1",
    "PRAGMA journal_mode = OFF",
    "SELECT * FROM pragma_table_info('T')",
    "CREATE TRIGGER G AFTER INSERT ON T BEGIN DELETE FROM T; END",
    "CREATE TEMP TABLE korvane_querydefs (name, sql)",
    "SELECT * FROM korvane_querydefs",
    "DELETE FROM korvane_fielddefs",
    "UPDATE sqlite_master SET sql = 'x'",
    "BEGIN",
    "COMMIT",
    "SAVEPOINT s",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 30000) SELECT i FROM n",
    "INSERT INTO T (A) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n",
    "SELECT zeroblob(1000000000)",
    "SELECT length(randomblob(200000000))",
    "SELECT printf('%.*c', 1000000000, 'x')",
    "SELECT group_concat(i) FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n)",
    "SELECT ((((((((((((((((((((1))))))))))))))))))))",
    "SELECT 1; SELECT 2",
    "   ;  ",
    "-- only a comment",
    "/* unterminated",
    "SELECT '\xC4\xD6\xDC'",
    "SELECT load_extension('x')",
    "SELECT * FROM T WHERE A LIKE '%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%b'",
    "SELECT json_each.value FROM json_each('[1,2,3]')",
    "EXPLAIN SELECT 1",
    "EXPLAIN QUERY PLAN SELECT * FROM T",
    "REINDEX",
    "ANALYZE",
    "SELECT * FROM sqlite_master",
    "INSERT INTO T DEFAULT VALUES",
};

const VARTYPE kArrayTypes[] = {VT_UI1, VT_I1, VT_I4, VT_BSTR, VT_VARIANT, VT_R8};

class Fuzzer {
 public:
  Fuzzer(uint64_t seed, std::string directory) : random_(seed), directory_(std::move(directory)) {}

  // The description of the call now running, for a hang report.
  std::string Current() {
    std::lock_guard<std::mutex> hold(lock_);
    return current_;
  }
  std::atomic<ULONGLONG> lastProgress{GetTickCount64()};

  int Run(long calls) {
    long made = 0, refused = 0, unclear = 0;
    ULONGLONG longest = 0;
    std::string longestCall;
    std::map<std::string, long> refusalsByMethod;
    for (long i = 0; i < calls; ++i) {
      if (i % kCallsPerConnection == 0) Reconnect(i / kCallsPerConnection);
      // A closed database stays closed for a while only.
      if (!open_ && OneIn(16)) SetScene();
      const ULONGLONG start = GetTickCount64();
      const HRESULT hr = OneCall();
      const ULONGLONG took = GetTickCount64() - start;
      lastProgress = GetTickCount64();
      ++made;
      if (took > longest) {
        longest = took;
        longestCall = Current();
      }
      if (SUCCEEDED(hr)) continue;
      ++refused;
      ++refusalsByMethod[method_];
      const std::string problem = CheckErrorText(hr);
      if (problem.empty()) continue;
      if (++unclear <= 20)
        std::printf("unclear refusal #%ld: %s\n  call: %s\n", i, problem.c_str(), Current().c_str());
    }
    Disconnect();
    std::printf("calls: %ld (accepted %ld, refused %ld), unclear refusals: %ld\n", made,
                made - refused, refused, unclear);
    std::printf("longest call: %llu ms (%s)\n", longest, longestCall.c_str());
    std::printf("refusals by method:");
    for (const auto& [method, count] : refusalsByMethod) std::printf(" %s %ld", method.c_str(), count);
    std::printf("\n");
    std::vector<std::pair<long, std::string>> common;
    for (const auto& [text, count] : texts_) common.emplace_back(count, text);
    std::sort(common.rbegin(), common.rend());
    std::printf("most frequent refusals:\n");
    for (size_t i = 0; i < common.size() && i < 12; ++i)
      std::printf("  %6ld  %s...\n", common[i].first, common[i].second.c_str());
    return unclear ? 1 : 0;
  }

 private:
  // ---- the connection ----

  void Reconnect(long round) {
    Disconnect();
    if (round % kConnectionsPerCleanup == 0) {
      RemoveDirectoryTree(directory_);
      CreateDirectoryA(directory_.c_str(), nullptr);
    }
    void* object = nullptr;
    if (FAILED(CreateDaoServerObject(directory_, FuzzLimits(), IID_IQRBDAO, &object))) {
      std::printf("could not make a database server object\n");
      std::exit(1);
    }
    dao_ = static_cast<IQRBDAO*>(object);
    handles_.clear();
    open_ = false;
    // Most rounds start where the interesting calls are: in a database with
    // a table of every kind of field, a record set and a query open on it.
    if (round % 10 != 9) SetScene();
  }

  void SetScene() {
    if (FAILED(dao_->DatabaseOpen(Fixed("Fuzz"))) && FAILED(dao_->DatabaseCreate(Fixed("Fuzz"))))
      return;
    open_ = true;
    ULONG table = 0, handle = 0;
    if (FAILED(dao_->TableOpen(Fixed("T"), &table))) {
      if (FAILED(dao_->TableCreate(Fixed("T"), &table))) return;
      static const short types[] = {4, 10, 11, 8, 1, 7, 3, 12};
      for (short type : types)
        dao_->CreateField(table, Fixed(("F" + std::to_string(type)).c_str()), type, 0, 0);
      dao_->TableAppend(table);
    }
    handles_.push_back(table);
    if (SUCCEEDED(dao_->RecordSetTableOpen(table, 1, 0, &handle))) handles_.push_back(handle);
    if (SUCCEEDED(dao_->QueryDefCreate(Fixed(""), Fixed("SELECT * FROM T"), &handle)))
      handles_.push_back(handle);
    DrainErrorText();
  }

  // A well-formed counted text, for the calls that set the scene.
  static DaoString Fixed(const char* text) {
    return DaoString{static_cast<unsigned long>(std::strlen(text) + 1), const_cast<char*>(text)};
  }

  void DrainErrorText() {
    unsigned short size = 0;
    char* text = nullptr;
    if (SUCCEEDED(dao_->GetErrorText(&size, &text))) CoTaskMemFree(text);
  }

  void Disconnect() {
    if (dao_) dao_->Release();
    dao_ = nullptr;
  }

  // Empty when the failure came with a clear text; else what was wrong.
  std::string CheckErrorText(HRESULT hr) {
    unsigned short size = 0;
    char* text = nullptr;
    if (FAILED(dao_->GetErrorText(&size, &text)) || !text)
      return "the call failed (0x" + Hex(hr) + ") and left no error text";
    std::string message(text, strnlen(text, size));
    CoTaskMemFree(text);
    if (message.empty()) return "the error text is empty";
    if (message.find("unexpected failure") != std::string::npos ||
        message.find("not authorized") != std::string::npos ||
        message.find("interrupted") != std::string::npos)
      return "the error text does not say why: " + message;
    if (size != message.size() + 1) return "the error text's size is wrong: " + message;
    ++texts_[message.substr(0, std::min(message.find('"'), size_t{48}))];
    return {};
  }

  static std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(hr));
    return text;
  }

  // ---- random pieces ----

  uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(random_() % n) : 0; }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[Below(N)];
  }

  std::string RandomBytes(size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(Below(256));
    return bytes;
  }

  std::string Mutate(std::string text) {
    const uint32_t rounds = Below(4);
    for (uint32_t r = 0; r < rounds; ++r) {
      const size_t at = text.empty() ? 0 : Below(static_cast<uint32_t>(text.size()));
      switch (Below(7)) {
        case 0: if (!text.empty()) text[at] = static_cast<char>(Below(256)); break;
        case 1: text.insert(at, 1, static_cast<char>(Below(256))); break;
        case 2: text.erase(at, Below(8)); break;
        case 3: text.insert(at, text.substr(at, Below(16))); break;
        case 4: text.resize(at); break;
        case 5: text.insert(at, Pick(kSql)); break;
        case 6: text.insert(at, std::string(" ") + Pick(kObjectNames) + " "); break;
      }
    }
    return text;
  }

  std::string Name(const char* const* list, size_t count) {
    if (OneIn(10)) return RandomBytes(Below(80));
    std::string name = list[Below(static_cast<uint32_t>(count))];
    return OneIn(5) ? Mutate(name) : name;
  }
  std::string DatabaseName() {
    return Name(kDatabaseNames, sizeof kDatabaseNames / sizeof *kDatabaseNames);
  }
  std::string ObjectName() { return Name(kObjectNames, sizeof kObjectNames / sizeof *kObjectNames); }
  std::string Sql() {
    if (OneIn(20)) return RandomBytes(Below(200));
    const std::string sql = Pick(kSql);
    return OneIn(3) ? Mutate(sql) : sql;
  }

  // A counted text as it arrives from a remote client: exactly size bytes,
  // maybe without a NUL, maybe no buffer at all.
  struct Text {
    std::vector<char> bytes;
    DaoString get() {
      DaoString s;
      s.size = static_cast<unsigned long>(bytes.size());
      s.str = bytes.empty() ? nullptr : bytes.data();
      return s;
    }
  };
  Text Counted(const std::string& text) {
    Text counted;
    switch (Below(40)) {
      case 0: break;  // no buffer
      case 1: counted.bytes.assign(text.begin(), text.end()); break;  // no NUL
      case 2:  // a size that stops inside the text
        counted.bytes.assign(text.begin(), text.begin() + static_cast<long>(Below(static_cast<uint32_t>(text.size()) + 1)));
        break;
      case 3:  // more after the NUL
        counted.bytes.assign(text.begin(), text.end());
        counted.bytes.push_back('\0');
        for (int i = 0; i < 8; ++i) counted.bytes.push_back('Z');
        break;
      default:
        counted.bytes.assign(text.begin(), text.end());
        counted.bytes.push_back('\0');
    }
    return counted;
  }

  ULONG Handle() {
    if (!handles_.empty() && !OneIn(8)) return handles_[Below(static_cast<uint32_t>(handles_.size()))];
    switch (Below(5)) {
      case 0: return 0;
      case 1: return 0xFFFFFFFFul;
      case 2: return handles_.empty() ? 1 : handles_.back() + 1;
      default: return static_cast<ULONG>(random_());
    }
  }

  long SmallNumber() {
    switch (Below(6)) {
      case 0: return -1;
      case 1: return static_cast<long>(random_());
      case 2: return std::numeric_limits<long>::min();
      default: return static_cast<long>(Below(14));
    }
  }

  long OpenType() {
    static const long types[] = {1, 2, 4, 8, 0, 3, 16, -1};
    return types[Below(8)];
  }
  long Options() {
    static const long options[] = {0, 0, 4, 8, 256, 512, 128, 0x10000, -1};
    return options[Below(9)];
  }

  BSTR Bstr(const std::string& text) {
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), b, wide);
    return b;
  }

  SAFEARRAY* Array(VARTYPE type) {
    const bool twoDimensions = OneIn(8);
    SAFEARRAYBOUND bounds[2] = {{Below(40), static_cast<LONG>(Below(3)) - 1}, {Below(4), 0}};
    SAFEARRAY* a = SafeArrayCreate(type, twoDimensions ? 2 : 1, bounds);
    if (!a || type != VT_UI1 || twoDimensions) return a;
    void* data = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(a, &data))) {
      for (ULONG i = 0; i < bounds[0].cElements; ++i) static_cast<unsigned char*>(data)[i] = static_cast<unsigned char>(Below(256));
      SafeArrayUnaccessData(a);
    }
    return a;
  }

  double Real() {
    static const double specials[] = {0.0, -0.0, 1e308, -1e308, 3e38, 1e-320,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      2958465.99999, -657434.0, 37000.5, 1e7};
    if (OneIn(2)) return specials[Below(sizeof specials / sizeof *specials)];
    return (static_cast<double>(random_()) / 1e15) * (OneIn(2) ? 1 : -1);
  }

  // A value of a variant type that a remote client can send; by-reference
  // ones point at storage that lives as long as the call.
  void Value(VARIANT& v) {
    VariantInit(&v);
    switch (Below(24)) {
      case 0: v.vt = VT_EMPTY; break;
      case 1: v.vt = VT_NULL; break;
      case 2: v.vt = VT_I1; v.cVal = static_cast<CHAR>(Below(256)); break;
      case 3: v.vt = VT_I2; v.iVal = static_cast<SHORT>(random_()); break;
      case 4: v.vt = VT_I4; v.lVal = static_cast<LONG>(random_()); break;
      case 5: v.vt = VT_I8; v.llVal = static_cast<LONGLONG>(random_()); break;
      case 6: v.vt = VT_UI1; v.bVal = static_cast<BYTE>(random_()); break;
      case 7: v.vt = VT_UI4; v.ulVal = static_cast<ULONG>(random_()); break;
      case 8: v.vt = VT_UI8; v.ullVal = random_(); break;
      case 9: v.vt = VT_R4; v.fltVal = static_cast<float>(Real()); break;
      case 10: v.vt = VT_R8; v.dblVal = Real(); break;
      case 11: v.vt = VT_DATE; v.date = Real(); break;
      case 12: v.vt = VT_CY; v.cyVal.int64 = static_cast<LONGLONG>(random_()); break;
      case 13: v.vt = VT_BOOL; v.boolVal = OneIn(2) ? VARIANT_TRUE : static_cast<VARIANT_BOOL>(random_()); break;
      case 14: v.vt = VT_ERROR; v.scode = static_cast<SCODE>(random_()); break;
      case 15: {
        v.vt = VT_DECIMAL;
        v.decVal.scale = static_cast<BYTE>(Below(30));
        v.decVal.sign = OneIn(2) ? DECIMAL_NEG : 0;
        v.decVal.Hi32 = static_cast<ULONG>(random_());
        v.decVal.Lo64 = random_();
        break;
      }
      case 16: {
        static const char* const texts[] = {"42", "-7", "1e400", "2004-11-02 11:20:04", "true", "",
                                            "12/31/1899", "abc", "0x10", " 5 ", "99999999999999999999"};
        v.vt = VT_BSTR;
        v.bstrVal = Bstr(OneIn(3) ? RandomBytes(Below(300)) : texts[Below(11)]);
        break;
      }
      case 17: v.vt = VT_ARRAY | VT_UI1; v.parray = Array(VT_UI1); break;
      case 18: {
        const VARTYPE type = kArrayTypes[Below(sizeof kArrayTypes / sizeof *kArrayTypes)];
        v.vt = VT_ARRAY | type;
        v.parray = Array(type);
        break;
      }
      case 19: v.vt = VT_BYREF | VT_I4; v.plVal = &refLong_; refLong_ = static_cast<LONG>(random_()); break;
      case 20: {
        VariantClear(&refVariant_);
        refVariant_.vt = VT_R8;
        refVariant_.dblVal = Real();
        v.vt = VT_BYREF | VT_VARIANT;
        v.pvarVal = &refVariant_;
        break;
      }
      case 21: {
        SysFreeString(refBstr_);
        refBstr_ = Bstr(RandomBytes(Below(20)));
        v.vt = VT_BYREF | VT_BSTR;
        v.pbstrVal = &refBstr_;
        break;
      }
      case 22: v.vt = OneIn(2) ? VT_UNKNOWN : VT_DISPATCH; v.punkVal = nullptr; break;
      case 23: v.vt = VT_INT; v.intVal = static_cast<INT>(random_()); break;
    }
  }

  // ---- one call ----

  void Describe(const char* method, const std::string& arguments) {
    std::lock_guard<std::mutex> hold(lock_);
    method_ = method;
    current_ = std::string(method) + "(" + arguments + ")";
  }

  static std::string Show(const std::string& text) {
    std::string shown = "\"";
    for (unsigned char c : text.substr(0, 120)) {
      if (c < 32 || c >= 127) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        shown += escaped;
      } else {
        shown += static_cast<char>(c);
      }
    }
    return shown + (text.size() > 120 ? "...\"" : "\"");
  }

  void Keep(HRESULT hr, ULONG handle) {
    if (SUCCEEDED(hr)) handles_.push_back(handle);
  }
  void Forget(HRESULT hr, ULONG handle) {
    if (SUCCEEDED(hr)) handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
  }

  HRESULT OneCall() {
    unsigned char flag = 0;
    unsigned short count = 0;
    ULONG handle = 0;
    DaoString out{0, nullptr};
    HRESULT hr = S_OK;
    // Opening and adding come up more often than the rest, so that later
    // calls meet tables, record sets and queries to work on.
    static const int kWeights[] = {2, 3, 6, 10, 2, 2, 2, 2, 2, 2, 6, 6, 2, 10, 3,
                                   6, 6, 2, 8, 8, 3, 2, 2, 3, 3, 12, 6, 2, 2, 2, 10, 4, 2, 3, 8};
    static_assert(sizeof kWeights / sizeof *kWeights == 35, "one weight per method");
    int total = 0;
    for (int w : kWeights) total += w;
    int pick = static_cast<int>(Below(static_cast<uint32_t>(total)));
    int method = 0;
    while (pick >= kWeights[method]) pick -= kWeights[method++];
    switch (method) {
      case 0: {
        const std::string name = DatabaseName();
        Text t = Counted(name);
        Describe("CompactDatabase", Show(name));
        hr = dao_->CompactDatabase(t.get());
        break;
      }
      case 1: {
        const std::string name = DatabaseName();
        Text t = Counted(name);
        Describe("DatabaseExists", Show(name));
        hr = dao_->DatabaseExists(t.get(), &flag);
        break;
      }
      case 2: {
        const std::string name = DatabaseName();
        Text t = Counted(name);
        Describe("DatabaseCreate", Show(name));
        hr = dao_->DatabaseCreate(t.get());
        if (SUCCEEDED(hr)) {
          handles_.clear();
          open_ = true;
        }
        break;
      }
      case 3: {
        const std::string name = DatabaseName();
        Text t = Counted(name);
        Describe("DatabaseOpen", Show(name));
        hr = dao_->DatabaseOpen(t.get());
        if (SUCCEEDED(hr)) {
          handles_.clear();
          open_ = true;
        }
        break;
      }
      case 4:
        Describe("DatabaseClose", "");
        hr = dao_->DatabaseClose();
        if (SUCCEEDED(hr)) {
          handles_.clear();
          open_ = false;
        }
        break;
      case 5:
        Describe("GetTableDefCount", "");
        hr = dao_->GetTableDefCount(&count);
        break;
      case 6: {
        const long index = SmallNumber();
        Describe("GetTableDefName", std::to_string(index));
        hr = dao_->GetTableDefName(index, &out);
        break;
      }
      case 7:
        Describe("GetQueryDefCount", "");
        hr = dao_->GetQueryDefCount(&count);
        break;
      case 8: {
        const long index = SmallNumber();
        Describe("GetQueryDefName", std::to_string(index));
        hr = dao_->GetQueryDefName(index, &out);
        break;
      }
      case 9: {
        const std::string name = ObjectName();
        Text t = Counted(name);
        Describe("TableExists", Show(name));
        hr = dao_->TableExists(t.get(), &flag);
        break;
      }
      case 10: {
        const std::string name = ObjectName();
        Text t = Counted(name);
        Describe("TableOpen", Show(name));
        hr = dao_->TableOpen(t.get(), &handle);
        Keep(hr, handle);
        break;
      }
      case 11: {
        const std::string name = ObjectName();
        Text t = Counted(name);
        Describe("TableCreate", Show(name));
        hr = dao_->TableCreate(t.get(), &handle);
        Keep(hr, handle);
        break;
      }
      case 12: {
        const ULONG table = Handle();
        Describe("TableClose", std::to_string(table));
        hr = dao_->TableClose(table);
        Forget(hr, table);
        break;
      }
      case 13: {
        const ULONG table = Handle();
        const std::string name = OneIn(3) ? ObjectName() : "F" + std::to_string(Below(12));
        static const short types[] = {1, 2, 3, 4, 6, 7, 8, 10, 11, 12, 0, 5, -1, 9, 13, 32767};
        const short type = types[Below(16)];
        const long size = OneIn(2) ? 0 : SmallNumber() * (OneIn(2) ? 1 : 40);
        const long attributes = OneIn(3) ? SmallNumber() : 0;
        Text t = Counted(name);
        Describe("CreateField", std::to_string(table) + ", " + Show(name) + ", " + std::to_string(type) +
                                    ", " + std::to_string(size) + ", " + std::to_string(attributes));
        hr = dao_->CreateField(table, t.get(), type, size, attributes);
        break;
      }
      case 14: {
        const ULONG table = Handle();
        Describe("TableAppend", std::to_string(table));
        hr = dao_->TableAppend(table);
        break;
      }
      case 15: {
        const ULONG table = Handle();
        const long type = OpenType(), options = Options();
        Describe("RecordSetTableOpen", std::to_string(table) + ", " + std::to_string(type) + ", " + std::to_string(options));
        hr = dao_->RecordSetTableOpen(table, type, options, &handle);
        Keep(hr, handle);
        break;
      }
      case 16: {
        const ULONG query = Handle();
        const long type = OpenType(), options = Options();
        Describe("RecordSetQueryDefOpen", std::to_string(query) + ", " + std::to_string(type) + ", " + std::to_string(options));
        hr = dao_->RecordSetQueryDefOpen(query, type, options, &handle);
        Keep(hr, handle);
        break;
      }
      case 17: {
        const ULONG rs = Handle();
        Describe("RecordSetClose", std::to_string(rs));
        hr = dao_->RecordSetClose(rs);
        Forget(hr, rs);
        break;
      }
      case 18: {
        const ULONG rs = Handle();
        Describe("AddNew", std::to_string(rs));
        hr = dao_->AddNew(rs);
        break;
      }
      case 19: {
        const ULONG rs = Handle();
        Describe("Update", std::to_string(rs));
        hr = dao_->Update(rs);
        break;
      }
      case 20: {
        const ULONG rs = Handle();
        Describe("Delete", std::to_string(rs));
        hr = dao_->Delete(rs);
        break;
      }
      case 21: case 22: case 23: case 24: {
        const ULONG rs = Handle();
        static const char* const names[] = {"MoveFirst", "MoveLast", "MoveNext", "MovePrev"};
        Describe(names[method - 21], std::to_string(rs));
        hr = method == 21 ? dao_->MoveFirst(rs) : method == 22 ? dao_->MoveLast(rs)
             : method == 23 ? dao_->MoveNext(rs) : dao_->MovePrev(rs);
        break;
      }
      case 25: {
        const ULONG rs = Handle();
        const long ordinal = OneIn(5) ? SmallNumber() : static_cast<long>(Below(5));
        VARIANT value;
        Value(value);
        Describe("SetFieldValue", std::to_string(rs) + ", " + std::to_string(ordinal) + ", vt " + std::to_string(value.vt));
        hr = dao_->SetFieldValue(rs, ordinal, value);
        if (!(value.vt & VT_BYREF)) VariantClear(&value);
        break;
      }
      case 26: {
        const ULONG rs = Handle();
        const long ordinal = OneIn(5) ? SmallNumber() : static_cast<long>(Below(5));
        static const char* const texts[] = {"12", "-32769", "2004-11-02", "yes", "", "3.5e3", "x"};
        const std::string text = OneIn(3) ? RandomBytes(Below(400)) : texts[Below(7)];
        Text t = Counted(text);
        Describe("SetFieldValueString", std::to_string(rs) + ", " + std::to_string(ordinal) + ", " + Show(text));
        hr = dao_->SetFieldValueString(rs, ordinal, t.get());
        break;
      }
      case 27: {
        const ULONG rs = Handle();
        Describe("IsBOF", std::to_string(rs));
        hr = dao_->IsBOF(rs, &flag);
        break;
      }
      case 28: {
        const ULONG rs = Handle();
        Describe("IsEOF", std::to_string(rs));
        hr = dao_->IsEOF(rs, &flag);
        break;
      }
      case 29: {
        const std::string name = ObjectName();
        Text t = Counted(name);
        Describe("QueryDefExists", Show(name));
        hr = dao_->QueryDefExists(t.get(), &flag);
        break;
      }
      case 30: {
        const std::string name = OneIn(2) ? std::string() : ObjectName();
        const std::string sql = Sql();
        Text n = Counted(name), s = Counted(sql);
        Describe("QueryDefCreate", Show(name) + ", " + Show(sql));
        hr = dao_->QueryDefCreate(n.get(), s.get(), &handle);
        Keep(hr, handle);
        break;
      }
      case 31: {
        const std::string name = ObjectName();
        Text t = Counted(name);
        Describe("QueryDefOpen", Show(name));
        hr = dao_->QueryDefOpen(t.get(), &handle);
        Keep(hr, handle);
        break;
      }
      case 32: {
        const ULONG query = Handle();
        Describe("QueryDefClose", std::to_string(query));
        hr = dao_->QueryDefClose(query);
        Forget(hr, query);
        break;
      }
      case 33: {
        const ULONG query = Handle();
        Describe("QueryDefAppend", std::to_string(query));
        hr = dao_->QueryDefAppend(query);
        break;
      }
      case 34: {
        const ULONG query = Handle();
        const long options = OneIn(3) ? Options() : 0;
        Describe("QueryDefExecute", std::to_string(query) + ", " + std::to_string(options));
        hr = dao_->QueryDefExecute(query, options);
        break;
      }
    }
    CoTaskMemFree(out.str);
    return hr;
  }

  std::mt19937_64 random_;
  std::string directory_;
  IQRBDAO* dao_ = nullptr;
  std::vector<ULONG> handles_;
  bool open_ = false;
  LONG refLong_ = 0;
  VARIANT refVariant_{};
  BSTR refBstr_ = nullptr;
  std::mutex lock_;
  std::string current_;
  std::string method_;
  std::map<std::string, long> texts_;
};

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::max(1L, std::atol(argv[1])) : 100000;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const bool ownDirectory = argc <= 3;
  const std::string directory = ownDirectory ? MakeTempDirectory("daofuzz") : argv[3];
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::printf("dao_fuzz: %ld calls, seed %llu, databases in %s\n", calls,
              static_cast<unsigned long long>(seed), directory.c_str());
  std::fflush(stdout);
  Fuzzer fuzzer(seed, directory);

  // A call that does not come back ends the run with what it was.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    while (!finished) {
      Sleep(500);
      if (!finished && GetTickCount64() - fuzzer.lastProgress > kHangMs) {
        std::printf("HANG: no call returned for %lu ms; the call: %s\n", kHangMs,
                    fuzzer.Current().c_str());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 2);
      }
    }
  });
  const ULONGLONG start = GetTickCount64();
  const int status = fuzzer.Run(calls);
  std::printf("%.1f s\n", static_cast<double>(GetTickCount64() - start) / 1000);
  finished = true;
  watchdog.join();
  if (ownDirectory) RemoveDirectoryTree(directory);
  CoUninitialize();
  return status;
}
