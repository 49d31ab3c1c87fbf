// SPDX-License-Identifier: MIT
#pragma once

namespace folder {

// While a run writes into a folder, SIGINT, SIGTERM and SIGHUP must not kill the process between
// two files: an InterruptGuard turns them into a request that the run looks at where it can stop
// cleanly (before anything in the folder changes). When the guard goes, the handlers before it
// come back and a signal that arrived meanwhile is raised again, so the process still ends the
// way the signal asks, only later.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Whether a guarded signal has arrived; false outside a guard.
bool interrupted();

} // namespace folder
