#include "rawexport.h"

#include "seekfile.h"
#include "zulog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <memory>
#ifdef Q_OS_LINUX
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

const QLatin1String kAnchor("/talvor_");
const QLatin1String kVideoSuffix(".zuvideo");
constexpr qint64 kBufferBytes = 4 * 1024 * 1024;

// Buffered copy of what is left from `offset` on; used where the kernel
// cannot copy between the two files itself.
bool copyBuffered(QFile &in, QFile &out, qint64 offset)
{
    if (!in.seek(offset) || !out.seek(offset))
        return false;
    std::unique_ptr<char[]> buffer(new char[kBufferBytes]);
    for (;;) {
        const qint64 n = in.read(buffer.get(), kBufferBytes);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        qint64 written = 0;
        while (written < n) {
            const qint64 w = out.write(buffer.get() + written, n - written);
            if (w <= 0)
                return false;
            written += w;
        }
    }
}

// Copies the whole of `in` into the empty `out`. On Linux the kernel copies
// (and may share blocks) through copy_file_range, as cp does; a file system
// that refuses it falls back to the buffered loop where it stopped.
bool copyContents(QFile &in, QFile &out)
{
    qint64 done = 0;
#ifdef Q_OS_LINUX
    const int inFd = in.handle();
    const int outFd = out.handle();
    if (inFd >= 0 && outFd >= 0) {
        const qint64 size = in.size();
        loff_t inOffset = 0;
        loff_t outOffset = 0;
        bool kernelCopy = true;
        while (kernelCopy) {
            const ssize_t n = ::copy_file_range(inFd, &inOffset, outFd, &outOffset, 1 << 30, 0);
            if (n > 0)
                continue;
            if (n == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL
                || errno == EBADF || errno == EPERM || errno == ETXTBSY) {
                kernelCopy = false;
                break;
            }
            return false;
        }
        done = outOffset;
        // Some file systems answer 0 before the end; whatever is missing is
        // copied by hand, and a file that grows meanwhile is copied whole.
        if (kernelCopy && done >= size)
            return true;
    }
#endif
    return copyBuffered(in, out, done);
}

// Whether two files hold the same bytes.
bool sameContents(const QString &a, const QString &b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    if (fa.size() != fb.size())
        return false;
    std::unique_ptr<char[]> ba(new char[kBufferBytes]);
    std::unique_ptr<char[]> bb(new char[kBufferBytes]);
    for (;;) {
        const qint64 na = fa.read(ba.get(), kBufferBytes);
        const qint64 nb = fb.read(bb.get(), kBufferBytes);
        if (na < 0 || nb < 0 || na != nb)
            return false;
        if (na == 0)
            return true;
        if (memcmp(ba.get(), bb.get(), static_cast<size_t>(na)) != 0)
            return false;
    }
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

bool RawExport::copy_file(const QString &source, const QString &destination)
{
    logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File ") + source + QStringLiteral(" to ")
               + destination);
    const QFileInfo src(source);
    if (!src.exists() || !src.isFile()) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source + QStringLiteral(" missing."));
        return false;
    }
    const QFileInfo dst(destination);
    const QString folder = dst.absolutePath();
    if (!QFileInfo(folder).isDir()) {
        logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File :: create dir ") + folder);
        if (!QDir().mkpath(folder)) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to create ") + folder);
            return false;
        }
    }
    if (copyTo(src.absoluteFilePath(), dst.absoluteFilePath()))
        return true;
    logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: failed to copy ") + src.absoluteFilePath()
               + QStringLiteral(" to ") + dst.absoluteFilePath());
    return false;
}

bool RawExport::copyTo(const QString &source, const QString &destination)
{
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink()) {
        if (QFileInfo(destination).isFile() && sameContents(source, destination)) {
            logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: copy File :: ") + destination
                       + QStringLiteral(" already there with the same content."));
            return true;
        }
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + destination
                   + QStringLiteral(" already exists with other content; kept as it is."));
        return false;
    }

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QFileInfo dst(destination);
    QTemporaryFile out(dst.absolutePath() + QStringLiteral("/.") + dst.fileName() + QStringLiteral(".XXXXXX.part"));
    if (!out.open())
        return false;
    if (!copyContents(in, out) || !out.flush()) {
        out.remove();
        return false;
    }
    out.setPermissions(in.permissions());
    // QTemporaryFile::rename never replaces an existing file, so a file
    // that appeared meanwhile stays untouched and the copy fails.
    if (!out.rename(destination)) {
        out.remove();
        if (sameContents(source, destination))
            return true;
        return false;
    }
    out.setAutoRemove(false);
    return true;
}

void RawExport::run()
{
    m_failures = 0;
    const QString targetFolder = m_target.absolutePath();
    logMessage(QStringLiteral("[INFO] ZuPlayer Raw Exporter :: export path ") + targetFolder);

    const int count = m_files.size();
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
        if (!copy_file(source, destination))
            ++m_failures;
        Q_EMIT valueChanged((200 * k - 100) / (2 * count));

        const QString seek = seekPathOf(source);
        const QString seekDestination = seekPathOf(destination);
        if (seek.isEmpty() || seekDestination.isEmpty()) {
            logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: copy File :: ") + source
                       + QStringLiteral(" has no seek file name."));
            ++m_failures;
        } else if (!copy_file(seek, seekDestination)) {
            ++m_failures;
        }
        Q_EMIT valueChanged((200 * k) / (2 * count));
    }

    // Camera lists of the whole export folder, every day included, so that
    // the copy names its cameras whatever day it holds.
    if (count > 0) {
        const QString first = QDir::cleanPath(m_files.first().absoluteFilePath());
        const int anchor = anchor_of(first);
        const int end = anchor < 0 ? -1 : first.indexOf(QLatin1Char('/'), anchor + 1);
        if (end > 0) {
            const QString exportFolder = first.left(end);
            const QString target = QDir::cleanPath(targetFolder);
            QStringList lists;
            QDirIterator it(exportFolder, {QStringLiteral("*.zunfo")}, QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString found = QDir::cleanPath(it.next());
                // A target inside the export folder must not feed its own
                // copies back into the walk.
                if (!isInside(found, target))
                    lists.append(found);
            }
            lists.sort();
            for (const QString &found : qAsConst(lists)) {
                if (isInterruptionRequested()) {
                    logMessage("[INFO] ZuPlayer Raw Exporter :: stopped");
                    return;
                }
                // Every list is placed by the first file's anchor, so all of
                // them land in the same export folder of the copy.
                const QString destination = QDir::cleanPath(target + found.mid(anchor));
                if (!isInside(destination, target) || !copy_file(found, destination))
                    ++m_failures;
            }
        }
    }

    if (m_failures > 0) {
        logMessage(QStringLiteral("[ERROR] ZuPlayer Raw Exporter :: %1 file(s) not copied").arg(m_failures));
        Q_EMIT error(m_failures);
    }
    Q_EMIT endingsignal();
}
