#include "integritycheck.h"

#include "encrypt.h"
#include "zulog.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStringDecoder>

#include <openssl/evp.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {
// A name as bytes, readable in a log line: bytes that are not printable
// ASCII are written as \xNN.
QString escapedName(const QByteArray &name)
{
    QString out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

// The name as text when it is valid UTF-8, which is what every path of the
// manifest and of the player is; a null string otherwise.
QString utf8Name(const QByteArray &name)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(name);
    if (decoder.hasError() || text.isEmpty())
        return QString();
    return text;
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

// Lines of one kind in a report that may run to millions (a manifest of a
// million entries against an empty day): the first and the last ones are
// logged with the count of those left out between them, so that the lines
// that explain the verdict stay in a log that is emptied past its cap.
class CappedReport
{
public:
    explicit CappedReport(QString prefix)
        : m_prefix(std::move(prefix))
    {
    }
    ~CappedReport() { flush(); }
    CappedReport(const CappedReport &) = delete;
    CappedReport &operator=(const CappedReport &) = delete;

    void add(const QString &detail)
    {
        if (m_logged < IntegrityCheck::kReportHeadLines) {
            ++m_logged;
            logMessage(m_prefix + detail);
            return;
        }
        m_tail.push_back(detail);
        if (int(m_tail.size()) > IntegrityCheck::kReportTailLines) {
            m_tail.pop_front();
            ++m_leftOut;
        }
    }
    void flush()
    {
        if (m_leftOut > 0)
            logMessage(m_prefix + QStringLiteral("... %1 more not logged ...").arg(m_leftOut));
        for (const QString &detail : m_tail)
            logMessage(m_prefix + detail);
        m_tail.clear();
        m_leftOut = 0;
    }

private:
    QString m_prefix;
    int m_logged = 0;
    qint64 m_leftOut = 0;
    std::deque<QString> m_tail;
};
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

const QStringList &IntegrityCheck::excludedTopNames()
{
    static const QStringList names{QStringLiteral("hash.json"), QStringLiteral("index.zunfo")};
    return names;
}

IntegrityCheck::DayTree IntegrityCheck::walk(const QString &dir) const
{
    // Iterative, and symlinked folders are never entered: a link back up the
    // tree cannot loop and a link elsewhere cannot pull outside files in.
    DayTree tree;
    QStringList pending{dir};
    bool top = true;
    while (!pending.isEmpty()) {
        // A day of a million files takes a while to walk.
        if (stop.load(std::memory_order_relaxed))
            return tree;
        const QString current = pending.takeFirst();
        const bool atTop = top;
        top = false;
        DIR *d = ::opendir(QFile::encodeName(current).constData());
        if (!d) {
            tree.unverifiable.append({current, QStringLiteral("folder not readable")});
            continue;
        }
        std::vector<QByteArray> names;
        while (const dirent *e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        QStringList subfolders;
        for (const QByteArray &name : names) {
            const QString text = utf8Name(name);
            if (text.isNull()) {
                tree.unverifiable.append({current + QLatin1Char('/') + escapedName(name), QStringLiteral("name not UTF-8")});
                continue;
            }
            const QString path = current + QLatin1Char('/') + text;
            if (name.startsWith('.')) {
                tree.hidden.append(path);
                continue;
            }
            struct stat st {};
            if (::fstatat(::dirfd(d), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                tree.unverifiable.append({path, QStringLiteral("cannot be examined")});
                continue;
            }
            if (S_ISLNK(st.st_mode)) {
                // A link to a file counts as that file (its entry must then
                // lead inside the day); a link to a folder is not entered.
                if (::fstatat(::dirfd(d), name.constData(), &st, 0) != 0) {
                    tree.unverifiable.append({path, QStringLiteral("dangling link")});
                    continue;
                }
                if (S_ISDIR(st.st_mode)) {
                    tree.linkedFolders.append(path);
                    continue;
                }
            } else if (S_ISDIR(st.st_mode)) {
                subfolders.append(path);
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                tree.unverifiable.append({path, QStringLiteral("not a regular file")});
                continue;
            }
            if (atTop && excludedTopNames().contains(text))
                continue;
            tree.counted.append(path);
        }
        ::closedir(d);
        pending = subfolders + pending;
    }
    return tree;
}

int IntegrityCheck::count_files(const QString &dir)
{
    return int(walk(dir).counted.size());
}

QFileInfoList IntegrityCheck::list_files(const QString &dir)
{
    QFileInfoList list;
    for (const QString &path : walk(dir).counted)
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
    QByteArray plain;
    {
        Encrypt encrypt;
        plain = encrypt.decryptFile(QFile::encodeName(path));
    }
    if (plain.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] Integrity check :: get json array :: faild to openfile READ :: ") + path);
        return QJsonArray();
    }
    if (stop.load())
        return QJsonArray();
    QJsonDocument document = QJsonDocument::fromJson(plain);
    plain = QByteArray(); // the text and its parsed form are never held together for long
    return document.array();
}

void IntegrityCheck::invalid_integrity(const QJsonArray &manifest, const QFileInfoList &files)
{
    // Entries and files are matched as the verification matches them, by
    // where the entry leads and by file identity, so that a moved or copied
    // day names only what really differs.
    ensureCanonicalFolder();
    QHash<FileId, QString> onDisk;
    for (const QFileInfo &fi : files) {
        FileId id;
        if (identify(fi.absoluteFilePath(), &id))
            onDisk.insert(id, fi.absoluteFilePath());
    }
    QSet<FileId> claimed;
    CappedReport missing(QStringLiteral("[ERROR] Integrity check :: invalid integrity :: file missing :: "));
    for (const QJsonValue &v : manifest) {
        if (stop.load(std::memory_order_relaxed)) {
            logMessage(QStringLiteral("[INFO] Integrity check :: invalid integrity :: report stopped by user"));
            return;
        }
        if (!v.isObject())
            continue;
        const QJsonObject entry = v.toObject();
        // Most entries of a manifest that does not fit the day lead nowhere:
        // one look at each path tells, before its links are resolved.
        const Located where = leadsSomewhere(entry) ? locate(entry) : Located();
        FileId id;
        if (!where.resolved.isEmpty() && identify(where.resolved, &id) && onDisk.contains(id)) {
            claimed.insert(id);
            continue;
        }
        QString recorded = entry.value(QStringLiteral("absolutepath")).toString();
        if (recorded.isEmpty())
            recorded = entry.value(QStringLiteral("path")).toString();
        missing.add(recorded);
    }
    missing.flush();
    QStringList added;
    for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it) {
        if (!claimed.contains(it.key()))
            added.append(it.value());
    }
    added.sort();
    CappedReport report(QStringLiteral("[ERROR] Integrity check :: invalid integrity :: file added :: "));
    for (const QString &p : std::as_const(added))
        report.add(p);
}

void IntegrityCheck::ensureCanonicalFolder()
{
    if (canonicalFolder.isEmpty())
        canonicalFolder = QFileInfo(folder).canonicalFilePath();
}

bool IntegrityCheck::identify(const QString &path, FileId *id)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    id->dev = quint64(st.st_dev);
    id->ino = quint64(st.st_ino);
    return true;
}

