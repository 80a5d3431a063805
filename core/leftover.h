#pragma once
#include <QString>
#include <QStringView>

// Work files that a job keeps only while it runs (a folder being extracted,
// a name held for a download) outlive a job that is killed. Their names, or
// a note beside them, carry the stamp of the process that made them, so
// that whoever finds one later can tell a leftover from a job still running.
namespace leftover {
// This process: "<pid>-<start>", start being its start time in clock ticks
// since boot (a pid alone may have gone to another process since).
QString ownerStamp();
// Whether the process a stamp names still runs. True when that cannot be
// told: a work file is left alone rather than taken from a running job.
bool ownerAlive(QStringView stamp);
} // namespace leftover
