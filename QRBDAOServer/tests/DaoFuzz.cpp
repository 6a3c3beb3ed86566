// Mutated calls through every IQRBDAO method of an in-process database server object: names, SQL
// texts, values of every variant type a remote client can send, handles right and wrong, sizes that
// lie. The server must answer every call (no crash, none that does not return) and give every
// refusal a text that says what was wrong. The same seed replays the same calls.
//   dao_fuzz [CALLS [SEED [DIRECTORY]]]   (100000, 1, a fresh temporary folder)
// Exits 1 on an unclear refusal, 2 when a call does not return within a minute.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DaoServerObject.h"
#include "DaoTestSupport.h"

namespace {

const char* const kDatabaseNames[] = {
    "Fuzz", "fuzz", "Fuzz2", "QRB Errors", "", "CON", "nul.txt", "a/b", "..\\up", "x.", " lead", "C:\\abs",
    "semi;colon", "per%cent%s%n", "\xC4\xD6\xDC", "tab\there", "trail ",
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"};
const char* const kObjectNames[] = {
    "T", "Items", "items", "Log", "korvane_fielddefs", "KORVANE_QUERYDEFS", "sqlite_master", "sqlite_sequence",
    "sqlite_x", "a.b", "[x]", "`x`", "x!", "", " lead", "\"quoted\"", "it's", "%s%s%n", "\xC4pfel", "Date/Time",
    "Error Message", "0", "select", "pragma_table_info",
    "very_long_name_very_long_name_very_long_name_very_long_name_very_long"};
const char* const kSql[] = {
    "SELECT * FROM T", "SELECT Id, Name FROM Items WHERE Id > 2 ORDER BY Name", "SELECT count(*) FROM T",
    "INSERT INTO T (A) VALUES (1)", "INSERT INTO T (F4, F10, F11) VALUES (1, 'x', x'00ff')",
    "SELECT F4, F10, F8 FROM T WHERE F4 > 3 ORDER BY F10 DESC", "UPDATE T SET F10 = F10 || 'y' WHERE F4 % 3 = 0",
    "DELETE FROM T WHERE F4 IS NULL", "INSERT INTO T (F4) SELECT F4 + 1 FROM T",
    "INSERT INTO Items VALUES (1, 'x', x'00ff')", "UPDATE Items SET Name = 'y' WHERE Id = 1",
    "DELETE FROM T WHERE rowid % 2 = 0", "CREATE TABLE Made (A INTEGER, B TEXT, C BLOB, D DATETIME, E BOOLEAN)",
    "CREATE TABLE T2 AS SELECT * FROM T", "DROP TABLE T", "ALTER TABLE T ADD COLUMN Z VARCHAR(5)",
    "CREATE VIEW V AS SELECT * FROM T", "CREATE INDEX I ON T (A)", "SELECT * FROM V", "VACUUM",
    "VACUUM INTO 'C:\\\\fuzz-escape.db'", "ATTACH 'C:\\\\fuzz-escape.db' AS e", "DETACH e",
    "PRAGMA writable_schema = 1", "PRAGMA journal_mode = OFF", "SELECT * FROM pragma_table_info('T')",
    "CREATE TRIGGER G AFTER INSERT ON T BEGIN DELETE FROM T; END", "CREATE TEMP TABLE korvane_querydefs (name, sql)",
    "SELECT * FROM korvane_querydefs", "DELETE FROM korvane_fielddefs", "UPDATE sqlite_master SET sql = 'x'", "BEGIN",
    "COMMIT", "SAVEPOINT s", "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n",
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 30000) SELECT i FROM n",
    "INSERT INTO T (A) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n",
    "SELECT zeroblob(1000000000)", "SELECT length(randomblob(200000000))", "SELECT printf('%.*c', 1000000000, 'x')",
    "SELECT group_concat(i) FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n)",
    "SELECT ((((((((((((((((((((1))))))))))))))))))))", "SELECT 1; SELECT 2", "   ;  ", "-- only a comment",
    "/* unterminated", "SELECT '\xC4\xD6\xDC'", "SELECT load_extension('x')",
    "SELECT * FROM T WHERE A LIKE '%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%%b'",
    "SELECT json_each.value FROM json_each('[1,2,3]')", "EXPLAIN SELECT 1", "EXPLAIN QUERY PLAN SELECT * FROM T",
    "REINDEX", "ANALYZE", "SELECT * FROM sqlite_master", "INSERT INTO T DEFAULT VALUES"};

class Fuzzer {
 public:
  Fuzzer(uint64_t seed, std::string directory) : random_(seed), directory_(std::move(directory)) {}
  std::atomic<ULONGLONG> lastProgress{GetTickCount64()};
  std::atomic<const char*> method{""};  // the call now running, for a hang report

