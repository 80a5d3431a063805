#pragma once
#include <QFileInfoList>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QThread>

#include <atomic>

// Verifies one day folder of an export folder against its encrypted manifest
// hash.json: first the number of files on disk, then the SHA-256 digest of
// every listed file. Runs on its own thread and reports only through signals.
// The files are hashed on a few threads at once, ahead of the signals, which
// still come in manifest order: the first entry that fails in that order
// ends the check, and the work started on later files is abandoned and its
// threads joined before the check ends.
//
// The manifest comes from outside and is not trusted: every file it names is
// looked for inside the day folder only, must be a regular file that the
// folder walk counted, and may be claimed by one entry only. The verdict is
// true only when every counted file was verified and the tree holds nothing
// the walk could not look at: no linked folder (whose content it does not
// enter), no FIFO, socket, device or dangling link, no name that is not
// UTF-8 and no folder it cannot read.
//
// A verdict holds only for files that stayed as they were read: each file's
// identity, size, modification and change times are taken from its open
// descriptor before and after it is read, and each hashed file is looked at
// again before the verdict. Any difference fails the day, and the log names
// the file as changed during the check. The day is walked once more before
// the verdict as well: a file that was not there when the files were
// counted fails the day, named in the log as added during the check.
//
// Every file of the day counts, at any depth, except the two this program
// itself writes at the top of a day folder after the manifest was made:
// "hash.json" and "index.zunfo", by exact name. Hidden files and folders are
// not counted either (a recorder never writes any); each is named in the log
// as not verified.
class IntegrityCheck : public QThread
{
    Q_OBJECT
public:
    explicit IntegrityCheck(QString folder);
    // Stops and joins the thread if it still runs, so the object can never
    // be destroyed under its own worker.
    ~IntegrityCheck() override;

    // Digest block size: files are never read whole into memory.
    static constexpr qint64 kBlockBytes = 256 * 1024;
    // Files are hashed on up to this many threads at once (and no more than
    // the processor count), while the signals still follow manifest order.
    static constexpr int kMaxHashThreads = 8;
    static int hashThreadLimit();
    // Threads the last check hashed with (0 when it hashed nothing).
    int hash_threads() const { return m_hashThreads.load(); }

    // Lines of one kind that the log keeps at most from the start and from
    // the end of a long report; the count of those in between is logged.
    static constexpr int kReportHeadLines = 50;
    static constexpr int kReportTailLines = 50;

    // Names left out of the count at the top of the day folder only.
    static const QStringList &excludedTopNames();

    int count_files(const QString &dir);
    QFileInfoList list_files(const QString &dir);
    QJsonArray get_json_array(const QString &path);
    void invalid_integrity(const QJsonArray &manifest, const QFileInfoList &files);

signals:
    void hash_file_found(bool found);
    void file_count(int count);
    void file_count_check(bool ok);
    void start_check();
    void end_check(bool valid);
    void begin_check_file(QString file);
    void end_check_file(QString file, bool ok);

public slots:
    void user_stop();

protected:
    void run() override;

private:
    // Identity of a file on disk; two paths naming one file share it.
    struct FileId {
        quint64 dev = 0;
        quint64 ino = 0;
        bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
        friend size_t qHash(const FileId &id, size_t seed = 0) { return qHashMulti(seed, id.dev, id.ino); }
    };

    // What a descriptor tells of its file; any change between two looks
    // means the file is not the one that was read.
    struct FileState {
        FileId id;
        qint64 size = 0;
        qint64 mtimeSec = 0, mtimeNsec = 0;
        qint64 ctimeSec = 0, ctimeNsec = 0;
        bool operator==(const FileState &o) const
        {
            return id == o.id && size == o.size && mtimeSec == o.mtimeSec && mtimeNsec == o.mtimeNsec &&
                   ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec;
        }
        bool operator!=(const FileState &o) const { return !(*this == o); }
    };

    enum class HashResult { Match, Mismatch, ReadError, Stopped };

    // What a walk of a day folder found.
    struct DayTree {
        QStringList counted;      // regular files of the day (absolute paths)
        QStringList linkedFolders; // symlinks to folders: not entered
        QStringList hidden;       // hidden files and folders: not looked at
        // Whatever the walk cannot look at, each with the reason; any of
        // them fails the verdict.
        QList<QPair<QString, QString>> unverifiable;
    };

    // Where a manifest entry's file lies: `resolved` is the canonical path of
    // the regular file inside the day folder, empty when there is none.
    struct Located {
        QString resolved;
        QString candidate;   // the relative path joined to the folder
        bool fromAbsolute = false;
        // A path of the entry that exists but leads out of the day folder
        // (through a link, or written so), and where it leads.
        QString leaving;
        QString leadsTo;
    };

    // What hashing one manifest entry found, on a pool thread.
    struct Outcome {
        Located where;
        bool opened = false;
        FileId id;
        FileState before;          // from the descriptor, before reading
        bool changedWhileRead = false;
        HashResult result = HashResult::Mismatch; // Match once `digest` is computed
        QString digest;
    };
    class HashPool;

    void check_integrity();
    // Walks the tree in name order without following directory symlinks,
    // reading names as bytes so that none is lost or mistaken.
    DayTree walk(const QString &dir) const;
    // The canonical path of `candidate` when it is a regular file inside the
    // day folder, else an empty string.
    // `outside` (when given) receives the canonical path of a candidate that
    // exists but lies outside the day folder.
    QString insideRegularFile(const QString &candidate, QString *outside = nullptr) const;
    // Whether `path`, as written, names a place below the day folder.
    bool insideByName(const QString &path) const;
    // The recorded absolute path serves only while it names a regular file
    // of this day folder; otherwise the relative path (written with "/" or,
    // by Windows, with "\"), confined to the folder.
    Located locate(const QJsonObject &entry) const;
    // False when neither path of the entry names anything that exists.
    bool leadsSomewhere(const QJsonObject &entry) const;
    Located locate(const QString &absolutepath, QString path) const;
    static bool identify(const QString &path, FileId *id);
    void ensureCanonicalFolder();
    // Opens a regular file read-only without blocking on FIFOs or devices;
    // -1 on failure. `state` receives what its descriptor tells.
    static int openRegular(const QString &path, FileState *state);
    static bool stateOf(int fd, FileState *state);
    // Whether the file at `path` (not followed if a link) is still the file
    // that was read, as `read` describes it.
    static bool unchangedSince(const QString &path, const FileState &read);
    // Stops between blocks on a user stop or when `abandon` is set.
    HashResult hashFile(int fd, QString *hexDigest, const std::atomic<bool> &abandon) const;

    bool valid = true;
    QString folder;
    std::atomic<bool> stop{false};

    QString canonicalFolder;
    std::atomic<int> m_hashThreads{0};
};
