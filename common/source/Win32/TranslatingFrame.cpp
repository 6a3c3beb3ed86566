#include "Win32/TranslatingFrame.h"

#include <atomic>

const char kUnknownExceptionText[] = "Caught an unknown exception in CFactory::CreateInstance";

namespace {

int NoLogger(const char*) { return 0; }

void ShowExceptionBox(const char* text) {
  MessageBoxA(nullptr, text, "EXCEPTION", MB_OK);
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
