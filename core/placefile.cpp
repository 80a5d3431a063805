#include "placefile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace placefile {

Identity identityOf(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {true, quint64(st.st_dev), quint64(st.st_ino)};
}

Identity identityOf(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return {};
    return {true, quint64(st.st_dev), quint64(st.st_ino)};
}

bool renameNoReplaceAt(int fromDir, const char *from, int toDir, const char *to)
{
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    struct stat st {};
    if (::fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        if (::linkat(fromDir, from, toDir, to, 0) == 0) {
            // Both names lead to the file now; the old one goes. Should that
            // fail, the file still has its new name, which is what counts.
            ::unlinkat(fromDir, from, 0);
            return true;
        }
        // Links the file system has but refuses here (EEXIST above all) end
        // it; only a file system without them gets the look below.
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
            return false;
    }
    if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return ::renameat(fromDir, from, toDir, to) == 0;
}

bool renameNoReplace(const QString &from, const QString &to)
{
    return renameNoReplaceAt(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                             QFile::encodeName(to).constData());
}

} // namespace placefile