bool IntegrityCheck::leadsSomewhere(const QJsonObject &entry) const
{
    struct stat st {};
    const QString absolutepath = entry.value(QStringLiteral("absolutepath")).toString();
    if (QDir::isAbsolutePath(absolutepath) && ::stat(QFile::encodeName(absolutepath).constData(), &st) == 0)
        return true;
    QString path = entry.value(QStringLiteral("path")).toString();
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.isEmpty() || !QDir::isRelativePath(path))
        return false;
    const QString root = canonicalFolder.isEmpty() ? folder : canonicalFolder;
    return ::stat(QFile::encodeName(QDir::cleanPath(root + QLatin1Char('/') + path)).constData(), &st) == 0;
}

IntegrityCheck::Located IntegrityCheck::locate(const QJsonObject &entry) const
{
    return locate(entry.value(QStringLiteral("absolutepath")).toString(), entry.value(QStringLiteral("path")).toString());
}

IntegrityCheck::Located IntegrityCheck::locate(const QString &absolutepath, QString path) const
{
    Located where;
    QString outside;
    if (QDir::isAbsolutePath(absolutepath)) {
        where.resolved = insideRegularFile(absolutepath, &outside);
        if (!where.resolved.isEmpty()) {
            where.fromAbsolute = true;
            return where;
        }
        // Only a path inside the day leads out of it: a recorded absolute
        // path elsewhere is that of a moved day.
        if (!outside.isEmpty() && insideByName(absolutepath)) {
            where.leaving = absolutepath;
            where.leadsTo = outside;
        }
    }
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!path.isEmpty() && QDir::isRelativePath(path)) {
        const QString root = canonicalFolder.isEmpty() ? folder : canonicalFolder;
        where.candidate = QDir::cleanPath(root + QLatin1Char('/') + path);
        outside.clear();
        where.resolved = insideRegularFile(where.candidate, &outside);
        if (where.resolved.isEmpty() && !outside.isEmpty() && insideByName(where.candidate)) {
            where.leaving = where.candidate;
            where.leadsTo = outside;
        }
    }
    return where;
}

