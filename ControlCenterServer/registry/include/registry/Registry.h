// The small set of registry operations the whole server uses. Each one that
// can fail raises its own fixed text (a thrown char*), so callers never
// compose registry messages themselves. Every key handed out is a UniqueKey:
// it is closed on every path, errors included.
//
// All keys are opened with full access (KEY_ALL_ACCESS); created keys are
// non-volatile, with no class and default security. Paths are relative to the
// parent key; HKEY_LOCAL_MACHINE is the usual parent.
#pragma once

#include <windows.h>

#include <string>

#include "Win32/Holders.h"

// The system's own subtree under HKEY_LOCAL_MACHINE and the keys in it that
// more than one module names.
constexpr const char* kKorvaneKeyPath = "SOFTWARE\\Brenlow\\Korvane";
constexpr const char* kCodeKeyName = "Code";
constexpr const char* kActiveSetKeyName = "Active Set";
constexpr const char* kBoardsKeyPath = "SOFTWARE\\Brenlow\\Korvane\\Active Set\\Boards";

// Opens an existing key. Returns an empty holder when it cannot be opened;
// raises nothing, the caller decides what a missing key means.
UniqueKey OpenKey(HKEY parent, const char* path);

// Closes the key now (before the holder would). An empty holder is ignored.
void CloseKey(UniqueKey& key);

// Creates the key (and any missing keys above it) or opens it when it
// exists. Raises "Could not create key \"<path>\"".
UniqueKey CreateKey(HKEY parent, const char* path);

// Removes the key with its whole subtree. A key that does not exist is
// created and then removed, so this succeeds; missing keys above it are
// created on the way and stay. Raises "Could not delete key \"<path>\"";
// an empty path (the parent itself) raises it before anything is touched.
void DeleteKey(HKEY parent, const char* path);

// Sets a value (name null or empty: the key's default value). Raises
// "Could not create value \"<name>\"".
void CreateValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
// CreateValue of a REG_DWORD, and of a REG_SZ with its terminating NUL.
void SetDwordValue(HKEY key, const char* name, DWORD value);
void SetStringValue(HKEY key, const char* name, const std::string& text);

// Reads a value of the expected type into the caller's buffer and returns
// the number of bytes stored. A failed read (missing value, buffer too
// small) raises "Error getting the registry value for \"<name>\".  The error
// was: <system text>"; a value of another type raises the assertion
// "dtype == type" with "The registry value \"<name>\" did not have the
// expected type.".
DWORD GetValue(HKEY key, const char* name, DWORD type, void* buffer, DWORD size);

// Reads a REG_DWORD value; fails as GetValue does.
DWORD GetDwordValue(HKEY key, const char* name);

// Reads a REG_SZ value of any length. Returns the text in this thread's
// string buffer, valid until this thread's next GetStringValue call (copy it
// at once), or null when the value holds no bytes at all. Fails as GetValue
// does, with the assertion condition "dtype == REG_SZ" for another type.
char* GetStringValue(HKEY key, const char* name);

// GetStringValue copied out: an empty text when the value holds no bytes.
std::string GetStringValueText(HKEY key, const char* name);
