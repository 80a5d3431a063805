#include "rawexport.h"

#include "placefile.h"
#include "seekfile.h"
#include "zulog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const QLatin1String kAnchor("/talvor_");
const QLatin1String kVideoSuffix(".zuvideo");
constexpr size_t kBufferBytes = 4 * 1024 * 1024;
// The kernel copies at most this much at a time, so that a stop request is
// seen within a large file.
constexpr size_t kKernelChunk = 64 * 1024 * 1024;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return fd >= 0; }
};

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t w = ::write(fd, data, size);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        size -= size_t(w);
    }
    return true;
}

// Copies from `in` (at its offset `done`) into `out` until the end of `in`
// or a stop; returns the bytes copied in all, -1 on an error. The kernel
// copies where it can (and may share blocks), as cp does; a file system that
// refuses it falls back to the buffered loop where it stopped.
qint64 copyContents(int in, int out, const std::function<bool()> &stopped)
{
    loff_t inOffset = 0;
    loff_t outOffset = 0;
    for (;;) {
        if (stopped())
            return -1;
        const ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset, kKernelChunk, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return outOffset;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL || errno == EBADF
            || errno == EPERM || errno == ETXTBSY)
            break;
        return -1;
    }
    if (::lseek(in, inOffset, SEEK_SET) < 0 || ::lseek(out, outOffset, SEEK_SET) < 0)
        return -1;
    qint64 done = outOffset;
    std::unique_ptr<char[]> buffer(new char[kBufferBytes]);
    for (;;) {
        if (stopped())
            return -1;
        const ssize_t n = ::read(in, buffer.get(), kBufferBytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return done;
        if (!writeAll(out, buffer.get(), size_t(n)))
            return -1;
        done += n;
    }
}

// Whether two open files hold the same bytes (read from their starts).
bool sameContents(int a, int b)
{
    struct stat sa {};
    struct stat sb {};
    if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0 || sa.st_size != sb.st_size)
        return false;
    std::unique_ptr<char[]> ba(new char[kBufferBytes]);
    std::unique_ptr<char[]> bb(new char[kBufferBytes]);
    off_t offset = 0;
    for (;;) {
        const ssize_t na = ::pread(a, ba.get(), kBufferBytes, offset);
        const ssize_t nb = ::pread(b, bb.get(), kBufferBytes, offset);
        if (na < 0 || nb < 0 || na != nb)
            return false;
        if (na == 0)
            return true;
        if (memcmp(ba.get(), bb.get(), size_t(na)) != 0)
            return false;
        offset += na;
    }
}

// Opens a regular source file without blocking on a FIFO planted under its
// name and without following a link in its place; `st` receives its state
// at opening.
Fd openSource(const QString &path, struct stat *st)
{
    Fd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok() || ::fstat(fd.fd, st) != 0 || !S_ISREG(st->st_mode))
        return Fd();
    const int flags = ::fcntl(fd.fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

// The change time as well: a file rewritten in place keeps its size, and
// its modification time can be put back, but nobody can set the change time.
bool sameState(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
           && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The seek file of a video data file: the trailing ".zuvideo" becomes
// ".zuseek"; empty for any other name.
QString seekPathOf(const QString &dataPath)
{
    // Any case, as the day's file lists are made.
    if (!dataPath.endsWith(kVideoSuffix, Qt::CaseInsensitive))
        return QString();
    return ZuSeekFile::seekPathFor(dataPath);
}

bool isInside(const QString &path, const QString &folder)
{
    const QString f = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(f);
}

// The nearest existing folder of `path` (itself when it exists), links
// resolved; `rest` receives the part below it that does not exist yet.
QString nearestExisting(const QString &path, QString *rest)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    rest->clear();
    while (existing != QLatin1String("/") && !QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        *rest = existing.mid(slash) + *rest;
        existing = slash <= 0 ? QStringLiteral("/") : existing.left(slash);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return canonical.isEmpty() ? existing : canonical;
}

// The canonical form of `path`, which need not exist yet: its nearest
// existing folder resolved, the rest appended.
QString canonicalPath(const QString &path)
{
    QString rest;
    const QString existing = nearestExisting(path, &rest);
    return QDir::cleanPath(existing + rest);
}

// `path` (existing, links resolved) with each name spelt as its folder
// lists it. A case-insensitive drive (FAT, exFAT) finds a name in any case,
// and one served through FUSE gives each spelling an inode of its own.
QString onDiskSpelling(const QString &path)
{
    QString spelt = QStringLiteral("/");
    for (const QString &name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QString found;
        QDirIterator it(spelt, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            const QString entry = it.fileName();
            if (entry == name) {
                found = entry;
                break;
            }
            if (found.isEmpty() && entry.compare(name, Qt::CaseInsensitive) == 0)
                found = entry;
        }
        spelt = QDir(spelt).filePath(found.isEmpty() ? name : found);
    }
    return spelt;
}

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId &o) const { return device == o.device && inode == o.inode; }
};

