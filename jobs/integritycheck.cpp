#include "integritycheck.h"

#include "encrypt.h"
#include "zulog.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace {
const QStringList kCountExcluded = {QStringLiteral("index.zunfo"), QStringLiteral("hash.json"),
                                    QStringLiteral("zuvideoindex.json"), QStringLiteral("zuindex_cache")};
const QStringList kListExcluded = {QStringLiteral("index.zunfo"), QStringLiteral("hash.json"),
                                   QStringLiteral("zuvideoindex.json")};

bool nameExcluded(const QString &name, const QStringList &excluded)
{
    for (const QString &text : excluded) {
        if (name.contains(text))
            return true;
    }
    return false;
}

// `path` and `root` are canonical; true when `path` lies below `root`.
bool isBelow(const QString &path, const QString &root)
{
    if (root.isEmpty() || path.isEmpty())
        return false;
    if (root == QLatin1String("/"))
        return path.size() > 1 && path.startsWith(QLatin1Char('/'));
    return path.size() > root.size() + 1 && path.startsWith(root) && path.at(root.size()) == QLatin1Char('/');
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

using DigestCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
} // namespace

IntegrityCheck::IntegrityCheck(QString folder)
    : folder(std::move(folder))
{
}

IntegrityCheck::~IntegrityCheck()
{
    stop.store(true);
    wait();
}

void IntegrityCheck::run()
{
    logMessage("[INFO] Integrity check :: start");
    check_integrity();
}

void IntegrityCheck::user_stop()
{
    logMessage("[INFO] Integrity check :: stopped by user");
    stop.store(true);
}

QStringList IntegrityCheck::walk(const QString &dir, const QStringList &excluded,
                                 QStringList *linkedFolders) const
{
    // Iterative, and symlinked folders are never entered: a link back up the
    // tree cannot loop and a link elsewhere cannot pull outside files in.
    QStringList files;
    QStringList pending{dir};
    while (!pending.isEmpty()) {
        const QString current = pending.takeFirst();
        const QDir d(current);
        const QFileInfoList plain = d.entryInfoList(QDir::Files, QDir::NoSort);
        for (const QFileInfo &fi : plain) {
            if (!nameExcluded(fi.fileName(), excluded))
                files.append(fi.absoluteFilePath());
        }
        const QFileInfoList subs = d.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
        for (int i = subs.size() - 1; i >= 0; --i) {
            if (subs.at(i).isSymLink()) {
                if (linkedFolders)
                    linkedFolders->append(subs.at(i).absoluteFilePath());
                continue;
            }
            pending.prepend(subs.at(i).absoluteFilePath());
        }
    }
    return files;
}

int IntegrityCheck::count_files(const QString &dir)
{
    return int(walk(dir, kCountExcluded).size());
}

QFileInfoList IntegrityCheck::list_files(const QString &dir)
{
    QFileInfoList list;
    for (const QString &path : walk(dir, kListExcluded))
        list.append(QFileInfo(path));
    return list;
}

QJsonArray IntegrityCheck::get_json_array(const QString &path)
{
    // Only a regular file is handed to the decryption: opening a FIFO or a
    // device planted under the manifest's name would block or never end.
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QJsonArray();
    if (!S_ISREG(st.st_mode)) {
        logMessage(QStringLiteral("[ERROR] Integrity check :: get json array :: faild to openfile READ :: ") + path);
        return QJsonArray();
    }
    Encrypt encrypt;
    const QByteArray plain = encrypt.decryptFile(QFile::encodeName(path));
    if (plain.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] Integrity check :: get json array :: faild to openfile READ :: ") + path);
        return QJsonArray();
    }
    return QJsonDocument::fromJson(plain).array();
}

