#include "setfiles/ConfigurationContext.h"

#include <windows.h>

#include <utility>

#include "setfiles/Crc16.h"
#include "Win32/ErrorText.h"

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
