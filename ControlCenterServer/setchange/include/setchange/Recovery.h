// Completing the work of a set change or restore that the process did not
// live to finish (a crash, a power cut, an operator's kill), from its
// journal (ChangeJournal.h), so that a whole configuration is active again:
//
//  - a set change is rolled back: the registry comes back from the export,
//    the files of the interrupted set go, and the files moved into the
//    backup come back. When it stopped while the export was still being
//    written, nothing of the active configuration had changed yet and only
//    the unfinished export goes.
//  - a restore is finished: it cannot be rolled back (the configuration it
//    replaced is not kept), but its backup stays whole until every file is
//    back, so it can always be completed.
//
// Every step is one that may be done again, so a recovery that is itself
// interrupted is completed by the next one.
#pragma once

#include <string>

#include "setchange/ConfigurationWorker.h"

// Looks for a journal in the installation of setup and completes its work,
// holding setup.serverLock. Returns what was done, for the error log (empty
// when there was no journal). Raises when the work cannot be completed; the
// journal then stays for the next try.
std::string RecoverInterruptedWork(const ConfigurationWorkerSetup& setup);
