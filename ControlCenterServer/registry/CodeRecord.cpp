#include "registry/CodeRecord.h"

#include "registry/Registry.h"

std::vector<CodeFileRecord> LoadCodeRecords(HKEY parent, const char* path) {
  std::vector<CodeFileRecord> records;
  UniqueKey codeKey = OpenKey(parent, path);
  if (!codeKey) return records;
  char keyName[256];  // key names are at most 255 characters
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof keyName;
    if (RegEnumKeyExA(codeKey.get(), index, keyName, &length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS)
      break;
    UniqueKey fileKey = OpenKey(codeKey.get(), keyName);
    if (!fileKey) continue;
    CodeFileRecord record;
    record.file = keyName;
    record.time = GetDwordValue(fileKey.get(), "time");
    record.size = GetDwordValue(fileKey.get(), "size");
    record.crc = static_cast<unsigned short>(GetDwordValue(fileKey.get(), "crc"));
    record.readableTime = GetStringValueText(fileKey.get(), "readable time");
    records.push_back(record);
  }
  return records;
}
