#include "setchange/ChangeJournal.h"

#include <windows.h>

#include <utility>

#include "setchange/ProfileFile.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

constexpr const char* kOperationSetChange = "SetChange";
constexpr const char* kOperationRestore = "Restore";

std::string Trimmed(const std::string& text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

}  // namespace

std::string JournalPathOf(const std::string& rootPath) {
  return rootPath + "\\" + kJournalFileName;
}

bool ReadJournal(const std::string& rootPath, JournalRecord* record) {
  const std::string path = JournalPathOf(rootPath);
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  // Read line by line rather than with ProfileFile::Get: the file list
  // repeats its key, and a set path may be longer than Get hands out.
  const ProfileFile file(path);
  std::string section, operation;
  bool ended = false;
  *record = JournalRecord();
  for (const std::string& raw : file.Lines()) {
    const std::string line = Trimmed(raw);
    if (line.empty()) continue;
    ended = false;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      ended = section == "END";
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (section == "JOURNAL") {
      if (key == "Operation") operation = value;
      if (key == "Set") record->setPath = value;
      if (key == "Step") record->step = value;
    } else if (section == "FILES" && key == "File") {
      record->files.push_back(value);
    }
  }
  // "[END]" is the last line written: without it the file is not one we
  // wrote whole (the rename makes that unlikely, a damaged disk does not).
  if (operation == kOperationSetChange)
    record->operation = JournalOperation::SetChange;
  else if (operation == kOperationRestore)
    record->operation = JournalOperation::Restore;
  else
    ended = false;
  if (!ended || record->step.empty())
    RaiseFormatted("The set change journal %s cannot be read.", path.c_str());
  return true;
}

ChangeJournal::ChangeJournal(const std::string& rootPath) : path(JournalPathOf(rootPath)) {}

void ChangeJournal::Begin(JournalRecord newRecord) {
  record = std::move(newRecord);
  Write();
  open = true;
}

void ChangeJournal::Step(const char* step) {
  record.step = step;
  Write();
}

void ChangeJournal::Resume(JournalRecord found) {
  record = std::move(found);
  open = true;
}

void ChangeJournal::Finish() {
  if (!open) return;
  if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    RaiseFormatted("Could not delete the set change journal %s: %s", path.c_str(),
                   SystemErrorText(GetLastError()).c_str());
  open = false;
}

void ChangeJournal::Write() const {
  std::string text = "[JOURNAL]\r\nOperation=";
  text += record.operation == JournalOperation::Restore ? kOperationRestore : kOperationSetChange;
  text += "\r\nSet=" + record.setPath + "\r\nStep=" + record.step + "\r\n[FILES]\r\n";
  for (const std::string& name : record.files) text += "File=" + name + "\r\n";
  text += "[END]\r\n";

  const std::string temporary = path + ".new";
  DWORD error = ERROR_SUCCESS;
  {
    UniqueFileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file)
      error = GetLastError();
    else if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                        nullptr) ||
             written != text.size() || !FlushFileBuffers(file.get()))
      error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
  }
  if (error == ERROR_SUCCESS &&
      !MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error != ERROR_SUCCESS) {
    DeleteFileA(temporary.c_str());
    RaiseFormatted("Could not write the set change journal %s: %s", path.c_str(),
                   SystemErrorText(error).c_str());
  }
}
