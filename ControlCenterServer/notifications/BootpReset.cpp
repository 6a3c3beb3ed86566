#include "notifications/BootpReset.h"

#include <memory>

#include "notifications/BootpClient.h"
#include "Win32/ErrorText.h"
#include "Win32/Holders.h"

namespace {

// Class-wide: made by the first component instance, under its lock, and
// used by the one worker that may run.
UniqueHandle bootpResetEvent;
UniqueHandle bootpResetFinished;
std::unique_ptr<BootpClient> bootpClient;

constexpr char kResetEventCondition[] =
    "bootpResetEvent = CreateEvent(NULL,FALSE,FALSE,\"BOOTP RESET EVENT\")";
constexpr char kFinishedEventCondition[] =
    "bootpResetFinished = CreateEvent(NULL,FALSE,FALSE,\"BOOTP RESET FINISHED\")";
constexpr char kEventMessage[] = "Could not create an event to notify the bootp server";
constexpr char kWaitCondition[] = "WaitForSingleObject(bootpResetFinished,120000) == WAIT_OBJECT_0";
constexpr char kWaitMessage[] = "Error while waiting for the bootp server to finish resetting.";

}  // namespace

void CreateBootpObjects(HWND mainWindow) {
  UniqueHandle reset(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET EVENT"));
  KORVANE_ASSERT_AS(reset, kResetEventCondition, kEventMessage);
  UniqueHandle finished(CreateEventA(nullptr, FALSE, FALSE, "BOOTP RESET FINISHED"));
  KORVANE_ASSERT_AS(finished, kFinishedEventCondition, kEventMessage);
  auto client = std::make_unique<BootpClient>(mainWindow);
  bootpResetEvent = std::move(reset);
  bootpResetFinished = std::move(finished);
  bootpClient = std::move(client);
}

void DeleteBootpClient() { bootpClient.reset(); }

void CloseBootpEvents() {
  bootpResetEvent.reset();
  bootpResetFinished.reset();
}

DWORD BootpReset() { return BootpResetHandshake(bootpResetEvent.get(), bootpResetFinished.get()); }

DWORD BootpResetHandshake(HANDLE resetEvent, HANDLE finishedEvent, DWORD waitLimitMs) {
  ResetEvent(finishedEvent);
  SetEvent(resetEvent);
  KORVANE_ASSERT_AS(WaitForSingleObject(finishedEvent, waitLimitMs) == WAIT_OBJECT_0,
                    kWaitCondition, kWaitMessage);
  return 0;
}
