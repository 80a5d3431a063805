#pragma once
#include <QString>

// The in-process crash handler. On a fatal signal (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT) it writes a text dump (version, signal, fault address,
// program counter, time, memory map, backtrace) into "crash_reports/reports" below the
// per-user folder and lets the process die with the original signal.
//
// Everything the signal handler needs (paths, texts, the alternate stack,
// the unwinder) is prepared by start(); the handler itself only uses
// async-signal-safe system calls. A dump appears under its final name
// "<uuid>.dmp" only once it is complete: it is written under a temporary
// name in the same folder and renamed. Should the handler itself fault while
// writing (unwinding a smashed stack, say), the dump is closed with a note
// saying so and renamed all the same.
namespace ZuCrashHandler {

// Creates "crash_reports", "crash_reports/metrics" and
// "crash_reports/reports" below `userFolder` and installs the handlers.
// Returns false (and installs nothing new) when the folders cannot be made
// or the handlers cannot be installed. Calling it again re-targets the
// handler to the new folder.
bool start(const QString &userFolder);

// Puts the signal actions back as they were before start() (tests).
void stop();

bool isStarted();

// The folder the next dump goes to; empty before start().
QString reportsFolder();

// Suffix of a dump still being written (never matches "*.dmp").
constexpr const char *kPartialSuffix = ".dmp.part";

} // namespace ZuCrashHandler
