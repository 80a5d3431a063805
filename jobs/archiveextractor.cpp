#include "archiveextractor.h"

#include "leftover.h"
#include "placefile.h"
#include "utf8ctype.h"
#include "zulog.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {
using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
using Writer = std::unique_ptr<archive, decltype(&archive_write_free)>;

constexpr size_t kReadBlockBytes = 10240;

const QString kLog = QStringLiteral("Archive Extractor :: startExtraction :: ");

QString errorText(archive *a)
{
    const char *text = a ? archive_error_string(a) : nullptr;
    return text && *text ? QString::fromLocal8Bit(text) : QStringLiteral("Archive illisible ou corrompue.");
}

// The entry's names in UTF-8 when libarchive can give them so, else in the
// archive's own encoding; a null string when the entry has none.
QString utf8OrLocal(const char *utf8, const char *local)
{
    if (utf8)
        return QString::fromUtf8(utf8);
    return local ? QString::fromLocal8Bit(local) : QString();
}

enum class NameFault { None, Absolute, Drive, DotDot };

// Cuts a name into its components. Both separators count: a name written on
// Windows climbs with a backslash as well, and such a name is refused here rather
// than turned into a strange file name.
NameFault rawParts(const QString &name, QStringList *parts)
{
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return NameFault::Absolute;
    *parts = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString first = parts->value(0);
    if (first.size() >= 2 && first.at(1) == QLatin1Char(':') && first.at(0).unicode() < 128 && first.at(0).isLetter())
        return NameFault::Drive;
    return NameFault::None;
}

// An entry's path below the destination, without empty and "." components.
NameFault splitName(const QString &name, QStringList *parts)
{
    QStringList raw;
    parts->clear();
    const NameFault fault = rawParts(name, &raw);
    if (fault != NameFault::None)
        return fault;
    for (const QString &part : raw) {
        if (part == QLatin1String(".."))
            return NameFault::DotDot;
        if (part != QLatin1String("."))
            parts->append(part);
    }
    return NameFault::None;
}

// A symbolic link's target, relative to the folder of the link (`depth`
// folders below the destination), stays inside the destination. ".." is
// accepted only at the start of the target: there it climbs through real
// folders (no entry is ever written through a link), while a ".." after a
// name could climb out of a linked folder.
bool linkTargetInside(const QString &target, int depth)
{
    QStringList raw;
    if (target.isEmpty() || rawParts(target, &raw) != NameFault::None)
        return false;
    int climbs = 0;
    bool named = false;
    for (const QString &part : raw) {
        if (part == QLatin1String("..")) {
            if (named)
                return false;
            ++climbs;
        } else if (part != QLatin1String(".")) {
            named = true;
        }
    }
    return climbs <= depth;
}

