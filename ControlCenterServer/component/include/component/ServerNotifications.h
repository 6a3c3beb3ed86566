// The process's client notifications as the component uses them: bound to
// ControlCenterComponent's class-wide state and defined with the
// component's notification methods (ControlCenterComponentNotifications.cpp).
// SelectSet, RestoreBackup and the handlers of the end messages use these.
#pragma once

#include <windows.h>

#include <ControlCenter.h>

#include "notifications/ClientNotifications.h"

class ControlCenterComponent;

// The process's one ClientNotifications: made at its first use, kept until
// the process ends (the lists' garbage threads outlive every instance).
ClientNotifications& ServerNotifications();

// SelectSet / RestoreBackup, after the busy claim: requester's client
// becomes the requester of the change (its cookie is never handed out).
void AddRequester(ControlCenterComponent& requester, IControlCenterNotify* notifyiface);
// Takes back what AddRequester added, for a change that did not start.
void WithdrawRequester(ControlCenterComponent& requester, IControlCenterNotify* notifyiface);
// Right after the worker was started: asks the observers, or lets the
// worker go at once when none is live.
void AskObservers();
// Stops the answer timer and sets hAllowThreadToRun.
void LetWorkerGo();
// The end of a change, on the main thread, after EndConfigurationThread
// and after a failure's text went to the requesting instance: the
// requesters hear SetSelected / SetRestored, the observers
// ConfigurationChanged; currentComponent is cleared unless a new change was
// claimed meanwhile (from inside SetSelected, say).
void TellChangeEnded(bool restore, WPARAM result);
// Last-instance teardown.
void StopClientTimer();
