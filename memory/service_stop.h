// Stopping one named service through the service control manager.
#pragma once

// With stop set, asks the service to stop and waits while it is stop-pending; returns 1 when
// it ended in the stopped state. Without stop, returns 1 when the service could be opened.
int StopService(const char* name, bool stop);

// The most one-second waits spent for a service to leave the stop-pending state, each followed
// by a status query: a service that never leaves it must not hang the scan.
constexpr int kMaxStopPolls = 30;