bool symlinkOnDisk(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

// `path` is `root` itself or lies below it; both canonical.
bool insideRoot(const QString &path, const QString &root)
{
    if (path.isEmpty())
        return false;
    if (path == root)
        return true;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.startsWith(prefix);
}

// Where a written entry really is: its folder (and, unless it is a link,
// the entry itself) resolved through the file system.
bool landedInside(const QString &target, bool isLink, const QString &root)
{
    const QFileInfo info(target);
    if (!insideRoot(QFileInfo(info.absolutePath()).canonicalFilePath(), root))
        return false;
    return isLink || insideRoot(info.canonicalFilePath(), root);
}

// A zip archive ends with its end-of-central-directory record; libarchive
// reads a zip cut short before it entry by entry and calls that complete.
bool zipEndPresent(const QString &path)
{
    constexpr qint64 kRecord = 22;
    constexpr qint64 kMaxComment = 65535;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    const qint64 tail = qMin(size, kRecord + kMaxComment);
    if (tail < kRecord || !file.seek(size - tail))
        return false;
    const QByteArray bytes = file.read(tail);
    if (bytes.size() != tail)
        return false;
    for (qint64 at = tail - kRecord; at >= 0; --at) {
        if (bytes.at(at) != 'P' || bytes.mid(at, 4) != QByteArrayLiteral("PK\x05\x06"))
            continue;
        const auto comment = qint64(quint8(bytes.at(at + 20))) | (qint64(quint8(bytes.at(at + 21))) << 8);
        if (at + kRecord + comment == tail)
            return true;
    }
    return false;
}

// lstat's file type of `path`, 0 when there is nothing there.
mode_t typeOnDisk(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// An open folder, closed when it goes.
class HeldFolder
{
public:
    explicit HeldFolder(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
    }
    ~HeldFolder()
    {
        if (fd >= 0)
            ::close(fd);
    }
    HeldFolder(const HeldFolder &) = delete;
    HeldFolder &operator=(const HeldFolder &) = delete;
    // Of the folder held, wherever it is now; nothing when none could be opened.
    placefile::Identity identity() const { return placefile::identityOf(fd); }

private:
    const int fd;
};

qint64 storageFreeBytes(const QString &folder)
{
    const QStorageInfo storage(folder);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

// The nearest folder of `path` (itself included) that exists.
QString existingFolder(const QString &path)
{
    QString folder = QDir::cleanPath(path);
    while (!QFileInfo(folder).isDir()) {
        const QString up = QFileInfo(folder).absolutePath();
        if (up == folder)
            break;
        folder = up;
    }
    return folder;
}

const QString kWorkTag = QStringLiteral(".extraction-");

// Work folders of extractions that were killed midway, in `folder`: the
// stamped ones whose maker has gone, and those of the earlier unstamped form
// for `destName` that nothing has touched for an hour. A stamp whose maker
// cannot be judged from here (made on another host, in another boot or
// process namespace, or by the version that stamped without saying where)
// may belong to an extraction still running: its folder is left alone.
// Nothing else that lies there is looked at.
void removeLeftovers(const QString &folder, const QString &destName)
{
    static const QRegularExpression stamped(
        QStringLiteral("^\\..+\\.extraction-(\\d+-\\d+(?:-[0-9a-f]{16})?)-[A-Za-z0-9]{6}$"));
    const QString unstamped = QLatin1Char('.') + destName + kWorkTag;
    const QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (!name.contains(kWorkTag))
            continue;
        const QRegularExpressionMatch match = stamped.match(name);
        const QString path = folder + QLatin1Char('/') + name;
        bool stale = false;
        if (match.hasMatch()) {
            const leftover::Owner owner = leftover::owner(match.capturedView(1));
            stale = owner == leftover::Owner::Gone;
            if (owner == leftover::Owner::Unknown)
                logMessage(QStringLiteral("[INFO] ") + kLog +
                           QStringLiteral("work folder of an extraction that cannot be judged from here, left "
                                          "alone :: ") +
                           path);
        } else if (name.size() == unstamped.size() + 6 && name.startsWith(unstamped))
            stale = QFileInfo(path).lastModified().secsTo(QDateTime::currentDateTime()) > 3600;
        if (!stale)
            continue;
        const bool removed = QDir(path).removeRecursively();
        logMessage((removed ? QStringLiteral("[INFO] ") : QStringLiteral("[WARN] ")) + kLog +
                   (removed ? QStringLiteral("removed the leftover of an interrupted extraction :: ")
                            : QStringLiteral("cannot remove the leftover of an interrupted extraction :: ")) +
                   path);
    }
}

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 Mo").arg(QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1));
}

Reader openReader(const QString &path, QString *error)
{
    Reader reader(archive_read_new(), &archive_read_free);
    if (!reader) {
        *error = QStringLiteral("Archive illisible ou corrompue.");
        return reader;
    }
    archive_read_support_format_all(reader.get());
    archive_read_support_filter_all(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(path).constData(), kReadBlockBytes) !=
        ARCHIVE_OK) {
        *error = errorText(reader.get());
        reader.reset();
    }
    return reader;
}
} // namespace

ArchiveExtractor::ArchiveExtractor(QObject *parent)
    : QObject(parent)
{
}

ArchiveExtractor::ArchiveExtractor(const QString &archivePath, const QString &destination, bool deleteArchive,
                                   bool hashFiles, QObject *parent)
    : QObject(parent)
    , deleteArchive(deleteArchive)
    , hashFiles(hashFiles)
    , archivePath(archivePath)
    , destination(destination)
{
}

void ArchiveExtractor::startExtraction()
{
    error_message.clear();
    if (!extract()) {
        emit extractionFinished(false);
        return;
    }
    if (deleteArchive && !QFile::remove(archivePath)) {
        error_message = QStringLiteral("Extraction réussie, mais suppression de l’archive échouée.");
        logMessage(QStringLiteral("[ERROR] ") + kLog + error_message);
        emit extractionFinished(false);
        return;
    }
    if (hashFiles)
        hash_archives(destination);
    emit extractionFinished(true);
}

