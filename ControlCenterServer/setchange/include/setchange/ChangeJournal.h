// The journal of a set change or restore: one small file in the
// installation, "<root>\SetChange.journal", that says which work is under
// way and how far it got. It is written, and flushed to the disk, before
// the first step that changes the active configuration, rewritten as the
// steps pass, and removed only when the work (or its rollback) has
// finished. A journal found at any other time means that the process
// ended in the middle of the work: RecoverInterruptedWork (Recovery.h)
// then completes it so that a whole configuration is active.
//
// Format (sectioned key=value text, CR LF):
//
//   [JOURNAL]
//   Operation=SetChange            or Restore
//   Set=C:\Korvane\Comp\Plant.cfg  the set being activated (empty: restore)
//   Step=boards                    the step under way
//   [FILES]
//   File=ACTSET                    set change: the active files moved into
//   File=123401.cfg                  the backup; restore: the backup's files
//   ...                              being put back
//   [END]                          written last: the file is whole
//
// Each version is written to "SetChange.journal.new", flushed, and renamed
// over the journal, so the journal on disk is always one whole version.
#pragma once

#include <string>
#include <vector>

constexpr const char* kJournalFileName = "SetChange.journal";

enum class JournalOperation { SetChange, Restore };

struct JournalRecord {
  JournalOperation operation = JournalOperation::SetChange;
  std::string setPath;
  std::string step;
  std::vector<std::string> files;
};

// "<root>\SetChange.journal".
std::string JournalPathOf(const std::string& rootPath);

// Reads the journal of the installation. False when there is none; raises
// "The set change journal <path> cannot be read." when there is one that
// cannot be read or understood.
bool ReadJournal(const std::string& rootPath, JournalRecord* record);

// The journal of one piece of work, written by the worker that does it.
class ChangeJournal {
 public:
  explicit ChangeJournal(const std::string& rootPath);

  // Writes the record durably, replacing any journal there is. Raises
  // "Could not write the set change journal <path>: <reason>".
  void Begin(JournalRecord record);
  // Records that the work has reached step (durably, as Begin).
  void Step(const char* step);
  // Takes over the record of a journal found on disk, to go on from it.
  void Resume(JournalRecord record);
  // Deletes the journal: the work has finished. Raises "Could not delete
  // the set change journal <path>: <reason>".
  void Finish();

  bool Open() const { return open; }
  const JournalRecord& Record() const { return record; }

 private:
  void Write() const;

  std::string path;
  JournalRecord record;
  bool open = false;
};