bool fileIdOf(const QString &path, FileId *id)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *id = FileId{st.st_dev, st.st_ino};
    return true;
}

// Where an open descriptor's file lies.
QString descriptorPath(int fd)
{
    return QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
}

// Why `source` is no file of the export folder `exportFolder` (canonical;
// empty when the source has none) to be copied; empty when it is one. A
// link copied as a file would put into the copy something the export
// folder never held.
QString refusedSource(const QString &source, const QString &exportFolder)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(source).constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return QStringLiteral(" is a symbolic link");
    const QString resolved = QFileInfo(source).canonicalFilePath();
    if (!exportFolder.isEmpty() && !resolved.isEmpty() && !isInside(resolved, exportFolder))
        return QStringLiteral(" leads out of the export folder, to ") + resolved;
    return QString();
}

} // namespace

RawExport::RawExport()
    : QThread(nullptr)
{
}

RawExport::~RawExport()
{
    requestInterruption();
    wait();
}

void RawExport::set_files(QList<QFileInfo> files)
{
    m_files = std::move(files);
}

void RawExport::set_output(QFileInfo output)
{
    m_target = std::move(output);
}

int RawExport::anchor_of(const QString &path)
{
    const int lastSlash = path.lastIndexOf(QLatin1Char('/'));
    if (lastSlash <= 0)
        return -1;
    // Only folders count, and the nearest one wins: a parent folder that
    // happens to be named "talvor_…" must not drag its whole tree along.
    return path.lastIndexOf(kAnchor, lastSlash - 1, Qt::CaseInsensitive);
}

QString RawExport::destination_for(const QString &source, const QString &targetFolder)
{
    const QString clean = QDir::cleanPath(source);
    const int anchor = anchor_of(clean);
    if (anchor < 0 || targetFolder.isEmpty())
        return QString();
    const QString relative = clean.mid(anchor);
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String("..") || part == QLatin1String("."))
            return QString();
    }
    const QString folder = QDir::cleanPath(targetFolder);
    const QString destination = QDir::cleanPath(folder + relative);
    return isInside(destination, folder) ? destination : QString();
}

QString RawExport::export_folder_of(const QString &source)
{
    const QString clean = QDir::cleanPath(source);
    const int anchor = anchor_of(clean);
    const int end = anchor < 0 ? -1 : clean.indexOf(QLatin1Char('/'), anchor + 1);
    return end > 0 ? clean.left(end) : QString();
}

bool RawExport::target_inside_source(const QString &targetFolder, const QList<QFileInfo> &files)
{
    QString rest;
    const QString existing = nearestExisting(targetFolder, &rest);
    const QString target = QDir::cleanPath(existing + rest);
    // The target's nearest existing folder and each folder above it, by
    // identity: the export folder reached through another mount of it (a
    // bind mount) or spelt in another case on a case-insensitive drive has
    // another path, but the same device and inode.
    std::vector<FileId> chain;
    for (QString folder = onDiskSpelling(existing);;) {
        FileId id;
        if (fileIdOf(folder, &id))
            chain.push_back(id);
        if (folder == QLatin1String("/"))
            break;
        const int slash = folder.lastIndexOf(QLatin1Char('/'));
        folder = slash <= 0 ? QStringLiteral("/") : folder.left(slash);
    }
    QSet<QString> checked;
    for (const QFileInfo &file : files) {
        const QString exportFolder = export_folder_of(file.absoluteFilePath());
        if (exportFolder.isEmpty() || checked.contains(exportFolder))
            continue;
        checked.insert(exportFolder);
        const QString source = canonicalPath(exportFolder);
        if (target == source || isInside(target, source))
            return true;
        FileId root;
        if (QFileInfo::exists(source) && fileIdOf(onDiskSpelling(source), &root)
            && std::find(chain.begin(), chain.end(), root) != chain.end())
            return true;
    }
    return false;
}

