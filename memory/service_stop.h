// Stopping one named service through the service control manager.
#pragma once

// Asks the service to stop and waits while it is stop-pending; true when it ended in the
// stopped state.
bool StopService(const char* name);

// The most one-second waits spent for a service to leave the stop-pending state, each followed
// by a status query: a service that never leaves it must not hang the scan.
constexpr int kMaxStopPolls = 30;