  int Run(long calls) {
    long refused = 0, unclear = 0;
    for (long i = 0; i < calls; ++i) {
      // A fresh connection, now and then fresh files, and a scene set again now and then keep one
      // bad turn from shaping all later ones.
      if (i % 400 == 0) Reconnect(i / 400);
      if (OneIn(40)) SetScene();
      const HRESULT hr = OneCall();
      lastProgress = GetTickCount64();
      if (SUCCEEDED(hr)) continue;
      ++refused;
      const std::string problem = CheckErrorText();
      if (!problem.empty() && ++unclear <= 20)
        std::printf("unclear refusal of call %ld, %s: %s\n", i, method.load(), problem.c_str());
    }
    dao_->Release();
    std::printf("calls: %ld (refused %ld), unclear refusals: %ld\n", calls, refused, unclear);
    return unclear ? 1 : 0;
  }

 private:
  void Reconnect(long round) {
    if (dao_) dao_->Release();
    if (round % 10 == 0) RemoveDirectoryTree(directory_), CreateDirectoryA(directory_.c_str(), nullptr);
    // Short limits, so that the runaway statements cost little.
    if (FAILED(CreateDaoServerObject(directory_, DaoLimits{150, 20000, 64}, IID_IQRBDAO, reinterpret_cast<void**>(&dao_))))
      std::exit(3);
    handles_.clear();
    if (round % 10 != 9) SetScene();
  }
  // Where the interesting calls are: a table of every kind of field, a record set and a query on it.
  void SetScene() {
    if (FAILED(dao_->DatabaseOpen(Fixed("Fuzz"))) && FAILED(dao_->DatabaseCreate(Fixed("Fuzz")))) return;
    ULONG table = 0, handle = 0;
    handles_.clear();
    if (FAILED(dao_->TableOpen(Fixed("T"), &table))) {
      if (FAILED(dao_->TableCreate(Fixed("T"), &table))) return;
      for (short type : {4, 10, 11, 8, 1, 7, 3, 12})
        dao_->CreateField(table, Fixed(("F" + std::to_string(type)).c_str()), type, 0, 0);
      dao_->TableAppend(table);
    }
    handles_.push_back(table);
    if (SUCCEEDED(dao_->RecordSetTableOpen(table, 1, 0, &handle))) handles_.push_back(handle);
    if (SUCCEEDED(dao_->QueryDefCreate(Fixed(""), Fixed("SELECT * FROM T"), &handle))) handles_.push_back(handle);
    CheckErrorText();  // drops what the scene left
  }
  static DaoString Fixed(const char* text) {
    return DaoString{static_cast<ULONG>(std::strlen(text) + 1), const_cast<char*>(text)};
  }
  // Empty when the failure came with a clear text; else what was wrong.
  std::string CheckErrorText() {
    unsigned short size = 0;
    char* text = nullptr;
    if (FAILED(dao_->GetErrorText(&size, &text)) || !text) return "the call failed and left no error text";
    const std::string message(text, strnlen(text, size));
    CoTaskMemFree(text);
    for (const char* vague : {"unexpected failure", "not authorized", "interrupted"})
      if (message.empty() || message.find(vague) != std::string::npos) return "the text does not say why: " + message;
    return size == message.size() + 1 ? "" : "the error text's size is wrong: " + message;
  }