bool RawExport::target_holds_source(const QString &targetFolder, const QList<QFileInfo> &files)
{
    if (targetFolder.isEmpty())
        return false;
    QSet<QString> checked;
    for (const QFileInfo &file : files) {
        const QString exportFolder = export_folder_of(file.absoluteFilePath());
        if (exportFolder.isEmpty() || checked.contains(exportFolder))
            continue;
        checked.insert(exportFolder);
        // The export folder of the copy, as the copy would name it.
        const QString copyRoot = QDir::cleanPath(targetFolder + exportFolder.mid(exportFolder.lastIndexOf(QLatin1Char('/'))));
        if (canonicalPath(copyRoot) == canonicalPath(exportFolder))
            return true;
        // Reached through another mount, or spelt in another case on a
        // case-insensitive drive: the same folder all the same.
        FileId copy;
        FileId source;
        if (QFileInfo::exists(copyRoot) && QFileInfo::exists(exportFolder)
            && fileIdOf(onDiskSpelling(QFileInfo(copyRoot).canonicalFilePath()), &copy)
            && fileIdOf(onDiskSpelling(canonicalPath(exportFolder)), &source) && copy == source)
            return true;
    }
    return false;
}

bool RawExport::copy_file(const QString &source, const QString &destination)
{
    const QFileInfo dst(destination);
    const QString root = dst.absolutePath();
    const int rootFd = openTargetFolder(root);
    if (rootFd < 0)
        return false;
    Fd held(rootFd);
    return copyBelow(source, source_root(export_folder_of(source)), held.fd, root, dst.fileName());
}

int RawExport::openTargetFolder(const QString &root)
{
    if (!QFileInfo(root).isDir()) {
        logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File :: create dir ") + root);
        if (!QDir().mkpath(root)) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to create ") + root);
            return -1;
        }
    }
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to create ") + root);
    return fd;
}

QString RawExport::heldFolderPath(int rootFd)
{
    return descriptorPath(rootFd);
}

QString RawExport::source_root(const QString &exportFolder)
{
    return exportFolder.isEmpty() ? QString() : canonicalPath(exportFolder);
}

bool RawExport::copyBelow(const QString &source, const QString &sourceRoot, int rootFd, const QString &root,
                          const QString &relative)
{
    const QString destination = QDir::cleanPath(root + QLatin1Char('/') + relative);
    logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File ") + source + QStringLiteral(" to ")
               + destination);
    const QFileInfo src(source);
    if (!src.exists() || !src.isFile()) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source + QStringLiteral(" missing."));
        return false;
    }
    const QString refused = refusedSource(source, sourceRoot);
    if (!refused.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source + refused
                   + QStringLiteral("; not copied."));
        return false;
    }
    // The target folder is the one opened at the start, whatever its path
    // names by now; below it every folder is made or entered one at a time
    // without following a symbolic link, so that a link planted in the
    // target cannot send a copy elsewhere.
    Fd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!dir.ok()) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to create ") + root);
        return false;
    }
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    QString reached = root;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        const QByteArray name = QFile::encodeName(parts.at(i));
        reached += QLatin1Char('/') + parts.at(i);
        if (::mkdirat(dir.fd, name.constData(), 0777) == 0)
            logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File :: create dir ") + reached);
        Fd next(::openat(dir.fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.ok()) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to create ") + reached
                       + QStringLiteral(" (not a folder, or a link that is not followed)"));
            return false;
        }
        dir = std::move(next);
    }
    if (copyInto(dir.fd, source, sourceRoot, QFile::encodeName(parts.constLast()), destination))
        return true;
    logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to copy ") + src.absoluteFilePath()
               + QStringLiteral(" to ") + destination);
    return false;
}