bool ArchiveExtractor::fail(const QString &message)
{
    error_message = message;
    logMessage(QStringLiteral("[ERROR] ") + kLog + message);
    return false;
}

bool ArchiveExtractor::refuse(const QString &name, const QString &reason)
{
    return fail(QStringLiteral("Entrée d'archive refusée « %1 » : %2.").arg(name, reason));
}

bool ArchiveExtractor::extract()
{
    // An empty path would make libarchive read the standard input, an empty
    // destination would put the files in the working folder.
    if (archivePath.isEmpty())
        return fail(QStringLiteral("Aucune archive à extraire."));
    if (destination.isEmpty())
        return fail(QStringLiteral("Aucun dossier de destination."));
    // What an interrupted download leaves behind is not an empty archive.
    const QFileInfo archiveInfo(archivePath);
    if (archiveInfo.isFile() && archiveInfo.size() == 0)
        return fail(QStringLiteral("Archive vide ou tronquée : %1").arg(archivePath));

    // Entry names are read and written as UTF-8 whatever the process's locale.
    const Utf8CType utf8;

    const QString dest = QDir::cleanPath(QFileInfo(destination).absoluteFilePath());
    const QFileInfo destInfo(dest);
    if (destInfo.exists() && !destInfo.isDir())
        return fail(QStringLiteral("Impossible de créer le dossier de destination « %1 ».").arg(destination));

    // What killed extractions left here goes first: it takes space.
    if (QFileInfo(destInfo.absolutePath()).isDir())
        removeLeftovers(destInfo.absolutePath(), destInfo.fileName());
    if (destInfo.isDir())
        removeLeftovers(dest, destInfo.fileName());

    // The checking pass comes before anything is made, so that a refused
    // archive leaves nothing behind. Links met below the destination are
    // looked for on its absolute path, the writing pass works on the
    // canonical path of its own folder (libarchive refuses to write through
    // any link).
    qint64 declared = 0;
    spaceRoot = existingFolder(destInfo.absolutePath());
    if (!checkAllEntries(dest, &declared))
        return false;

    const QString parent = destInfo.absolutePath();
    const QString parentCanon = QDir().mkpath(parent) ? QFileInfo(parent).canonicalFilePath() : QString();
    if (parentCanon.isEmpty())
        return fail(QStringLiteral("Impossible de créer le dossier de destination « %1 ».").arg(destination));

    spaceRoot = parentCanon;
    sinceSpaceCheck = 0;
    if (!fitsFreeSpace(declared, freeSpace ? freeSpace(spaceRoot) : storageFreeBytes(spaceRoot)))
        return false;

    // Removed with whatever it still holds when this function returns; its
    // name says who made it, so that one left by a killed extraction goes
    // next time. A destination whose folder is not ours to write in gets it
    // inside.
    const QString hidden = QStringLiteral("/.") + destInfo.fileName() + kWorkTag + leftover::ownerStamp() +
                           QStringLiteral("-XXXXXX");
    auto work = std::make_unique<QTemporaryDir>(parentCanon + hidden);
    if (!work->isValid() && destInfo.isDir())
        work = std::make_unique<QTemporaryDir>(dest + hidden);
    const QString root = work->isValid() ? QFileInfo(work->path()).canonicalFilePath() : QString();
    if (root.isEmpty())
        return fail(QStringLiteral("Impossible de créer le dossier d'extraction temporaire dans « %1 ».")
                        .arg(parentCanon));
    // Held open until the end, the folder keeps its inode: one made again at
    // its name after it was removed cannot get the same.
    const HeldFolder held(root);
    const placefile::Identity made = held.identity();
    writtenEntries.clear();
    if (!writeEntries(root)) {
        // The user knows the destination, not the folder it was written in.
        error_message.replace(root, dest);
        return false;
    }
    // Something else may have removed the folder meanwhile (libarchive makes
    // it again for the entries after that) or entries in it: what is moved
    // into place must be the whole archive.
    if (!workFolderIntact(root, made))
        return false;

    // A destination that does not exist yet is the written folder itself.
    if (typeOnDisk(dest) == 0) {
        QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        if (placefile::renameNoReplace(root, dest))
            return true;
        if (errno != EEXIST)
            return fail(QStringLiteral("Impossible de créer le dossier de destination « %1 » : %2")
                            .arg(destination, QString::fromLocal8Bit(strerror(errno))));
    }
    QList<QPair<QString, QString>> moved;
    if (moveInto(root, dest, QString(), &moved))
        return true;
    for (auto it = moved.crbegin(); it != moved.crend(); ++it)
        if (::rename(QFile::encodeName(it->second).constData(), QFile::encodeName(it->first).constData()) != 0)
            logMessage(QStringLiteral("[ERROR] ") + kLog + QStringLiteral("cannot take back ") + it->second);
    return false;
}