void IntegrityCheck::invalid_integrity(const QJsonArray &manifest, const QFileInfoList &files)
{
    QSet<QString> recorded;
    for (const QJsonValue &v : manifest) {
        if (v.isObject())
            recorded.insert(v.toObject().value(QStringLiteral("absolutepath")).toString());
    }
    QSet<QString> onDisk;
    for (const QFileInfo &fi : files)
        onDisk.insert(fi.absoluteFilePath());
    for (const QString &p : recorded) {
        if (!onDisk.contains(p))
            logMessage(QStringLiteral("[ERROR] Integrity check :: invalid integrity :: file missing :: ") + p);
    }
    for (const QString &p : onDisk) {
        if (!recorded.contains(p))
            logMessage(QStringLiteral("[ERROR] Integrity check :: invalid integrity :: file added :: ") + p);
    }
}

QString IntegrityCheck::insideRegularFile(const QString &candidate) const
{
    const QString canonical = QFileInfo(candidate).canonicalFilePath();
    if (!isBelow(canonical, canonicalFolder))
        return QString();
    struct stat st {};
    if (::stat(QFile::encodeName(canonical).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QString();
    return canonical;
}

int IntegrityCheck::openRegular(const QString &path, FileId *id)
{
    // O_NONBLOCK: should the file have been swapped for a FIFO since it was
    // looked at, the open returns at once and fstat refuses it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    id->dev = quint64(st.st_dev);
    id->ino = quint64(st.st_ino);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return fd;
}

IntegrityCheck::HashResult IntegrityCheck::hashFile(int fd, QString *hexDigest)
{
    DigestCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return HashResult::ReadError;
    std::unique_ptr<char[]> buffer(new char[kBlockBytes]);
    for (;;) {
        // A stop must not wait for the end of a large file.
        if (stop.load(std::memory_order_relaxed))
            return HashResult::Stopped;
        const ssize_t n = ::read(fd, buffer.get(), size_t(kBlockBytes));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return HashResult::ReadError;
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer.get(), size_t(n)) != 1)
            return HashResult::ReadError;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &mdLen) != 1)
        return HashResult::ReadError;
    *hexDigest = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(md), int(mdLen)).toHex());
    return HashResult::Match;
}

