#pragma once
#include <QString>
#include <QtGlobal>

// Giving a finished file (or folder) its name without taking that name from
// whatever came to stand there since the user chose it: another export, a
// download, a file the user put there by hand.
namespace placefile {

// What stands at a name, the name itself not followed if it is a link. A
// file put there by a rename (as a finished file is) is never the file it
// replaced; only an inode freed and at once taken again by a new file at
// the same name could pass for the old one.
struct Identity {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;

    bool operator==(const Identity &other) const
    {
        return exists == other.exists && (!exists || (device == other.device && inode == other.inode));
    }
    bool operator!=(const Identity &other) const { return !(*this == other); }
};

// Nothing (exists false) when nothing stands at `path`.
Identity identityOf(const QString &path);
// Of the file or folder open as `fd`, wherever it stands now; nothing when
// `fd` is not open.
Identity identityOf(int fd);

// rename(2) of `from` in folder `fromDir` to `to` in folder `toDir` (each
// the descriptor of an open folder, or AT_FDCWD) that never replaces: false
// with errno EEXIST when something stands at `to`, with another errno when
// the rename fails otherwise; `from` is then where it was.
//
// The no-replace flag of renameat2(2) makes the look and the rename one
// step. Where the file system lacks it, a file gets its new name as a hard
// link (which never replaces either) and then loses the old one; what
// cannot be linked (a folder, or any entry on a file system without hard
// links) is renamed after a look that nothing stands at `to`, the one case
// where something that appears between the look and the rename is lost.
bool renameNoReplaceAt(int fromDir, const char *from, int toDir, const char *to);
bool renameNoReplace(const QString &from, const QString &to);

} // namespace placefile