bool RawExport::copyInto(int dirFd, const QString &source, const QString &sourceRoot, const QByteArray &name,
                          const QString &destination)
{
    struct stat before {};
    Fd in = openSource(source, &before);
    if (!in.ok())
        return false;
    // What was opened, wherever the path led by then.
    const QString opened = descriptorPath(in.fd);
    if (!sourceRoot.isEmpty() && !isInside(opened, sourceRoot)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source
                   + QStringLiteral(" leads out of the export folder, to ") + opened + QStringLiteral("; not copied."));
        return false;
    }
    // A destination that is the source itself holds its bytes without any
    // copy having been made.
    const auto isTheSource = [&before](const struct stat &st) {
        return st.st_dev == before.st_dev && st.st_ino == before.st_ino;
    };
    const auto sourceItself = [&] {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + destination
                   + QStringLiteral(" is the source itself; nothing copied."));
        return false;
    };

    // What stands there already: the same bytes count as copied, anything
    // else (another file, a link, a folder) is kept and the copy fails.
    struct stat there {};
    if (::fstatat(dirFd, name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(there.st_mode) && isTheSource(there))
            return sourceItself();
        if (S_ISREG(there.st_mode)) {
            Fd existing(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (existing.ok() && sameContents(in.fd, existing.fd)) {
                logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File :: ") + destination
                           + QStringLiteral(" already there with the same content."));
                return true;
            }
        }
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + destination
                   + QStringLiteral(" already exists with other content; kept as it is."));
        return false;
    }

    QByteArray temporary;
    Fd out;
    for (int attempt = 0; attempt < 100 && !out.ok(); ++attempt) {
        temporary = '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
        out = Fd(::openat(dirFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.ok() && errno != EEXIST)
            return false;
    }
    if (!out.ok())
        return false;
    const auto discard = [&] { ::unlinkat(dirFd, temporary.constData(), 0); };

    const qint64 copied = copyContents(in.fd, out.fd, [this] { return isInterruptionRequested(); });
    // A source that changed while it was read gives a copy of neither
    // version: that copy is no copy of the evidence.
    struct stat after {};
    if (copied >= 0 && (::fstat(in.fd, &after) != 0 || !sameState(before, after) || copied != before.st_size)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source
                   + QStringLiteral(" changed while it was copied; the copy is removed."));
        discard();
        return false;
    }
    if (copied < 0) {
        discard();
        return false;
    }
    ::fchmod(out.fd, before.st_mode & 07777);
    out = Fd();

    // Never replaces: a file that appeared meanwhile stays untouched.
    if (placefile::renameNoReplaceAt(dirFd, temporary.constData(), dirFd, name.constData()))
        return true;
    discard();
    Fd existing(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat appeared {};
    if (existing.ok() && ::fstat(existing.fd, &appeared) == 0 && isTheSource(appeared))
        return sourceItself();
    return existing.ok() && sameContents(in.fd, existing.fd);
}

