// The database server's COM object: one client connection, handing out
// IQRBDAO over a DaoSession and IQRBConsoleComponent for the text of the
// last failure. Also the class factory and the process-wide count of
// objects and locks that decides when the server may end.
#pragma once

#include <windows.h>

#include <string>

#include "DaoStore.h"
#include "QRBConsoleComponent.h"
#include "QRBDAO.h"

namespace DaoServerLifetime {

// Counts of live objects and LockServer locks. Every change signals the
// change event, which the server's main thread waits on.
void AddObject();
void ReleaseObject();
void Lock();
void Unlock();
bool InUse();
HANDLE ChangeEvent();

}  // namespace DaoServerLifetime

// Makes a connection object that keeps its databases in directory, within
// limits, and hands out the interface iid.
HRESULT CreateDaoServerObject(const std::string& directory, const DaoLimits& limits, REFIID iid,
                              void** object);

// The class object the server registers; one reference for the caller.
IClassFactory* NewDaoClassFactory();
