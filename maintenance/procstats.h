#pragma once
#include <QtGlobal>

// The process and system figures of the diagnostics probes, read from what
// Linux offers: the processor count, a monotonic clock, the process's CPU
// times (getrusage), its resident memory and the machine's physical memory
// (/proc). Times are in units of 100 nanoseconds.
namespace ZuProcStats {
// Logical processors online; 0 when the system does not say.
int processorCount();
quint64 monotonicTime();
// Kernel and user time this process has used so far.
bool processTimes(quint64 *kernel, quint64 *user);
// Resident set of this process, in bytes.
bool residentBytes(quint64 *bytes);
// Physical memory of the machine and the part available to new work, in bytes.
bool memoryStatus(quint64 *total, quint64 *available);
}
