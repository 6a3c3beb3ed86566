#include "setchange/ConfigurationWorker.h"

#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

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

void MoveFileReplacing(const std::string& fromDirectory, const std::string& toDirectory,
                       const std::string& name) {
  const std::string from = fromDirectory + name, to = toDirectory + name;
  // Copied and deleted rather than renamed, so that a copy that fails
  // halfway leaves the original where it was.
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
    RaiseFormatted("Could not copy %s to %s", from.c_str(), to.c_str());
  if (!DeleteFileA(from.c_str())) RaiseFormatted("Could not delete %s", from.c_str());
}

void MoveBackedUpFiles(const std::string& fromDirectory, const std::string& toDirectory) {
  for (const char* pattern : kBackupPatterns)
    for (const std::string& name : MatchingFiles(fromDirectory, pattern))
      MoveFileReplacing(fromDirectory, toDirectory, name);
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