  // ---- random pieces ----
  uint32_t Below(uint64_t n) { return n ? static_cast<uint32_t>(random_() % n) : 0; }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <class T, size_t N>
  T Pick(T const (&list)[N]) { return list[Below(N)]; }
  std::string RandomBytes(size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(Below(256));
    return bytes;
  }
  std::string Mutate(std::string text) {
    for (uint32_t r = Below(4); r > 0; --r) {
      const size_t at = Below(text.size());
      switch (Below(7)) {
        case 0: text.insert(at, 1, static_cast<char>(Below(256))); if (Below(2)) text.erase(at + 1, 1); break;
        case 1: text.erase(at, Below(8)); break;
        case 2: text.insert(at, text.substr(at, Below(16))); break;
        case 3: text.resize(at); break;
        case 4: text.insert(at, Pick(kSql)); break;
        default: text.insert(at, std::string(" ") + Pick(kObjectNames) + " ");
      }
    }
    return text;
  }
  template <size_t N>
  std::string Name(const char* const (&list)[N]) {
    return OneIn(10) ? RandomBytes(Below(80)) : OneIn(5) ? Mutate(Pick(list)) : Pick(list);
  }
  std::string Sql() { return OneIn(20) ? RandomBytes(Below(200)) : OneIn(3) ? Mutate(Pick(kSql)) : Pick(kSql); }
  long SmallNumber() {
    const long numbers[] = {-1, static_cast<long>(random_()), std::numeric_limits<long>::min()};
    return Below(2) ? static_cast<long>(Below(14)) : Pick(numbers);
  }
  long Ordinal() { return OneIn(5) ? SmallNumber() : static_cast<long>(Below(5)); }
  double Real() {
    static const double inf = std::numeric_limits<double>::infinity(), specials[] = {
        0.0, -0.0, 1e308, -1e308, 3e38, 1e-320, inf - inf, inf, -inf, 2958465.99999, -657434.0, 37000.5, 1e7};
    return OneIn(2) ? Pick(specials) : (static_cast<double>(random_()) / 1e15) * (OneIn(2) ? 1 : -1);
  }
  BSTR Bstr(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  SAFEARRAY* Array(VARTYPE type) {
    const bool twoDimensions = OneIn(8);
    SAFEARRAYBOUND bounds[2] = {{Below(40), static_cast<LONG>(Below(3)) - 1}, {Below(4), 0}};
    SAFEARRAY* a = SafeArrayCreate(type, twoDimensions ? 2 : 1, bounds);
    BYTE* data = nullptr;
    if (a && type == VT_UI1 && !twoDimensions && SUCCEEDED(SafeArrayAccessData(a, reinterpret_cast<void**>(&data)))) {
      for (ULONG i = 0; i < bounds[0].cElements; ++i) data[i] = static_cast<BYTE>(Below(256));
      SafeArrayUnaccessData(a);
    }
    return a;
  }
  // A value of a type that a remote client can send: random bits in the scalar ones; by-reference
  // ones point at storage that lives as long as the call.
  VARIANT& Value(VARIANT& v) {
    static const VARTYPE scalars[] = {VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI4, VT_UI8, VT_CY,
                                      VT_BOOL, VT_ERROR, VT_INT, VT_UNKNOWN, VT_DISPATCH};
    static const VARTYPE arrays[] = {VT_UI1, VT_UI1, VT_I1, VT_I4, VT_BSTR, VT_VARIANT, VT_R8},
                         refs[] = {VT_I4, VT_VARIANT, VT_BSTR};
    static const char* const texts[] = {"42", "-7", "1e400", "2004-11-02 11:20:04", "true", "", "12/31/1899", "abc", "0x10",
                                        " 5 ", "99999999999999999999"};
    VariantInit(&v);
    switch (Below(10)) {
      case 0: v.vt = VT_R4, v.fltVal = static_cast<float>(Real()); break;
      case 1: v.vt = OneIn(2) ? VT_R8 : VT_DATE, v.dblVal = Real(); break;
      case 2:
        v.vt = VT_DECIMAL, v.decVal.scale = static_cast<BYTE>(Below(30)), v.decVal.sign = OneIn(2) ? DECIMAL_NEG : 0;
        v.decVal.Hi32 = static_cast<ULONG>(random_()), v.decVal.Lo64 = random_();
        break;
      case 3: v.vt = VT_BSTR, v.bstrVal = Bstr(OneIn(3) ? RandomBytes(Below(300)) : Pick(texts)); break;
      case 4: v.vt = VT_ARRAY | Pick(arrays), v.parray = Array(v.vt & VT_TYPEMASK); break;
      case 5:
        refVariant_.vt = VT_R8, refVariant_.dblVal = Real(), refLong_ = static_cast<LONG>(random_());
        SysFreeString(refBstr_), refBstr_ = Bstr(RandomBytes(Below(20)));
        v.vt = VT_BYREF | Pick(refs);
        v.byref = v.vt == (VT_BYREF | VT_I4) ? static_cast<void*>(&refLong_)
                  : v.vt == (VT_BYREF | VT_BSTR) ? static_cast<void*>(&refBstr_) : &refVariant_;
        break;
      default:
        v.vt = Pick(scalars), v.ullVal = v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH ? 0 : random_();
        if (v.vt == VT_BOOL && OneIn(2)) v.boolVal = VARIANT_TRUE;
    }
    return v;
  }
  ULONG H() {  // mostly a handle the server gave out, open or closed since; else a wrong one
    const ULONG wrong[] = {0, 0xFFFFFFFFul, handles_.empty() ? 1 : handles_.back() + 1, static_cast<ULONG>(random_())};
    return !handles_.empty() && !OneIn(8) ? handles_[Below(handles_.size())] : Pick(wrong);
  }
  // A counted text as it arrives from a remote client: exactly size bytes, maybe without a NUL,
  // maybe no buffer at all.
  DaoString Str(const std::string& text) {
    std::vector<char>& b = texts_.emplace_back(text.begin(), text.end());
    switch (Below(40)) {
      case 0: b.clear(); break;                                      // no buffer
      case 1: break;                                                 // no NUL
      case 2: b.resize(Below(text.size() + 1)); break;               // a size that stops inside the text
      case 3: b.push_back('\0'), b.insert(b.end(), 8, 'Z'); break;  // more after the NUL
      default: b.push_back('\0');
    }
    return DaoString{static_cast<unsigned long>(b.size()), b.empty() ? nullptr : b.data()};
  }

  HRESULT OneCall() {
    using F = Fuzzer;
    static const long openTypes[] = {1, 2, 4, 8, 0, 3, 16, -1}, options[] = {0, 0, 4, 8, 256, 512, 128, 0x10000, -1};
    static const short types[] = {1, 2, 3, 4, 6, 7, 8, 10, 11, 12, 0, 5, -1, 9, 13, 32767};
    static const char* const values[] = {"12", "-32769", "2004-11-02", "yes", "", "3.5e3", "x"};
    // Opening and adding weigh more, so that later calls find tables, record sets and queries.
#define CALL(name, weight, ...) {#name, weight, [](F& f) { return f.dao_->name(__VA_ARGS__); }}
    static const struct { const char* name; int weight; HRESULT (*call)(F&); } methods[] = {
        CALL(CompactDatabase, 2, f.Str(f.Name(kDatabaseNames))),
        CALL(DatabaseExists, 3, f.Str(f.Name(kDatabaseNames)), &f.flag_),
        CALL(DatabaseCreate, 6, f.Str(f.Name(kDatabaseNames))), CALL(DatabaseOpen, 10, f.Str(f.Name(kDatabaseNames))),
        CALL(DatabaseClose, 2), CALL(GetTableDefCount, 2, &f.count_), CALL(GetTableDefName, 2, f.SmallNumber(), &f.out_),
        CALL(GetQueryDefCount, 2, &f.count_), CALL(GetQueryDefName, 2, f.SmallNumber(), &f.out_),
        CALL(TableExists, 2, f.Str(f.Name(kObjectNames)), &f.flag_), CALL(TableOpen, 6, f.Str(f.Name(kObjectNames)), &f.handle_),
        CALL(TableCreate, 6, f.Str(f.Name(kObjectNames)), &f.handle_), CALL(TableClose, 2, f.H()),
        CALL(CreateField, 10, f.H(), f.Str(f.OneIn(3) ? f.Name(kObjectNames) : "F" + std::to_string(f.Below(12))),
             f.Pick(types), f.OneIn(2) ? 0 : f.SmallNumber() * (f.OneIn(2) ? 1 : 40), f.OneIn(3) ? f.SmallNumber() : 0),
        CALL(TableAppend, 3, f.H()), CALL(RecordSetTableOpen, 6, f.H(), f.Pick(openTypes), f.Pick(options), &f.handle_),
        CALL(RecordSetQueryDefOpen, 6, f.H(), f.Pick(openTypes), f.Pick(options), &f.handle_), CALL(RecordSetClose, 2, f.H()),
        CALL(AddNew, 8, f.H()), CALL(Update, 8, f.H()), CALL(Delete, 3, f.H()), CALL(MoveFirst, 2, f.H()),
        CALL(MoveLast, 2, f.H()), CALL(MoveNext, 3, f.H()), CALL(MovePrev, 3, f.H()),
        CALL(SetFieldValue, 12, f.H(), f.Ordinal(), f.Value(f.value_)),
        CALL(SetFieldValueString, 6, f.H(), f.Ordinal(), f.Str(f.OneIn(3) ? f.RandomBytes(f.Below(400)) : f.Pick(values))),
        CALL(IsBOF, 2, f.H(), &f.flag_), CALL(IsEOF, 2, f.H(), &f.flag_),
        CALL(QueryDefExists, 2, f.Str(f.Name(kObjectNames)), &f.flag_),
        CALL(QueryDefCreate, 10, f.Str(f.OneIn(2) ? "" : f.Name(kObjectNames)), f.Str(f.Sql()), &f.handle_),
        CALL(QueryDefOpen, 4, f.Str(f.Name(kObjectNames)), &f.handle_), CALL(QueryDefClose, 2, f.H()),
        CALL(QueryDefAppend, 3, f.H()), CALL(QueryDefExecute, 8, f.H(), f.OneIn(3) ? f.Pick(options) : 0)};
#undef CALL
    static_assert(std::size(methods) == 35, "every IQRBDAO method");
    int pick = 0;
    for (const auto& m : methods) pick += m.weight;
    size_t chosen = 0;
    for (pick = static_cast<int>(Below(pick)); pick >= methods[chosen].weight;) pick -= methods[chosen++].weight;
    method = methods[chosen].name;
    texts_.clear();
    VariantInit(&value_);
    handle_ = 0;
    const HRESULT hr = methods[chosen].call(*this);
    // What the server handed out is used later; what was closed stays too, as a dead handle to try.
    if (SUCCEEDED(hr) && handle_) handles_.push_back(handle_);
    if (!(value_.vt & VT_BYREF)) VariantClear(&value_);
    CoTaskMemFree(out_.str);
    out_ = DaoString{0, nullptr};
    return hr;
  }

  std::mt19937_64 random_;
  std::string directory_;
  IQRBDAO* dao_ = nullptr;
  std::vector<ULONG> handles_;
  std::deque<std::vector<char>> texts_;  // the texts of the call being made
  unsigned char flag_ = 0;
  unsigned short count_ = 0;
  ULONG handle_ = 0;
  DaoString out_{0, nullptr};
  VARIANT value_{};
  LONG refLong_ = 0;
  VARIANT refVariant_{};
  BSTR refBstr_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::max(1L, std::atol(argv[1])) : 100000;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  const std::string directory = argc > 3 ? argv[3] : MakeTempDirectory("daofuzz");
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::printf("dao_fuzz: %ld calls, seed %llu, databases in %s\n", calls, static_cast<unsigned long long>(seed),
              directory.c_str());
  std::fflush(stdout);
  Fuzzer fuzzer(seed, directory);
  std::thread([&] {  // a call that does not come back ends the run with what it was
    for (;; Sleep(500))
      if (GetTickCount64() - fuzzer.lastProgress > 60000) {
        std::printf("HANG: a call to %s did not return within a minute\n", fuzzer.method.load());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 2);
      }
  }).detach();
  const int status = fuzzer.Run(calls);
  if (argc <= 3) RemoveDirectoryTree(directory);
  CoUninitialize();
  return status;
}