bool ArchiveExtractor::workFolderIntact(const QString &root, const placefile::Identity &made)
{
    if (!made.exists || placefile::identityOf(root) != made)
        return fail(QStringLiteral("Le dossier de travail de l'extraction a été supprimé ou remplacé pendant "
                                   "l'extraction : l'archive n'est pas extraite dans « %1 ».")
                        .arg(destination));
    for (auto it = writtenEntries.cbegin(); it != writtenEntries.cend(); ++it) {
        if (placefile::identityOf(root + QLatin1Char('/') + it.key()) != it.value())
            return fail(QStringLiteral("« %1 » a disparu du dossier de travail de l'extraction ou y a été remplacé "
                                       "pendant l'extraction : l'archive n'est pas extraite dans « %2 ».")
                            .arg(it.key(), destination));
    }
    return true;
}

bool ArchiveExtractor::moveInto(const QString &from, const QString &to, const QString &relative,
                                QList<QPair<QString, QString>> *moved)
{
    const QStringList names =
        QDir(from).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString source = from + QLatin1Char('/') + name, target = to + QLatin1Char('/') + name;
        const QString path = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
        if (placefile::renameNoReplace(source, target)) {
            moved->append({source, target});
            continue;
        }
        const int error = errno;
        if (error == EEXIST && typeOnDisk(source) == S_IFDIR && typeOnDisk(target) == S_IFDIR) {
            if (!moveInto(source, target, path, moved))
                return false;
            continue;
        }
        if (error == EEXIST)
            return fail(QStringLiteral("Le fichier « %1 » existe déjà dans le dossier de destination : l'archive "
                                       "n'est pas extraite.")
                            .arg(QDir::toNativeSeparators(target)));
        return fail(QStringLiteral("Impossible de placer « %1 » dans le dossier de destination : %2")
                        .arg(path, QString::fromLocal8Bit(strerror(error))));
    }
    return true;
}

bool ArchiveExtractor::fitsFreeSpace(qint64 declared, qint64 available)
{
    if (available < 0 || declared <= available - kFreeSpaceMargin)
        return true;
    return fail(QStringLiteral("Espace disque insuffisant pour extraire l'archive : %1 nécessaires, %2 "
                               "disponibles dans « %3 ».")
                    .arg(megabytes(declared + kFreeSpaceMargin), megabytes(available), spaceRoot));
}

bool ArchiveExtractor::spaceLeft(qint64 upcoming)
{
    sinceSpaceCheck = 0;
    const qint64 available = freeSpace ? freeSpace(spaceRoot) : storageFreeBytes(spaceRoot);
    if (available < 0 || available - upcoming >= kFreeSpaceMargin)
        return true;
    return fail(QStringLiteral("Espace disque insuffisant : l'extraction de l'archive est abandonnée pour ne pas "
                               "remplir le disque (%1 disponibles dans « %2 »).")
                    .arg(megabytes(available), spaceRoot));
}

bool ArchiveExtractor::collides(const QString &root, const QStringList &parts, bool isFolder, const QString &name)
{
    QString path = root;
    for (int i = 0; i < parts.size(); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        const mode_t type = typeOnDisk(path);
        if (type == 0)
            return false;
        // Folders on the way, and a folder entry that exists, merge; links
        // on the way were refused already.
        if (type == S_IFDIR && (i + 1 < parts.size() || isFolder))
            continue;
        fail(QStringLiteral("Le fichier « %1 » existe déjà dans le dossier de destination : l'archive n'est pas "
                            "extraite.")
                 .arg(QDir::toNativeSeparators(path)));
        return true;
    }
    return false;
}

