#include "Win32/TranslatingFrame.h"

#include <atomic>
#include <string>
#include <thread>

const char kUnknownExceptionText[] = "Caught an unknown exception in CFactory::CreateInstance";

namespace {

int NoLogger(const char*) { return 0; }

// Boxes at once; past that a text is not shown (the error log keeps it).
constexpr int kMostOpenBoxes = 8;
std::atomic<int> openBoxes{0};

// The box waits for a person, maybe for days on an unattended machine; the
// client call that met the failure must not. The box gets a thread of its
// own and the caller goes on at once.
void ShowExceptionBox(const char* text) {
  if (++openBoxes > kMostOpenBoxes) {
    --openBoxes;
    return;
  }
  try {
    std::thread([shown = std::string(text)] {
      MessageBoxA(nullptr, shown.c_str(), "EXCEPTION", MB_OK);
      --openBoxes;
    }).detach();
  } catch (...) {
    --openBoxes;
  }
}

std::atomic<ErrorLogger> logger{NoLogger};
std::atomic<ExceptionShower> shower{ShowExceptionBox};

}  // namespace

void SetErrorLogger(ErrorLogger newLogger) { logger = newLogger ? newLogger : NoLogger; }
ErrorLogger GetErrorLogger() { return logger.load(); }
void SetExceptionShower(ExceptionShower newShower) {
  shower = newShower ? newShower : ShowExceptionBox;
}

void ReportCaughtText(const char* text) {
  if (logger.load()(text) == 0) shower.load()(text);
}