void IntegrityCheck::check_integrity()
{
    logMessage(QStringLiteral("[INFO] Integrity check :: check integrity in directory ") + folder);

    canonicalFolder = QFileInfo(folder).canonicalFilePath();
    const QString root = canonicalFolder.isEmpty() ? folder : canonicalFolder;

    // The files that count, with their identities: a verified entry must be
    // one of them, and each of them must be verified once.
    QStringList linkedFolders;
    const QStringList counted = walk(root, kCountExcluded, &linkedFolders);
    QHash<QString, FileId> countedIds;
    QSet<FileId> countedIdSet;
    for (const QString &path : counted) {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
            const FileId id{quint64(st.st_dev), quint64(st.st_ino)};
            countedIds.insert(path, id);
            countedIdSet.insert(id);
        }
    }
    const int count = int(counted.size());
    logMessage(QStringLiteral("[INFO] Integrity check :: files count in root directory ") + folder +
               QStringLiteral(" : ") + QString::number(count));

    const QString manifestPath = folder + QStringLiteral("/hash.json");
    const QJsonArray manifest = get_json_array(manifestPath);
    if (manifest.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: array empty :: ") + manifestPath);
        valid = false;
    }

    emit hash_file_found(!manifest.isEmpty());
    emit file_count(int(manifest.size()));
    emit start_check();

    if (manifest.size() != count) {
        logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: size not valid :: ") +
                   QString::number(manifest.size()) + QStringLiteral("(size) != ") + QString::number(count) +
                   QStringLiteral("(count)"));
        valid = false;
        invalid_integrity(manifest, list_files(root));
        emit file_count_check(false);
    } else {
        emit file_count_check(true);
    }

    QSet<FileId> verified;
    bool stopped = false;
    int skipped = 0;
    if (valid) {
        for (int index = 0; index < manifest.size(); ++index) {
            if (stop.load()) {
                stopped = true;
                valid = false;
                break;
            }
            const QJsonObject entry = manifest.at(index).toObject();
            const QString file = entry.value(QStringLiteral("file")).toString();
            const QString absolutepath = entry.value(QStringLiteral("absolutepath")).toString();
            const QString sha256 = entry.value(QStringLiteral("sha256")).toString();
            if (file.isEmpty() || absolutepath.isEmpty()) {
                // Not an error of its own, but a skipped entry leaves a file
                // of the day unverified, so the verdict cannot be OK.
                logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: entry skipped :: ") +
                           QString::number(index));
                ++skipped;
                continue;
            }

            emit begin_check_file(file);

            bool entryOk = false;
            int fd = -1;
            FileId id;
            QString opened;
            // The recorded absolute path serves only while it still names a
            // file of this day folder; a moved or copied folder, or a hostile
            // manifest, falls back to the relative path.
            const QString fromAbsolute =
                QDir::isAbsolutePath(absolutepath) ? insideRegularFile(absolutepath) : QString();
            if (!fromAbsolute.isEmpty()) {
                fd = openRegular(fromAbsolute, &id);
                if (fd < 0)
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: faile do open file :: ") +
                               absolutepath);
                opened = fromAbsolute;
            } else {
                const QString path = entry.value(QStringLiteral("path")).toString();
                QString candidate;
                QString resolved;
                if (!path.isEmpty() && QDir::isRelativePath(path)) {
                    candidate = QDir::cleanPath(root + QLatin1Char('/') + path);
                    resolved = insideRegularFile(candidate);
                }
                if (resolved.isEmpty()) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: couldn't find file :: ") +
                               file);
                } else {
                    logMessage(QStringLiteral("[INFO] Integrity check :: check integrity :: path file :: ") +
                               candidate + QStringLiteral(" exist"));
                    fd = openRegular(resolved, &id);
                    if (fd < 0)
                        logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed to open file :: ") +
                                   candidate);
                    opened = resolved;
                }
            }
            FdCloser closer{fd};

            if (fd >= 0) {
                if (!countedIdSet.contains(id)) {
                    // Inside the folder but not a file of the day (the
                    // manifest itself, an index file, a hidden file).
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: not a file of the day :: ") +
                               opened);
                } else if (verified.contains(id)) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: duplicate entry :: ") +
                               file);
                } else if (sha256.isEmpty()) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: no hash log for file ") +
                               opened);
                } else {
                    QString computed;
                    const HashResult r = hashFile(fd, &computed);
                    if (r == HashResult::Stopped) {
                        stopped = true;
                        valid = false;
                        break;
                    }
                    if (r == HashResult::ReadError) {
                        logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed to open file :: ") +
                                   opened);
                    } else if (computed != sha256) {
                        logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed ") + sha256 +
                                   QStringLiteral(" != ") + computed);
                    } else {
                        verified.insert(id);
                        entryOk = true;
                    }
                }
            }

            if (!entryOk) {
                valid = false;
                emit end_check_file(file, false);
                break;
            }
            emit end_check_file(file, true);
        }
    }

    if (valid && !stopped) {
        // Every counted file must have been verified by exactly one entry.
        bool allVerified = skipped == 0 && verified.size() == count;
        if (!allVerified) {
            logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: files verified :: ") +
                       QString::number(verified.size()) + QStringLiteral(" != ") + QString::number(count) +
                       QStringLiteral("(count)"));
            for (const QString &path : counted) {
                const auto it = countedIds.constFind(path);
                if (it == countedIds.cend() || !verified.contains(*it))
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: file not verified :: ") +
                               path);
            }
            valid = false;
        }
    }

    // The player reads a segment folder that is a link like any other, but
    // what lies behind a link was neither counted nor verified here.
    if (!linkedFolders.isEmpty()) {
        for (const QString &path : std::as_const(linkedFolders))
            logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: linked folder not verified :: ") +
                       path);
        valid = false;
    }

    if (valid)
        logMessage("[INFO] Integrity check :: INTEGRITY OK");
    else
        logMessage("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED");
    emit end_check(valid);
}
