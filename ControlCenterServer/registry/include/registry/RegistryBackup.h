// The registry part of a set change's backup: the system's subtree written
// to a REGEDIT4 text file before a change, and read back when the backup is
// restored. The file stays importable by the system's own registry editor.
//
// Format written (CR LF line ends, ANSI):
//   REGEDIT4
//   <empty>
//   [HKEY_LOCAL_MACHINE\<parent of the subtree>]
//   <empty>
//   [HKEY_LOCAL_MACHINE\<subtree>]
//   <the subtree root's value lines>
//   then per subkey, depth first: <empty>, [<full path>], <value lines>, ...
// Value lines: "name"=<data> or @=<data>; data "text" with \ and " escaped
// by a backslash, dword:xxxxxxxx (8 lower-case hex digits), or ? for any
// other type.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "registry/Registry.h"

// The backup file's name in the backup directory.
constexpr const char* kRegistryBackupFileName = "KorvaneRegistry.reg";

// Writes the subtree (under HKEY_LOCAL_MACHINE) to the file and flushes it
// to the disk. A missing subtree gives the five header lines alone. Raises
// the assertion "fp" ("Could not open a file to save the Korvane registry")
// when the file cannot be opened, and "Could not write the Korvane registry
// backup <path>: <reason>" when any write, the flush or the close fails
// (then the file is not a whole backup).
void SaveRegistry(const char* filePath, const char* subtree = kKorvaneKeyPath);

// Writes the key's value lines and then, depth first, its subkeys' sections.
// prefix is the key's full path as the file names it, followed by "\". A
// null key writes nothing; a subkey that cannot be opened gets its header
// line alone.
void WriteKeySection(FILE* file, HKEY key, const std::string& prefix);

// Reads the file back: first replaces the subtree's "Code" and "Active Set"
// keys, then creates every key the file names and sets every value it lists.
// Keys and values the file does not list stay as they are. Lines of any
// length are accepted. Raises on the first line it cannot apply; what was
// applied before it stays applied. Raises the assertion "fp" ("Could not
// open a file to restore the Korvane registry") when the file cannot be
// opened, before anything is deleted.
void RestoreRegistry(const char* filePath, const char* subtree = kKorvaneKeyPath);

// Sets one value from the data part of a value line: "text" (escaped as the
// writer escapes) as REG_SZ, d...:hex as REG_DWORD. Anything else raises
// "Invalid value type in the Korvane registry.". name empty or null: the
// key's default value.
void SetValueFromText(HKEY key, const char* name, const char* data);

// What one line of the file means to the reader, decided without touching
// the registry (RestoreRegistry applies it).
struct RegistryFileLine {
  enum Kind { Blank, Value, Key } kind = Blank;
  std::string name;  // Value: the value name (empty: default value)
  std::string data;  // Value: the data part
  std::string path;  // Key: the path below HKEY_LOCAL_MACHINE
};

// Parses one line (any line end already removed or not). Raises the
// reader's texts for a line it refuses. Value lines are parsed even with no
// current key: RestoreRegistry checks that.
RegistryFileLine ParseRegistryLine(std::string line);
