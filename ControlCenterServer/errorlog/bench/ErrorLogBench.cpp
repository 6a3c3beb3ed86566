// How fast the error log is: the cost of the first error on a machine
// (database server start, database and table creation), of a first error
// with the database in place but no server running, and the errors per
// second that one client and four concurrent clients can log. Runs against
// the real database server in a private database directory; the server's
// settings are put back afterwards.
//   errorlog_bench [ERRORS_PER_CLIENT]     (default 200)
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DaoTestSupport.h"
#include "errorlog/ErrorLog.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// Logs count texts from each of clients threads at once; returns errors per
// second over all of them, or 0 when any log failed.
double Rate(int clients, int count) {
  std::vector<std::thread> threads;
  std::vector<int> stored(static_cast<size_t>(clients), 0);
  const LARGE_INTEGER start = Now();
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      const std::string text = "Benchmark error from client " + std::to_string(c) +
                               ": Condition (SUCCEEDED(hr)) failed in file Bench.cpp on line 1";
      for (int i = 0; i < count; ++i) stored[static_cast<size_t>(c)] += LogErrorToDatabase(text.c_str());
      CoUninitialize();
    });
  for (std::thread& thread : threads) thread.join();
  const double elapsed = Seconds(start, Now());
  int total = 0;
  for (int s : stored) total += s;
  if (total != clients * count) {
    std::printf("  %d of %d errors were not stored\n", clients * count - total, clients * count);
    return 0;
  }
  return clients * count / elapsed;
}

bool Register() {
  if (!EnsureActivationServiceRuns(120000)) return false;
  const std::string bin = ProgramDirectory();
  if (RunAndWait("\"" + bin + "\\QRBDAOServer.exe\" /RegServer") != 0) return false;
  HMODULE proxy = LoadLibraryA((bin + "\\KorvanePS.dll").c_str());
  auto registerProxy =
      proxy ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(GetProcAddress(proxy, "DllRegisterServer"))
            : nullptr;
  return registerProxy && SUCCEEDED(registerProxy());
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (!Register()) {
    std::printf("could not register QRBDAOServer.exe and KorvanePS.dll\n");
    return 1;
  }
  std::printf("waiting for a running database server to end...\n");
  if (!WaitForNoDaoServer(60000)) {
    std::printf("a database server is still running\n");
    return 1;
  }
  int status = 0;
  {
    // A short delay, so that the cold start with an existing database can
    // be measured without a long wait; the burst below stays within it.
    DaoServerSettingsScope settings(1000);

    LARGE_INTEGER start = Now();
    const int first = LogErrorToDatabase("first error: server start and database creation");
    const double firstSeconds = Seconds(start, Now());
    start = Now();
    const int second = LogErrorToDatabase("second error: server running, database in place");
    const double secondSeconds = Seconds(start, Now());
    WaitForNoDaoServer(30000);
    start = Now();
    const int cold = LogErrorToDatabase("error with the database in place, no server running");
    const double coldSeconds = Seconds(start, Now());
    if (!first || !second || !cold) {
      std::printf("a log call failed\n");
      status = 1;
    }
    std::printf("first error (server start + database and table creation): %8.1f ms\n",
                firstSeconds * 1000);
    std::printf("first error with the database in place (server start):    %8.1f ms\n",
                coldSeconds * 1000);
    std::printf("one error, server running:                                 %8.1f ms\n",
                secondSeconds * 1000);
    const double one = Rate(1, count);
    std::printf("one client, %d errors:                                    %8.1f errors/s\n",
                count, one);
    const double four = Rate(4, count);
    std::printf("four concurrent clients, %d errors each:                  %8.1f errors/s\n",
                count, four);
    if (one == 0 || four == 0) status = 1;
    WaitForNoDaoServer(30000);
  }
  CoUninitialize();
  return status;
}
