#include "text/TempFiles.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

// Fixed storage: the handler may read it at any moment, so nothing here is
// allocated or freed. A slot's path is written before the slot is marked in
// use and the mark is cleared before the path can change.
constexpr int slotCount = 16;
constexpr std::size_t pathMax = 4096;

struct Slot {
    std::atomic<int> used{0};
    char path[pathMax];
};

Slot slots[slotCount];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free flags");

extern "C" void onTerminatingSignal(int sig)
{
    for (Slot& s : slots)
        if (s.used.load() == 1)
            ::unlink(s.path);
    std::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

int RegisterTempFile(const std::string& path)
{
    if (path.empty() || path.size() >= pathMax)
        return -1;
    for (int i = 0; i < slotCount; ++i) {
        int expected = 0;
        // 2 = being filled in: the handler skips it.
        if (slots[i].used.compare_exchange_strong(expected, 2)) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
            slots[i].used.store(1);
            return i;
        }
    }
    return -1;
}

void UnregisterTempFile(int slot)
{
    if (slot >= 0 && slot < slotCount)
        slots[slot].used.store(0);
}

void InstallTempFileCleanup()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = onTerminatingSignal;
        sigemptyset(&sa.sa_mask);
        // Hold the other two back while one is being handled.
        sigaddset(&sa.sa_mask, SIGINT);
        sigaddset(&sa.sa_mask, SIGTERM);
        sigaddset(&sa.sa_mask, SIGHUP);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
}

TCleanupSignalsBlocked::TCleanupSignalsBlocked()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
}

TCleanupSignalsBlocked::~TCleanupSignalsBlocked()
{
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}
