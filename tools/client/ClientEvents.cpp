#include "ClientEvents.h"

#include <utility>

#include "Win32/ErrorText.h"

std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string FormatEvent(const ClientEvent& event) {
  auto outcome = [&](const char* name) {
    std::string line = name;
    if (event.result == 1) return line + ": succeeded";
    line += ": failed";
    // Only 1 and 0 are defined; show anything else as it came.
    if (event.result != 0) line += " (result " + std::to_string(event.result) + ")";
    return line;
  };
  auto withText = [&](const char* name) {
    std::string text = OneLine(event.text);
    return text.empty() ? std::string(name) : std::string(name) + ": " + text;
  };
  switch (event.kind) {
    case ClientEventKind::SetSelected:
      return outcome("SetSelected");
    case ClientEventKind::SetRestored:
      return outcome("SetRestored");
    case ClientEventKind::ChangeProceeding:
      return "ChangeProceeding";
    case ClientEventKind::ClientsNotResponding:
      return withText("ClientsNotResponding");
    case ClientEventKind::ConfigurationChanging:
      return "ConfigurationChanging";
    case ClientEventKind::ConfigurationChanged:
      return "ConfigurationChanged";
    case ClientEventKind::BootpError:
      return withText("BootpError");
    case ClientEventKind::BootpInfo:
      return withText("BootpInfo");
  }
  return "Unknown notification";
}

EventQueue::EventQueue() : signal_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (!signal_)
    RaiseFormatted("Could not create the notification event: %s",
                   SystemErrorText(GetLastError()).c_str());
}

void EventQueue::Push(ClientEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  SetEvent(signal_.get());
}

bool EventQueue::Pop(ClientEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (events_.empty()) return false;
  event = std::move(events_.front());
  events_.pop_front();
  return true;
}