bool ArchiveExtractor::checkEntry(archive_entry *entry, Scan &scan, QString *relative, QString *hardlinkRelative)
{
    relative->clear();
    hardlinkRelative->clear();
    const QString name = utf8OrLocal(archive_entry_pathname_utf8(entry), archive_entry_pathname(entry));
    if (name.isNull())
        return refuse(QStringLiteral("?"), QStringLiteral("nom illisible"));

    QStringList parts;
    switch (splitName(name, &parts)) {
    case NameFault::Absolute:
        return refuse(name, QStringLiteral("chemin absolu"));
    case NameFault::Drive:
        return refuse(name, QStringLiteral("lettre de lecteur"));
    case NameFault::DotDot:
        return refuse(name, QStringLiteral("remontée de dossier (..)"));
    case NameFault::None:
        break;
    }

    const char *hardUtf8 = archive_entry_hardlink_utf8(entry);
    const char *hardLocal = archive_entry_hardlink(entry);
    const bool isHardlink = hardUtf8 || hardLocal;
    const auto type = archive_entry_filetype(entry);

    if (parts.isEmpty()) {
        // "./": the destination itself, which already exists.
        if (type == AE_IFDIR && !isHardlink)
            return true;
        return refuse(name, QStringLiteral("nom vide"));
    }
    *relative = parts.join(QLatin1Char('/'));

    // A prefix that is (or will be) a symbolic link would carry the entry
    // wherever the link points.
    const auto throughLink = [&scan](const QStringList &path, int count) {
        for (int i = 1; i <= count; ++i) {
            const QString prefix = path.mid(0, i).join(QLatin1Char('/'));
            if (scan.links.contains(prefix) || symlinkOnDisk(scan.root + QLatin1Char('/') + prefix))
                return true;
        }
        return false;
    };
    if (throughLink(parts, int(parts.size()) - 1))
        return refuse(name, QStringLiteral("écriture à travers un lien symbolique"));

    if (isHardlink) {
        const QString target = utf8OrLocal(hardUtf8, hardLocal);
        QStringList targetParts;
        // The target is a name of this archive: it must be a file below the
        // destination reached without a link, and not a link itself.
        if (splitName(target, &targetParts) != NameFault::None || targetParts.isEmpty() ||
            throughLink(targetParts, int(targetParts.size())))
            return refuse(name, QStringLiteral("lien physique hors du dossier de destination"));
        *hardlinkRelative = targetParts.join(QLatin1Char('/'));
        scan.links.remove(*relative);
        return true;
    }

    switch (type) {
    case AE_IFLNK: {
        const QString target = utf8OrLocal(archive_entry_symlink_utf8(entry), archive_entry_symlink(entry));
        if (!linkTargetInside(target, int(parts.size()) - 1))
            return refuse(name, QStringLiteral("lien symbolique hors du dossier de destination"));
        scan.links.insert(*relative);
        return true;
    }
    case AE_IFREG:
    case AE_IFDIR:
        scan.links.remove(*relative);
        return true;
    default:
        // Devices, FIFOs and sockets have no place in a download.
        return refuse(name, QStringLiteral("type d'entrée non pris en charge"));
    }
}

bool ArchiveExtractor::checkAllEntries(const QString &root, qint64 *declaredBytes)
{
    QString error;
    Reader reader = openReader(archivePath, &error);
    if (!reader)
        return fail(error);

    // Reading through a compressed entry costs as much as unpacking it: an
    // archive whose sizes cannot fit is refused at the first entry that does
    // not, before its data is read.
    const qint64 available = freeSpace ? freeSpace(spaceRoot) : storageFreeBytes(spaceRoot);
    Scan scan{root, {}};
    la_int64_t entriesEnd = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int rc = archive_read_next_header(reader.get(), &entry);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
            return fail(errorText(reader.get()));
        QString relative, hardlink;
        if (!checkEntry(entry, scan, &relative, &hardlink))
            return false;
        const bool isFolder = hardlink.isEmpty() && archive_entry_filetype(entry) == AE_IFDIR;
        if (!relative.isEmpty() && collides(root, relative.split(QLatin1Char('/')), isFolder, relative))
            return false;
        if (hardlink.isEmpty() && archive_entry_filetype(entry) == AE_IFREG && archive_entry_size_is_set(entry))
            scan.declaredBytes += qMax<la_int64_t>(0, archive_entry_size(entry));
        if (!fitsFreeSpace(scan.declaredBytes, available))
            return false;
        // Skipping reads a compressed stream through to the entry's end, so
        // an archive cut short fails here, before anything is written.
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK)
            return fail(errorText(reader.get()));
        entriesEnd = archive_filter_bytes(reader.get(), 0);
    }

    // libarchive also calls it the end when a tar archive stops between two
    // entries, without its closing blocks, or a zip archive before its
    // central directory: a download cut there must not pass for complete.
    const int format = archive_format(reader.get()) & ARCHIVE_FORMAT_BASE_MASK;
    const bool endMissing = (format == ARCHIVE_FORMAT_TAR && archive_filter_bytes(reader.get(), 0) <= entriesEnd) ||
                            (format == ARCHIVE_FORMAT_ZIP && !zipEndPresent(archivePath));
    if (endMissing)
        return fail(QStringLiteral("Archive tronquée : la fin de l'archive manque (%1).").arg(archivePath));
    *declaredBytes = scan.declaredBytes;
    return true;
}

