#pragma once
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

#include "placefile.h"

struct archive;
struct archive_entry;

// Unpacks one downloaded archive (a ".zutar" package or any format libarchive
// reads) into a destination folder, optionally deletes the archive and
// reports the SHA-256 digest of every file of the destination.
//
// Archives come from outside and are not trusted. Nothing is ever written
// outside the destination folder: every entry is checked before the first
// one is created, in a reading pass of its own, and the whole extraction is
// refused when one entry is absolute, names a drive, climbs with "..", writes
// through a symbolic link, is a symbolic link whose target leaves the
// destination, is a hard link to a file outside it, or is a device, FIFO or
// socket. The same checks run again when each entry is written, beside
// libarchive's own refusal of "..", of writes through symbolic links, and a
// check of where the written entry really landed.
//
// A backslash in an entry's name separates folders, as it does where such
// names are written.
//
// Only the end of the archive counts as success: a truncated or corrupt
// archive fails with libarchive's text and is never deleted.
//
// The destination changes only when the whole archive has been written:
// entries go to a new hidden folder beside the destination and are moved
// into place at the end, so a failure midway (a damaged entry, a full disk,
// a name the file system refuses) leaves the destination as it was. An
// entry never replaces a file already in the destination: such an archive
// is refused before anything is written. The extracted size must fit the
// free space of the destination's file system with kFreeSpaceMargin to
// spare, while the entries are listed (an archive bomb is refused at its
// first entry that does not fit, before that entry is read through), before
// writing and all along, so a lying archive cannot fill it.
//
// The hidden work folder's name carries the stamp of the process that made
// it and of where that process runs; one left by an extraction that was
// killed on this machine is removed by the next extraction beside it, one
// whose maker cannot be judged from here is left alone. Before the move
// into place the extraction makes sure that its work folder is still the
// one it made and still holds every entry it wrote; otherwise (something
// removed it, or entries of it, meanwhile) it fails and the destination
// stays as it was.
class ArchiveExtractor : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveExtractor(QObject *parent = nullptr);
    ArchiveExtractor(const QString &archivePath, const QString &destination, bool deleteArchive = false,
                     bool hashFiles = false, QObject *parent = nullptr);

    void setArchivePath(const QString &path) { archivePath = path; }
    void setDestination(const QString &folder) { destination = folder; }
    void setDeleteArchive(bool on) { deleteArchive = on; }
    void setHashFiles(bool on) { hashFiles = on; }

    QString archiveFile() const { return archivePath; }
    QString destinationFolder() const { return destination; }
    // Text of the last failure; empty after a success.
    QString errorMessage() const { return error_message; }

    // Emits fileHashed for every regular file below `folder` whose name does
    // not contain ".zutar"; files that cannot be read are skipped.
    void hash_archives(const QString &folder);

    // Digests are read in blocks of this size, never whole files at once.
    static constexpr qint64 kHashBlockBytes = 1024 * 1024;
    // Space left free on the destination's file system by an extraction.
    static constexpr qint64 kFreeSpaceMargin = 64 * 1024 * 1024;
    // While writing, the free space is looked at again after this many bytes.
    static constexpr qint64 kSpaceCheckBytes = 4 * 1024 * 1024;

    // Bytes available to this user in the file system of `folder`, negative
    // when unknown; QStorageInfo unless replaced.
    using FreeSpaceQuery = std::function<qint64(const QString &folder)>;
    void setFreeSpaceQuery(FreeSpaceQuery query) { freeSpace = std::move(query); }

signals:
    void extractionFinished(bool success);
    void fileHashed(QString filePath, QString sha256);

public slots:
    // Runs to the end where it is called (queue it to run it on a worker
    // thread) and always ends with exactly one extractionFinished.
    void startExtraction();

private:
    // What was learnt about the archive's entries so far in one pass.
    struct Scan {
        QString root;          // the destination, absolute and clean
        QSet<QString> links;   // entry paths (relative) that are symbolic links
        qint64 declaredBytes = 0; // sizes the archive announces for its files
    };

    bool extract();
    bool fail(const QString &message);
    // Reads every header and skips the data: refuses hostile entries and
    // archives that end early before anything is created.
    bool checkAllEntries(const QString &root, qint64 *declaredBytes);
    // Checks one entry and works out its place below the destination
    // (`relative`, empty for the destination itself).
    bool checkEntry(archive_entry *entry, Scan &scan, QString *relative, QString *hardlinkRelative);
    bool refuse(const QString &name, const QString &reason);
    // An entry at `parts` below `root` would replace or write through
    // something that is already there.
    bool collides(const QString &root, const QStringList &parts, bool isFolder, const QString &name);
    bool writeEntries(const QString &root);
    bool copyData(archive *reader, archive *writer);
    // Fails when `declared` bytes do not fit `available` with the margin
    // (an unknown free space, negative, lets everything through).
    bool fitsFreeSpace(qint64 declared, qint64 available);
    // Fails when writing `upcoming` more bytes would eat into the margin.
    bool spaceLeft(qint64 upcoming);
    // Moves what `from` holds into `to`, merging folders and replacing
    // nothing; records each move so that it can be undone.
    bool moveInto(const QString &from, const QString &to, const QString &relative,
                  QList<QPair<QString, QString>> *moved);
    // `root` is still the folder `made` was taken of, and holds each entry
    // of writtenEntries as it was written.
    bool workFolderIntact(const QString &root, const placefile::Identity &made);

    FreeSpaceQuery freeSpace;
    QString spaceRoot;          // where the free space is measured
    qint64 sinceSpaceCheck = 0; // bytes written since the last look
    // Each entry written to the work folder (its path below it) and what
    // stood there once it was written.
    QHash<QString, placefile::Identity> writtenEntries;

    QString error_message;
    bool deleteArchive = false;
    bool hashFiles = false;
    QString archivePath;
    QString destination;
};
