// Temporary files that must not outlive an interrupted program.
//
// A file being written (a download, an output before its rename) is
// registered here; on SIGINT, SIGTERM or SIGHUP the handler installed by
// InstallTempFileCleanup removes every registered file and then ends the
// process with the same signal, so the exit status stays the usual one.
#pragma once

#include <csignal>
#include <string>

// Registers path; returns a slot to hand to UnregisterTempFile, or -1 when
// every slot is taken or the path is too long (the file is then only removed
// by its owner, as before).
int RegisterTempFile(const std::string& path);
void UnregisterTempFile(int slot);

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (signals that were
// ignored when the program started stay ignored).
void InstallTempFileCleanup();

// Holds SIGINT, SIGTERM and SIGHUP back for its life, so that a file is
// never created without being registered yet.
class TCleanupSignalsBlocked {
public:
    TCleanupSignalsBlocked();
    ~TCleanupSignalsBlocked();
    TCleanupSignalsBlocked(const TCleanupSignalsBlocked&) = delete;
    TCleanupSignalsBlocked& operator=(const TCleanupSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// Holds one registration for the life of a scope.
class TTempFileGuard {
public:
    TTempFileGuard() = default;
    explicit TTempFileGuard(const std::string& path) : slot_(RegisterTempFile(path)) {}
    TTempFileGuard(const TTempFileGuard&) = delete;
    TTempFileGuard& operator=(const TTempFileGuard&) = delete;
    ~TTempFileGuard() { release(); }
    void reset(const std::string& path)
    {
        release();
        slot_ = RegisterTempFile(path);
    }
    void release()
    {
        UnregisterTempFile(slot_);
        slot_ = -1;
    }

private:
    int slot_ = -1;
};
