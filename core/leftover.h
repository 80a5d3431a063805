#pragma once
#include <QString>
#include <QStringView>

// Work files that a job keeps only while it runs (a folder being extracted,
// a name held for a download) outlive a job that is killed. Their names, or
// a note beside them, carry the stamp of the process that made them, so
// that whoever finds one later can tell a leftover from a job still running.
//
// A process id and a start time say something only where they were taken:
// on that host, in that boot, in that process namespace. A shared folder is
// reached from other workstations and from sandboxed instances, where "no
// such process" says nothing about the maker. So the stamp also carries a
// key of where its maker runs, and only a stamp made here is judged.
namespace leftover {

// Where a process runs: the host's boot (its random boot id, new at every
// boot), the host's name and the process's pid namespace. A part that
// cannot be read is empty.
struct Place {
    QString bootId;
    QString hostName;
    QString pidNamespace;
};

// This process's place. The pid namespace is left empty when /proc is not
// this namespace's own (its processes could not be looked up there).
Place here();
// The key a stamp carries for a place: 16 lower-case hexadecimal digits of a
// digest of its parts; empty when a part is empty.
QString placeKey(const Place &place);

// This process: "<pid>-<start>-<place key>", start being its start time in
// clock ticks since boot (a pid alone may have gone to another process
// since). Without a place key "<pid>-<start>", which nobody judges.
QString ownerStamp();

enum class Owner {
    Running, // made here, and its maker still runs
    Gone,    // made here, and its maker has ended
    Unknown, // made elsewhere, by an earlier version, or not a stamp
};
Owner owner(QStringView stamp);
// Whether the process a stamp names may still run: true unless it is known
// to be gone, so that a work file is left alone rather than taken from a
// running job.
inline bool ownerAlive(QStringView stamp)
{
    return owner(stamp) != Owner::Gone;
}

} // namespace leftover
