// Everything a set activation reads and writes while it validates a set and
// assembles the per-board list files: the installation values it needs, the
// open source file (the set file, then complete.cfg), the per-board file
// being written, the running CRC and the list bookkeeping.
//
// It needs no COM and no registry: the set change worker fills it from the
// installation settings, the set file tool from its command line. One
// context belongs to one thread at a time; nothing here locks.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "setfiles/DescriptionFiles.h"
#include "setfiles/ListTable.h"
#include "setfiles/SetFile.h"
#include "Win32/Holders.h"

class ConfigurationContext {
 public:
  // rootPath: the installation root without a final backslash.
  // baseIpAddress: host byte order. The common configuration directory
  // defaults to the root's "\config\common\".
  ConfigurationContext(std::string rootPath, unsigned long baseIpAddress,
                       unsigned short communicationPort);

  const std::string& RootPath() const { return rootPath_; }
  // The active directory with its final backslash.
  std::string ActiveDirectory() const { return rootPath_ + "\\active\\"; }
  // Where "brdlists" and "protomap" are read; ends with a backslash.
  const std::string& CommonDirectory() const { return commonDirectory_; }
  void SetCommonDirectory(std::string directory);
  unsigned long BaseIpAddress() const { return baseIpAddress_; }
  unsigned short CommunicationPort() const { return communicationPort_; }

  // Validates the set file and writes "complete.cfg" in the active
  // directory. Afterwards listDirectory describes complete.cfg, networkTable
  // holds "networkd" and sourceFile is open on complete.cfg. Raises the
  // validation texts; a complete.cfg left half-written is deleted.
  bool CheckConfiguration(const char* setPath);

  // Reads from sourceFile; every byte read is folded into listCrc. Returns
  // the number of whole items read.
  size_t CrcRead(void* buffer, size_t itemSize, size_t count);
  // Writes to targetFile; every byte written is folded into listCrc.
  size_t CrcWrite(const void* buffer, size_t itemSize, size_t count);
  // Folds up to byteCount bytes of file into listCrc; true only when all of
  // them were there.
  bool StreamCrc(FILE* file, unsigned long long byteCount);

  // Positions sourceFile at the list's data and returns its length; -1 when
  // the list is absent and not required. Raises "Could not find list %s".
  long long CompositeFind(const char* name, bool required);
  // The list as whole records of recordSize bytes (a partial last record is
  // left out); empty when absent and not required, or shorter than one
  // record.
  ListTable LoadTable(const char* name, size_t recordSize, bool required);
  // Appends one directory entry to targetFile; length -1 ends a file.
  bool WriteListDef(const char* name, long long length);
  // Copies a list from sourceFile into targetFile once per file, under
  // outputName when given. True when the list is in the file afterwards;
  // false when an optional list is absent.
  bool CopyList(const char* name, bool required, const char* outputName = nullptr);

  // Creates (truncating) a per-board list file as targetFile, starts
  // listCrc and empties writtenLists. Raises "Could not open output list %s".
  void BeginListFile(const char* path);
  // Ends the per-board file with the end entry and closes it; returns its
  // size in bytes. listCrc is then the file's CRC.
  unsigned long long FinishListFile();

  // Reads "protomap" of the common directory into protomap. Raises "Could
  // not open the PROTOMAP file" or the text of a malformed line.
  void LoadProtomap();

  // Reads "brdlists" of the common directory once for all the boards that
  // follow: until Reset, CopyBoardLists uses what was read instead of
  // reading the file for every board. Never raises; the file's failures are
  // raised where a board meets them.
  void LoadBrdlists();
  // The lines LoadBrdlists read, or null when it was not called.
  const BrdlistsLines* Brdlists() const { return brdlists_.get(); }

  // LoadTable for the copiers, which read the same description tables for
  // every board: each table is loaded from sourceFile once and kept until the
  // source changes (CheckConfiguration, Reset). Raises as LoadTable does.
  const ListTable& Table(const char* name, size_t recordSize, bool required);

  // FindPartnerBoard, from a partner table made once per network table for
  // the tables this context holds (networkTable, those Table loaded); for
  // any other table the search itself.
  unsigned short PartnerOf(const NetworkRecord* table, unsigned short count,
                           unsigned short board);

  // Shows an operator warning and waits until it is acknowledged. By
  // default a message box titled "Warning" owned by no window; the set file
  // tool prints instead, since nobody may be there to press OK.
  void Warn(const char* text) const;
  std::function<void(const char*)> warningShower;

  // Closes both files and empties the lists and tables: what the worker
  // does before a change and after a failure.
  void Reset();

  UniqueFile sourceFile;
  UniqueFile targetFile;
  unsigned short listCrc = 0xFFFF;
  ListDirectory listDirectory;
  ListDirectory writtenLists;
  ListTable networkTable;
  std::vector<ProtomapRecord> protomap;

 private:
  // Forgets what was loaded from the source file.
  void ForgetTables();

  std::unique_ptr<BrdlistsLines> brdlists_;
  std::vector<unsigned char> copyBuffer_;  // CopyList's
  // Lower-case list name and record size -> the table.
  std::map<std::pair<std::string, size_t>, ListTable> tables_;
  // The records of the network tables Table loaded.
  std::unordered_set<const void*> networkTables_;
  // A held network table's records -> every board's partner.
  std::unordered_map<const void*, std::vector<unsigned short>> partners_;
  std::string rootPath_;
  std::string commonDirectory_;
  unsigned long baseIpAddress_;
  unsigned short communicationPort_;
};

// The message box every operator warning of the copiers uses by default.
void ShowWarningBox(const char* text);