void RawExport::run()
{
    m_failures = 0;
    const QString targetFolder = m_target.absolutePath();
    logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: export path ") + targetFolder);
    const int count = m_files.size();
    // Nothing is copied: the whole export counts as failed.
    const auto refuseAll = [this, count] {
        m_failures = 2 * count;
        if (m_failures > 0)
            Q_EMIT error(m_failures);
        Q_EMIT endingsignal();
    };

    // Copies written into the export folder being read would change the
    // evidence itself (its day would then fail its own integrity check).
    if (target_inside_source(targetFolder, m_files)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + targetFolder
                   + QStringLiteral(" lies inside the export folder being read; nothing copied."));
        refuseAll();
        return;
    }
    // Into the folder that holds it, every copy would be its own source.
    if (target_holds_source(targetFolder, m_files)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + targetFolder
                   + QStringLiteral(" holds the export folder being read; nothing copied."));
        refuseAll();
        return;
    }

    if (count == 0) {
        Q_EMIT endingsignal();
        return;
    }

    const QString target = QDir::cleanPath(targetFolder);
    // The target is held open from here on and every copy is made relative
    // to it: a folder swapped for a link while the copy runs (the target or
    // one above it) cannot redirect a single byte. What is held is checked
    // once more, as the path may have changed between the check and the
    // opening. Nothing is made when no file has a place in it.
    const bool anyPlace = std::any_of(m_files.cbegin(), m_files.cend(), [&target](const QFileInfo &file) {
        return !destination_for(file.absoluteFilePath(), target).isEmpty();
    });
    Fd held(anyPlace ? openTargetFolder(target) : -1);
    const QString heldPath = held.ok() ? heldFolderPath(held.fd) : QString();
    if (anyPlace && (!held.ok() || heldPath.isEmpty() || target_inside_source(heldPath, m_files))) {
        if (held.ok())
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + targetFolder
                       + QStringLiteral(" lies inside the export folder being read; nothing copied."));
        refuseAll();
        return;
    }
    if (anyPlace && target_holds_source(heldPath, m_files)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + targetFolder
                   + QStringLiteral(" holds the export folder being read; nothing copied."));
        refuseAll();
        return;
    }

    // The part of a destination below the target folder.
    const auto below = [&target](const QString &destination) {
        return destination.mid(target == QLatin1String("/") ? 1 : target.size() + 1);
    };

    for (int k = 1; k <= count; ++k) {
        if (isInterruptionRequested()) {
            logMessage("[INFO] ZuPlayer Raw Exporter :: stopped");
            return;
        }
        const QString source = m_files.at(k - 1).absoluteFilePath();
        const QString destination = destination_for(source, targetFolder);
        if (destination.isEmpty()) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + source
                       + QStringLiteral(" is not inside an export folder; not copied."));
            m_failures += 2;
            Q_EMIT valueChanged((200 * k - 100) / (2 * count));
            Q_EMIT valueChanged((200 * k) / (2 * count));
            continue;
        }
        const QString sourceRoot = source_root(export_folder_of(source));
        if (!copyBelow(source, sourceRoot, held.fd, target, below(destination)))
            ++m_failures;
        Q_EMIT valueChanged((200 * k - 100) / (2 * count));

        const QString seek = seekPathOf(source);
        const QString seekDestination = seekPathOf(destination);
        if (seek.isEmpty() || seekDestination.isEmpty()) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source
                       + QStringLiteral(" has no seek file name."));
            ++m_failures;
        } else if (!copyBelow(seek, sourceRoot, held.fd, target, below(seekDestination))) {
            ++m_failures;
        }
        Q_EMIT valueChanged((200 * k) / (2 * count));
    }

    // Camera lists of the whole export folder, every day included, so that
    // the copy names its cameras whatever day it holds.
    if (count > 0) {
        const QString first = QDir::cleanPath(m_files.first().absoluteFilePath());
        const int anchor = anchor_of(first);
        const QString exportFolder = export_folder_of(first);
        if (!exportFolder.isEmpty()) {
            const QString listsRoot = source_root(exportFolder);
            QStringList lists;
            QDirIterator it(exportFolder, {QStringLiteral("*.zunfo")}, QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                lists.append(QDir::cleanPath(it.next()));
            lists.sort();
            for (const QString &found : qAsConst(lists)) {
                if (isInterruptionRequested()) {
                    logMessage("[INFO] ZuPlayer Raw Exporter :: stopped");
                    return;
                }
                // Every list is placed by the first file's anchor, so all of
                // them land in the same export folder of the copy.
                const QString destination = QDir::cleanPath(target + found.mid(anchor));
                if (!isInside(destination, target) || !copyBelow(found, listsRoot, held.fd, target, below(destination)))
                    ++m_failures;
            }
        }
    }

    // The copy is where the folder held open is; should its path name
    // something else by now, the user would not find it there.
    struct stat now {};
    struct stat kept {};
    if (held.ok()
        && (::stat(QFile::encodeName(target).constData(), &now) != 0 || ::fstat(held.fd, &kept) != 0
            || now.st_dev != kept.st_dev || now.st_ino != kept.st_ino)) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: ") + target
                   + QStringLiteral(" was moved or replaced during the export; the copy lies in ") + heldFolderPath(held.fd));
        ++m_failures;
    }

    if (m_failures > 0) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: %1 file(s) not copied").arg(m_failures));
        Q_EMIT error(m_failures);
    }
    Q_EMIT endingsignal();
}
