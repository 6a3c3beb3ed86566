#include "setfiles/ConfigurationContext.h"

#include <windows.h>

#include <utility>

#include "setfiles/BoardLists.h"
#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"

namespace {

constexpr size_t kListFileBuffer = 256 * 1024;

}  // namespace

ConfigurationContext::ConfigurationContext(std::string rootPath, unsigned long baseIpAddress,
                                           unsigned short communicationPort)
    : rootPath_(std::move(rootPath)),
      baseIpAddress_(baseIpAddress),
      communicationPort_(communicationPort) {
  // Every path is the root followed by a fragment that starts with a
  // backslash; a root given with its own would double it.
  while (!rootPath_.empty() && (rootPath_.back() == '\\' || rootPath_.back() == '/'))
    rootPath_.pop_back();
  commonDirectory_ = rootPath_ + "\\config\\common\\";
}

void ConfigurationContext::SetCommonDirectory(std::string directory) {
  if (directory.empty() || (directory.back() != '\\' && directory.back() != '/'))
    directory += '\\';
  commonDirectory_ = std::move(directory);
}

void ShowWarningBox(const char* text) {
  MessageBoxA(nullptr, text, "Warning", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

void ConfigurationContext::Warn(const char* text) const {
  if (warningShower) {
    warningShower(text);
  } else {
    ShowWarningBox(text);
  }
}

void ConfigurationContext::Reset() {
  ForgetTables();
  brdlists_.reset();
  sourceFile.reset();
  targetFile.reset();
  listDirectory.Clear();
  writtenLists.Clear();
  FreeTable(networkTable);
  networkTable.count = 0;
  protomap.clear();
}

void ConfigurationContext::BeginListFile(const char* path) {
  KORVANE_ASSERT_ARG(path);
  targetFile.reset(std::fopen(path, "wb"));
  if (!targetFile) RaiseFormatted("Could not open output list %s", path);
  // A list file is written in many small pieces (a directory entry per
  // list): one large buffer makes them a few large writes.
  std::setvbuf(targetFile.get(), nullptr, _IOFBF, kListFileBuffer);
  listCrc = kCrc16Start;
  writtenLists.Clear();
}

unsigned long long ConfigurationContext::FinishListFile() {
  if (!WriteListDef("", -1)) RaiseFormatted("Could not finish a configuration list.");
  if (std::fflush(targetFile.get()) != 0) RaiseFormatted("Could not finish a configuration list.");
  const long long size = _ftelli64(targetFile.get());
  if (std::fclose(targetFile.release()) != 0 || size < 0)
    RaiseFormatted("Could not finish a configuration list.");
  return static_cast<unsigned long long>(size);
}

void ConfigurationContext::LoadProtomap() {
  protomap.clear();
  const std::string path = commonDirectory_ + "protomap";
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (!file) RaiseFormatted("Could not open the PROTOMAP file");
  protomap = ReadProtomap(file.get());
}

void ConfigurationContext::LoadBrdlists() {
  brdlists_ = std::make_unique<BrdlistsLines>(ReadBrdlistsLines(commonDirectory_ + "brdlists"));
}

void ConfigurationContext::ForgetTables() {
  tables_.clear();
  networkTables_.clear();
  partners_.clear();
}

const ListTable& ConfigurationContext::Table(const char* name, size_t recordSize, bool required) {
  KORVANE_ASSERT_ARG(name);
  const auto key = std::make_pair(LowerCaseListName(name), recordSize);
  auto found = tables_.find(key);
  // An empty table may stand for a list that was absent when it was not
  // required: asked for as required, LoadTable decides again (and raises).
  if (found != tables_.end() && (found->second.count > 0 || !required)) return found->second;
  ListTable table = LoadTable(name, recordSize, required);
  if (found == tables_.end()) found = tables_.emplace(key, ListTable()).first;
  found->second = std::move(table);
  if (recordSize == kNetworkRecordSize && found->second.data)
    networkTables_.insert(found->second.data);
  return found->second;
}

unsigned short ConfigurationContext::PartnerOf(const NetworkRecord* table, unsigned short count,
                                               unsigned short board) {
  const bool held = table && ((table == networkTable.As<NetworkRecord>() && count == networkTable.count) ||
                               networkTables_.count(table) > 0);
  if (!held || board >= count) return FindPartnerBoard(table, count, board);
  auto found = partners_.find(table);
  if (found == partners_.end())
    found = partners_.emplace(table, FindPartnerBoards(table, count)).first;
  if (found->second.size() != count) return FindPartnerBoard(table, count, board);
  return found->second[board];
}
