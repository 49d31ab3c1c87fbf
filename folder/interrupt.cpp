// SPDX-License-Identifier: MIT
#include "folder/interrupt.h"

#include <atomic>
#include <csignal>

namespace folder {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> g_caught{0};
std::atomic<int> g_guards{0};
struct sigaction g_previous[std::size(kSignals)];
bool g_installed[std::size(kSignals)];

extern "C" void catchSignal(int signal) {
    int none = 0;
    g_caught.compare_exchange_strong(none, signal);
}

} // namespace

InterruptGuard::InterruptGuard() {
    if (g_guards++ > 0)
        return;
    g_caught = 0;
    struct sigaction action {};
    action.sa_handler = &catchSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for the folder's lock or a read returns, and the run looks at the flag.
    action.sa_flags = 0;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &g_previous[i]);
        // A signal the caller ignores (nohup, a background job) stays ignored.
        g_installed[i] = g_previous[i].sa_handler != SIG_IGN;
        if (g_installed[i])
            sigaction(kSignals[i], &action, nullptr);
    }
}

InterruptGuard::~InterruptGuard() {
    if (--g_guards > 0)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (g_installed[i])
            sigaction(kSignals[i], &g_previous[i], nullptr);
    if (const int signal = g_caught.exchange(0))
        std::raise(signal);
}

bool interrupted() {
    return g_caught.load() != 0;
}

} // namespace folder
