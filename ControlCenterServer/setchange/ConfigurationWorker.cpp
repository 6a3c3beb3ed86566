#include "setchange/ConfigurationWorker.h"

#include "Win32/ErrorText.h"
#include "Win32/Holders.h"
#include "Win32/TranslatingFrame.h"

const char* const kBackupPatterns[5] = {"ACTSET", "*.cfg", "active.ini", "lmhosts",
                                        "_active.zip"};

std::string ActiveDirectoryOf(const std::string& rootPath) { return rootPath + "\\active\\"; }

std::string BackupDirectoryOf(const std::string& rootPath) {
  return ActiveDirectoryOf(rootPath) + "BACKUP\\";
}

bool BackupPresent(const std::string& rootPath) {
  const std::string backup = BackupDirectoryOf(rootPath);
  for (const char* pattern : kBackupPatterns)
    if (MatchingFiles(backup, pattern).empty()) return false;
  return !MatchingFiles(backup, kBackupRegistryFile).empty();
}

std::vector<std::string> MatchingFiles(const std::string& directory, const char* pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  UniqueFind find(FindFirstFileA((directory + pattern).c_str(), &found));
  if (!find) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(find.get(), &found));
  return names;
}

bool ExistsOnDisk(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CopyFileFlushed(const std::string& from, const std::string& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
    RaiseFormatted("Could not copy %s to %s", from.c_str(), to.c_str());
  UniqueFileHandle copy(CreateFileA(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy || !FlushFileBuffers(copy.get()))
    RaiseFormatted("Could not copy %s to %s", from.c_str(), to.c_str());
}

void FlushConfigurationFiles(const std::string& directory) {
  for (const char* pattern : kBackupPatterns)
    for (const std::string& name : MatchingFiles(directory, pattern)) {
      const std::string path = directory + name;
      UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file || !FlushFileBuffers(file.get())) RaiseFormatted("Could not write %s", path.c_str());
    }
}

void MoveFileReplacing(const std::string& fromDirectory, const std::string& toDirectory,
                       const std::string& name) {
  const std::string from = fromDirectory + name, to = toDirectory + name;
  // A rename: the file is never in neither place nor half in one.
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return;
  if (GetLastError() != ERROR_NOT_SAME_DEVICE)
    RaiseFormatted("Could not copy %s to %s", from.c_str(), to.c_str());
  CopyFileFlushed(from, to);
  if (!DeleteFileA(from.c_str())) RaiseFormatted("Could not delete %s", from.c_str());
}

std::string TestHookKeyOf(const std::string& registrySubtree) {
  return registrySubtree + " Test Hooks";
}

StepCounter::StepCounter(const ConfigurationWorkerSetup& setup) : callback(setup.stepPassed) {
  if (callback) return;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestHookKeyOf(setup.registrySubtree).c_str(), 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return;
  UniqueKey hooks(key);
  DWORD value = 0, size = sizeof value, type = REG_NONE;
  if (RegQueryValueExA(hooks.get(), kHookValueName, nullptr, &type,
                       reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
      type == REG_DWORD)
    terminateAfter = value;
}

void StepCounter::Passed(const char* step) {
  if (callback) {
    callback(step);
    return;
  }
  if (terminateAfter != 0 && ++count == terminateAfter)
    TerminateProcess(GetCurrentProcess(), kTerminatedExitCode);
}

void LogWorkerError(const ConfigurationWorkerSetup& setup, const char* text) {
  if (setup.logError)
    setup.logError(text);
  else
    GetErrorLogger()(text);
}

void MoveBackedUpFilesLogging(const std::string& fromDirectory, const std::string& toDirectory,
                              const std::function<void(const char*)>& logError) {
  for (const char* pattern : kBackupPatterns)
    for (const std::string& name : MatchingFiles(fromDirectory, pattern)) {
      std::string text;
      if (!RunCatchingText([&] { MoveFileReplacing(fromDirectory, toDirectory, name); }, &text))
        logError(text.c_str());
    }
}
