// How korvane-client errors reads its options and shows an entry.
#include <gtest/gtest.h>

#include "ClientCommandLine.h"
#include "ClientErrors.h"

TEST(ClientLogFormat, SinceTakesTheThreeFormsOfALocalTimeAndNothingElse) {
  const struct {
    const char* text;
    const char* normalized;  // null: refused
  } cases[] = {
      {"2026-12-06", "2026-12-06 00:00:00"},
      {"2026-12-06 21:40", "2026-12-06 21:40:00"},
      {"2026-12-06T21:40:05", "2026-12-06 21:40:05"},
      {"2024-02-29 23:59:59", "2024-02-29 23:59:59"},
      {"2026-02-29", nullptr},
      {"2026-13-01", nullptr},
      {"2026-12-06 24:00", nullptr},
      {"2026-12-6", nullptr},
      {"2026-12-06 21:40:5", nullptr},
      {"yesterday", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string normalized;
    EXPECT_EQ(c.normalized != nullptr, ParseLogTime(c.text, normalized));
    if (c.normalized) {
      EXPECT_EQ(c.normalized, normalized);
    }
  }
  ClientRequest request;
  std::string error;
  EXPECT_FALSE(ParseClientCommandLine({"errors", "--seconds", "9"}, request, error));
  EXPECT_FALSE(ParseClientCommandLine({"errors", "--since", "2026-12-06 21:40:00.5"}, request, error));
}

TEST(ClientLogFormat, AnEntryShowsTheFailedChecksFileAndLineAsItsSource) {
  const std::string time = "2026-12-06 21:40:05.123";
  const struct {
    const char* text;
    const char* line;
    const char* json;
  } cases[] = {
      {"Could not find list v25_mpk_", "2026-12-06 21:40:05.123  -  Could not find list v25_mpk_",
       "{\"time\":\"2026-12-06 21:40:05.123\",\"source\":null,\"text\":\"Could not find list v25_mpk_\"}"},
      {"No root: Condition (root) failed in file CCCmpnt.cpp(Sun Dec  6 20:00:00 2026) on line 42\r\nmore",
       "2026-12-06 21:40:05.123  CCCmpnt.cpp:42  No root: Condition (root) failed in file "
       "CCCmpnt.cpp(Sun Dec  6 20:00:00 2026) on line 42  more",
       "{\"time\":\"2026-12-06 21:40:05.123\",\"source\":\"CCCmpnt.cpp:42\",\"text\":\"No root: "
       "Condition (root) failed in file CCCmpnt.cpp(Sun Dec  6 20:00:00 2026) on line 42\\u000d\\u000amore\"}"},
      // Looks like a check's text, but names no line.
      {"Condition (x) failed in file a.cpp(stamp)", "2026-12-06 21:40:05.123  -  Condition (x) failed in file a.cpp(stamp)",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.line, FormatLogEntry(time, c.text, false));
    if (c.json) {
      EXPECT_EQ(c.json, FormatLogEntry(time, c.text, true));
    }
  }
}