bool ArchiveExtractor::writeEntries(const QString &root)
{
    QString error;
    Reader reader = openReader(archivePath, &error);
    if (!reader)
        return fail(error);
    Writer writer(archive_write_disk_new(), &archive_write_free);
    if (!writer)
        return fail(QStringLiteral("Archive illisible ou corrompue."));
    // The entries' names are made absolute below the destination, so the
    // refusal of absolute names is ours; libarchive still refuses ".." and
    // any write through a symbolic link on its own.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    Scan scan{root, {}};
    for (;;) {
        archive_entry *entry = nullptr;
        int rc = archive_read_next_header(reader.get(), &entry);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN)
            return fail(errorText(reader.get()));
        if (rc == ARCHIVE_WARN)
            logMessage(QStringLiteral("[WARN] ") + kLog + errorText(reader.get()));

        QString relative, hardlink;
        if (!checkEntry(entry, scan, &relative, &hardlink))
            return false;
        if (relative.isEmpty()) {
            if (archive_read_data_skip(reader.get()) != ARCHIVE_OK)
                return fail(errorText(reader.get()));
            continue;
        }
        const QString target = root + QLatin1Char('/') + relative;
        if (!archive_entry_update_pathname_utf8(entry, target.toUtf8().constData()))
            return fail(QStringLiteral("Nom d'entrée impossible à écrire : %1").arg(relative));
        if (!hardlink.isEmpty() &&
            !archive_entry_update_hardlink_utf8(entry, (root + QLatin1Char('/') + hardlink).toUtf8().constData()))
            return fail(QStringLiteral("Nom d'entrée impossible à écrire : %1").arg(hardlink));

        const bool isLink = hardlink.isEmpty() && archive_entry_filetype(entry) == AE_IFLNK;
        if (hardlink.isEmpty() && archive_entry_filetype(entry) == AE_IFREG &&
            !spaceLeft(archive_entry_size_is_set(entry) ? qMax<la_int64_t>(0, archive_entry_size(entry)) : 0))
            return false;
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK)
            return fail(errorText(writer.get()));
        if (!copyData(reader.get(), writer.get()))
            return false;
        rc = archive_write_finish_entry(writer.get());
        if (rc < ARCHIVE_WARN)
            return fail(errorText(writer.get()));
        if (!landedInside(target, isLink, root))
            return fail(QStringLiteral("Entrée écrite hors du dossier de destination : %1").arg(relative));
        writtenEntries.insert(relative, placefile::identityOf(target));
    }
    // Closing applies the folders' deferred attributes.
    if (archive_write_close(writer.get()) < ARCHIVE_WARN)
        return fail(errorText(writer.get()));
    return true;
}

bool ArchiveExtractor::copyData(archive *reader, archive *writer)
{
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int rc = archive_read_data_block(reader, &block, &size, &offset);
        if (rc == ARCHIVE_EOF)
            return true;
        // A warning here is a damaged entry (a checksum that does not match).
        if (rc != ARCHIVE_OK) {
            fail(errorText(reader));
            archive_write_finish_entry(writer);
            return false;
        }
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
            fail(errorText(writer));
            archive_write_finish_entry(writer);
            return false;
        }
        sinceSpaceCheck += qint64(size);
        if (sinceSpaceCheck >= kSpaceCheckBytes && !spaceLeft(0)) {
            archive_write_finish_entry(writer);
            return false;
        }
    }
}

void ArchiveExtractor::hash_archives(const QString &folder)
{
    std::vector<char> buffer(static_cast<size_t>(kHashBlockBytes));
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().contains(QLatin1String(".zutar")))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        bool readOk = true;
        for (;;) {
            const qint64 n = file.read(buffer.data(), kHashBlockBytes);
            if (n < 0) {
                readOk = false;
                break;
            }
            if (n == 0)
                break;
            hash.addData(QByteArrayView(buffer.data(), n));
        }
        if (readOk)
            emit fileHashed(path, QString::fromLatin1(hash.result().toHex()));
    }
}
