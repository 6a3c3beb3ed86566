// Questions about the sets on disk and the active directory: which sets
// there are, which one is active or backed up, whether a backup exists,
// whether a change runs.
#include "component/CCCmpnt.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "component/InstallationSettings.h"
#include "setchange/ConfigurationWorker.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

constexpr const char* kChangingMessage = "The configuration is changing.";
constexpr const char* kNoActiveSetMessage = "Could not get the name of the active set.";
// What a client can be handed in one 16-bit count or size.
constexpr size_t kLargest16Bit = 0xFFFF;

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

HRESULT ControlCenterComponent::ListSets(unsigned short* numfiles,
                                         unsigned short** filenameindexes,
                                         unsigned short* buffsize, char** filenames) {
  KORVANE_ASSERT_ARG(numfiles);
  KORVANE_ASSERT_ARG(filenameindexes);
  KORVANE_ASSERT_ARG(buffsize);
  KORVANE_ASSERT_ARG(filenames);
  *numfiles = 0;
  *filenameindexes = nullptr;
  *buffsize = 0;
  *filenames = nullptr;

  std::string directory = std::string(rootPath) + "\\Comp";
  WIN32_FIND_DATAA found;
  UniqueFind search(FindFirstFileA((directory + "\\*.cfg").c_str(), &found));
  if (!search) return S_OK;

  // In the order the directory search gives them: clients show the list
  // as it comes.
  std::vector<std::string> names;
  size_t total = 0;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const char* name = found.cFileName;
    const char* dot = std::strchr(name, '.');
    names.emplace_back(name, dot ? static_cast<size_t>(dot - name) : std::strlen(name));
    total += names.back().size() + 1;
  } while (FindNextFileA(search.get(), &found));
  if (names.empty()) return S_OK;

  // The counts travel as 16-bit numbers; a wrapped one would hand the
  // client a block that does not match its size.
  if (names.size() > kLargest16Bit || total + 1 > kLargest16Bit)
    RaiseFormatted("The sets in %s cannot be listed: %lu names of %lu bytes together do not fit "
                   "one list of at most 65535 bytes.",
                   directory.c_str(), static_cast<unsigned long>(names.size()),
                   static_cast<unsigned long>(total));

  CoTaskMemHolder<unsigned short> indexes(
      static_cast<unsigned short*>(CoTaskMemAlloc(names.size() * sizeof(unsigned short))));
  KORVANE_ASSERT_AS(indexes.get(), "*filenameindexes", nullptr);
  std::memset(indexes.get(), 0xFF, names.size() * sizeof(unsigned short));
  CoTaskMemHolder<char> block(static_cast<char*>(CoTaskMemAlloc(total + 1)));
  KORVANE_ASSERT_AS(block.get(), "*filenames", nullptr);
  std::memset(block.get(), 0, total + 1);

  size_t offset = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    indexes.get()[i] = static_cast<unsigned short>(offset);
    std::memcpy(block.get() + offset, names[i].c_str(), names[i].size() + 1);
    offset += names[i].size() + 1;
  }
  *numfiles = static_cast<unsigned short>(names.size());
  *buffsize = static_cast<unsigned short>(total + 1);
  *filenameindexes = indexes.release();
  *filenames = block.release();
  return S_OK;
}

HRESULT ControlCenterComponent::BackupExists(unsigned char* flag) {
  KORVANE_ASSERT_ARG(flag);
  // The same test the restore worker makes before it touches anything: the
  // backup is whole only with every kind of file a change moves there and
  // the registry export.
  *flag = BackupPresent(rootPath) ? 1 : 0;
  return S_OK;
}

HRESULT ControlCenterComponent::IsSetChanging(unsigned char* issetchanging) {
  KORVANE_ASSERT_ARG(issetchanging);
  *issetchanging = IsBusy() ? 1 : 0;
  return S_OK;
}

void ControlCenterComponent::ReadSetNameMarker(const char* fragment, unsigned short* namesize,
                                               char** setname) {
  KORVANE_ASSERT_ARG(namesize);
  KORVANE_ASSERT_ARG(setname);
  // The worker rewrites the markers while it runs.
  KORVANE_ASSERT(!IsBusy(), kChangingMessage);

  std::string actsetPathStr = std::string(rootPath) + fragment;
  KORVANE_ASSERT_AS(PathExists(actsetPathStr), "stat(actsetPathStr,&statbuf) == 0",
                    kNoActiveSetMessage);

  // Text mode: a CR LF line end counts as one character, as the size the
  // client is given says.
  UniqueFile marker(std::fopen(actsetPathStr.c_str(), "r"));
  if (!marker) RaiseFormatted("Could not open the set name file %s.", actsetPathStr.c_str());
  std::string content;
  char chunk[512];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, marker.get())) > 0) {
    content.append(chunk, got);
    if (content.size() >= kLargest16Bit)
      RaiseFormatted("The set name file %s is too large to hold a set name.",
                     actsetPathStr.c_str());
  }
  marker.reset();

  unsigned short size = static_cast<unsigned short>(content.size() + 1);
  KORVANE_ASSERT_AS(size != 0, "*namesize", nullptr);
  char* name = static_cast<char*>(CoTaskMemAlloc(size));
  KORVANE_ASSERT_AS(name, "*setname", nullptr);
  std::memcpy(name, content.c_str(), size);

  // The marker holds the set file's full path: keep the file name without
  // its extension. The size stays that of the block.
  if (char* dot = std::strrchr(name, '.')) *dot = '\0';
  if (char* slash = std::strrchr(name, '\\')) std::memmove(name, slash + 1, std::strlen(slash));
  *namesize = size;
  *setname = name;
}

HRESULT ControlCenterComponent::GetActiveSetName(unsigned short* namesize, char** setname) {
  ReadSetNameMarker(kActiveSetMarkerFragment, namesize, setname);
  return S_OK;
}

HRESULT ControlCenterComponent::GetBackupSetName(unsigned short* namesize, char** setname) {
  ReadSetNameMarker(kBackupSetMarkerFragment, namesize, setname);
  return S_OK;
}

HRESULT ControlCenterComponent::ActiveSetExists(unsigned char* activesetexists) {
  KORVANE_ASSERT_ARG(activesetexists);
  KORVANE_ASSERT(!IsBusy(), kChangingMessage);
  *activesetexists = PathExists(std::string(rootPath) + kActiveSetMarkerFragment) ? 1 : 0;
  return S_OK;
}