bool IntegrityCheck::insideByName(const QString &path) const
{
    const QString clean = QDir::cleanPath(path);
    return isBelow(clean, canonicalFolder) || isBelow(clean, QDir::cleanPath(folder));
}

QString IntegrityCheck::insideRegularFile(const QString &candidate, QString *outside) const
{
    const QString canonical = QFileInfo(candidate).canonicalFilePath();
    if (!isBelow(canonical, canonicalFolder)) {
        if (outside)
            *outside = canonical;
        return QString();
    }
    struct stat st {};
    if (::stat(QFile::encodeName(canonical).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QString();
    return canonical;
}

bool IntegrityCheck::stateOf(int fd, FileState *state)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    state->id.dev = quint64(st.st_dev);
    state->id.ino = quint64(st.st_ino);
    state->size = qint64(st.st_size);
    state->mtimeSec = qint64(st.st_mtim.tv_sec);
    state->mtimeNsec = qint64(st.st_mtim.tv_nsec);
    state->ctimeSec = qint64(st.st_ctim.tv_sec);
    state->ctimeNsec = qint64(st.st_ctim.tv_nsec);
    return true;
}

bool IntegrityCheck::unchangedSince(const QString &path, const FileState &read)
{
    FileState now;
    const int fd = openRegular(path, &now);
    FdCloser closer{fd};
    return fd >= 0 && now == read;
}

int IntegrityCheck::openRegular(const QString &path, FileState *state)
{
    // O_NONBLOCK: should the file have been swapped for a FIFO since it was
    // looked at, the open returns at once and fstat refuses it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (!stateOf(fd, state)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return fd;
}

IntegrityCheck::HashResult IntegrityCheck::hashFile(int fd, QString *hexDigest, const std::atomic<bool> &abandon) const
{
    DigestCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return HashResult::ReadError;
    std::unique_ptr<char[]> buffer(new char[kBlockBytes]);
    for (;;) {
        // A stop must not wait for the end of a large file.
        if (stop.load(std::memory_order_relaxed) || abandon.load(std::memory_order_relaxed))
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

int IntegrityCheck::hashThreadLimit()
{
    return qBound(1, QThread::idealThreadCount(), kMaxHashThreads);
}

// Hashes the files of the manifest's entries on a few threads, taking the
// entries in manifest order, so that the files the check reaches next are
// ready first. The checker takes each outcome in order; whatever is still
// running when it stops early is abandoned between two blocks, and every
// thread is joined before the pool goes.
class IntegrityCheck::HashPool
{
public:
    HashPool(IntegrityCheck &check, const QJsonArray &manifest, const QSet<FileId> &counted)
        : m_check(check)
        , m_counted(counted)
    {
        for (int index = 0; index < manifest.size(); ++index) {
            if (m_check.stop.load(std::memory_order_relaxed))
                break;
            const QJsonObject entry = manifest.at(index).toObject();
            if (isChecked(entry))
                m_jobs.push_back({index, entry.value(QStringLiteral("absolutepath")).toString(),
                                  entry.value(QStringLiteral("path")).toString(),
                                  !entry.value(QStringLiteral("sha256")).toString().isEmpty()});
        }
        m_outcomes.resize(size_t(manifest.size()));
        m_done.assign(size_t(manifest.size()), false);
        const int threads = int(qMin<size_t>(size_t(hashThreadLimit()), m_jobs.size()));
        try {
            for (int i = 0; i < threads; ++i)
                m_threads.emplace_back([this] {
                    while (workOne()) {
                    }
                });
        } catch (const std::system_error &) {
            // No more threads to be had: those started do the work, or,
            // without any, the checker hashes each file itself as it waits.
        }
        m_check.m_hashThreads.store(int(m_threads.size()));
    }

    ~HashPool()
    {
        m_abandon.store(true);
        for (std::thread &t : m_threads)
            t.join();
    }

    HashPool(const HashPool &) = delete;
    HashPool &operator=(const HashPool &) = delete;

    // Entries without a file name or an absolute path are skipped.
    static bool isChecked(const QJsonObject &entry)
    {
        return !entry.value(QStringLiteral("file")).toString().isEmpty() &&
               !entry.value(QStringLiteral("absolutepath")).toString().isEmpty();
    }

    // Waits until the entry at `index` is settled; false when the check is
    // stopped first.
    bool waitFor(int index, Outcome *outcome)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done[size_t(index)]) {
            if (m_check.stop.load())
                return false;
            if (m_threads.empty()) {
                lock.unlock();
                const bool settled = workOne();
                lock.lock();
                if (!settled)
                    return false;
                continue;
            }
            m_ready.wait_for(lock, std::chrono::milliseconds(20));
        }
        *outcome = std::move(m_outcomes[size_t(index)]);
        return true;
    }

private:
    struct Job {
        int index;
        QString absolutepath;
        QString path;
        bool hasDigest;
    };

    // Settles the next entry in manifest order; false when none is left or
    // the work is abandoned.
    bool workOne()
    {
        const size_t next = m_next.fetch_add(1);
        if (next >= m_jobs.size() || m_abandon.load() || m_check.stop.load())
            return false;
        const Job &job = m_jobs[next];
        Outcome outcome;
        outcome.where = m_check.locate(job.absolutepath, job.path);
        if (!outcome.where.resolved.isEmpty()) {
            const int fd = openRegular(outcome.where.resolved, &outcome.before);
            FdCloser closer{fd};
            outcome.opened = fd >= 0;
            outcome.id = outcome.before.id;
            // Only a file of the day with a recorded digest is worth
            // reading; the checker says what is wrong with the others.
            if (outcome.opened && job.hasDigest && m_counted.contains(outcome.id)) {
                outcome.result = m_check.hashFile(fd, &outcome.digest, m_abandon);
                // Bytes rewritten behind the read leave the size alone but
                // not the times the descriptor gives.
                FileState after;
                if (outcome.result == HashResult::Match && (!stateOf(fd, &after) || after != outcome.before))
                    outcome.changedWhileRead = true;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_outcomes[size_t(job.index)] = std::move(outcome);
            m_done[size_t(job.index)] = true;
        }
        m_ready.notify_all();
        return true;
    }

    IntegrityCheck &m_check;
    const QSet<FileId> &m_counted;
    std::vector<Job> m_jobs;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_abandon{false};
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<Outcome> m_outcomes; // by manifest index, under m_mutex
    std::vector<bool> m_done;        // by manifest index, under m_mutex
    std::vector<std::thread> m_threads;
};

void IntegrityCheck::check_integrity()
{
    logMessage(QStringLiteral("[INFO] Integrity check :: check integrity in directory ") + folder);

    canonicalFolder = QFileInfo(folder).canonicalFilePath();
    const QString root = canonicalFolder.isEmpty() ? folder : canonicalFolder;
    {
        // What is verified is the folder the link leads to.
        QString named = QDir::cleanPath(folder);
        struct stat st {};
        if (::lstat(QFile::encodeName(named).constData(), &st) == 0 && S_ISLNK(st.st_mode))
            logMessage(QStringLiteral("[WARN] Integrity check :: check integrity :: day folder is a link :: ") + named +
                       QStringLiteral(" -> ") + root);
    }

    // The files that count, with their identities: a verified entry must be
    // one of them, and each of them must be verified once.
    const DayTree tree = walk(root);
    const QStringList &counted = tree.counted;
    QHash<QString, FileId> countedIds;
    QSet<FileId> countedIdSet;
    for (const QString &path : counted) {
        FileId id;
        if (identify(path, &id)) {
            countedIds.insert(path, id);
            countedIdSet.insert(id);
        }
    }
    const int count = int(counted.size());
    if (stop.load()) {
        // Stopped before there was anything to report.
        logMessage("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED");
        emit end_check(false);
        return;
    }
    logMessage(QStringLiteral("[INFO] Integrity check :: files count in root directory ") + folder +
               QStringLiteral(" : ") + QString::number(count));

    const QString manifestPath = folder + QStringLiteral("/hash.json");
    const QJsonArray manifest = get_json_array(manifestPath);
    if (stop.load()) {
        logMessage("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED");
        emit end_check(false);
        return;
    }
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
        QFileInfoList onDisk;
        for (const QString &path : counted)
            onDisk.append(QFileInfo(path));
        invalid_integrity(manifest, onDisk);
        emit file_count_check(false);
    } else {
        emit file_count_check(true);
    }

    // The verified files by identity, with where and how they were read.
    struct Read {
        QString file;
        QString path;
        FileState state;
    };
    QHash<FileId, Read> verified;
    bool stopped = stop.load();
    int skipped = 0;
    if (valid) {
        HashPool pool(*this, manifest, countedIdSet);
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
            if (!HashPool::isChecked(entry)) {
                // Not an error of its own, but a skipped entry leaves a file
                // of the day unverified, so the verdict cannot be OK.
                logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: entry skipped :: ") +
                           QString::number(index));
                ++skipped;
                continue;
            }

            emit begin_check_file(file);

            // The files are hashed ahead on the pool's threads; their
            // outcomes are taken here in manifest order.
            Outcome outcome;
            if (stop.load() || !pool.waitFor(index, &outcome) || outcome.result == HashResult::Stopped) {
                stopped = true;
                valid = false;
                break;
            }
            const Located &where = outcome.where;
            if (where.fromAbsolute) {
                if (!outcome.opened)
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: faile do open file :: ") +
                               absolutepath);
            } else if (where.resolved.isEmpty()) {
                QString why;
                if (!where.leaving.isEmpty())
                    why = QStringLiteral(" :: ") + where.leaving + QStringLiteral(" leads out of the day, to ") +
                          where.leadsTo;
                logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: couldn't find file :: ") + file +
                           why);
            } else {
                logMessage(QStringLiteral("[INFO] Integrity check :: check integrity :: path file :: ") +
                           where.candidate + QStringLiteral(" exist"));
                if (!outcome.opened)
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed to open file :: ") +
                               where.candidate);
            }
            const QString &opened = where.resolved;

            bool entryOk = false;
            if (outcome.opened) {
                if (!countedIdSet.contains(outcome.id)) {
                    // Inside the folder but not a file of the day (the
                    // manifest itself, an index file, a hidden file).
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: not a file of the day :: ") +
                               opened);
                } else if (verified.contains(outcome.id)) {
                    const Read &first = verified.value(outcome.id);
                    const QString same = first.path == opened
                                             ? opened + QStringLiteral(" is listed twice")
                                             : opened + QStringLiteral(" is the same file as ") + first.path +
                                                   QStringLiteral(" (hard link)");
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: duplicate entry :: ") +
                               file + QStringLiteral(" :: ") + same);
                } else if (sha256.isEmpty()) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: no hash log for file ") +
                               opened);
                } else if (outcome.result == HashResult::ReadError) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed to open file :: ") +
                               opened);
                } else if (outcome.digest != sha256) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: failed ") + sha256 +
                               QStringLiteral(" != ") + outcome.digest);
                } else if (outcome.changedWhileRead) {
                    logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: changed during the check :: ") +
                               opened);
                } else {
                    verified.insert(outcome.id, Read{file, opened, outcome.before});
                    entryOk = true;
                }
            }

            if (!entryOk) {
                valid = false;
                emit end_check_file(file, false);
                break;
            }
            emit end_check_file(file, true);
        }
        // Leaving the block abandons the work started on later files and
        // joins the pool's threads.
    }

    if (valid && !stopped) {
        // Every counted file must have been verified by exactly one entry.
        bool allVerified = skipped == 0 && verified.size() == count;
        if (!allVerified) {
            logMessage(QStringLiteral("[ERROR] Integrity check :: check integrity :: files verified :: ") +
                       QString::number(verified.size()) + QStringLiteral(" != ") + QString::number(count) +
                       QStringLiteral("(count)"));
            CappedReport report(QStringLiteral("[ERROR] Integrity check :: check integrity :: file not verified :: "));
            for (const QString &path : counted) {
                const auto it = countedIds.constFind(path);
                if (it == countedIds.cend() || !verified.contains(*it))
                    report.add(path);
            }
            valid = false;
        }
    }

    if (valid && !stopped) {
        // A file hashed early may have been rewritten, or replaced by
        // another under its name, since: its digest then says nothing of
        // what lies there now.
        std::vector<const Read *> reads;
        reads.reserve(size_t(verified.size()));
        for (const Read &read : std::as_const(verified))
            reads.push_back(&read);
        std::sort(reads.begin(), reads.end(), [](const Read *a, const Read *b) { return a->path < b->path; });
        CappedReport report(QStringLiteral("[ERROR] Integrity check :: check integrity :: changed during the check :: "));
        int changed = 0;
        for (const Read *read : reads) {
            if (stop.load()) {
                stopped = true;
                valid = false;
                break;
            }
            if (!unchangedSince(read->path, read->state)) {
                report.add(read->path);
                if (++changed <= kReportHeadLines)
                    emit end_check_file(read->file, false);
                valid = false;
            }
        }
    }

    if (valid && !stopped) {
        // The count was taken before the first file was read: a file copied
        // into the day since (another camera's recording, a new segment
        // folder) was neither counted nor verified, and the day that now
        // holds it is not the day that was checked.
        const DayTree now = walk(root);
        if (stop.load()) {
            stopped = true;
            valid = false;
        } else {
            QSet<QString> before(counted.cbegin(), counted.cend());
            for (const QString &path : tree.linkedFolders)
                before.insert(path);
            for (const auto &item : tree.unverifiable)
                before.insert(item.first);
            QStringList added;
            for (const QString &path : now.counted + now.linkedFolders)
                if (!before.contains(path))
                    added.append(path);
            for (const auto &item : now.unverifiable)
                if (!before.contains(item.first))
                    added.append(item.first);
            std::sort(added.begin(), added.end());
            CappedReport report(QStringLiteral("[ERROR] Integrity check :: check integrity :: added during the check :: "));
            for (int i = 0; i < added.size(); ++i) {
                report.add(added.at(i));
                if (i < kReportHeadLines)
                    emit end_check_file(QFileInfo(added.at(i)).fileName(), false);
                valid = false;
            }
        }
    }

    // The player reads a segment folder that is a link like any other, but
    // what lies behind a link was neither counted nor verified here; nor was
    // anything the walk could not read or hash.
    {
        CappedReport linked(QStringLiteral("[ERROR] Integrity check :: check integrity :: linked folder not verified :: "));
        for (const QString &path : tree.linkedFolders) {
            linked.add(path);
            valid = false;
        }
    }
    {
        QHash<QString, std::shared_ptr<CappedReport>> byReason;
        for (const auto &[path, why] : tree.unverifiable) {
            auto &report = byReason[why];
            if (!report)
                report = std::make_shared<CappedReport>(
                    QStringLiteral("[ERROR] Integrity check :: check integrity :: not verified (%1) :: ").arg(why));
            report->add(path);
            valid = false;
        }
    }
    {
        CappedReport hidden(QStringLiteral("[WARN] Integrity check :: check integrity :: hidden, not verified :: "));
        for (const QString &path : tree.hidden)
            hidden.add(path);
    }

    if (valid)
        logMessage("[INFO] Integrity check :: INTEGRITY OK");
    else
        logMessage("[ERROR] Integrity check :: INTEGRITY NOT CONFIRMED");
    emit end_check(valid);
}
