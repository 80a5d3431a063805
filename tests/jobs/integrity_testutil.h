#pragma once
// Day folders and manifests for the integrity tests, made without the code
// under test: digests come from sha256sum, encryption from the openssl
// command line with the key file the build uses.
#include "integritycheck.h"
#include "zulog.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace itest {

inline QString sourceDir()
{
    const QByteArray env = qgetenv("ZU_SOURCE_DIR");
    return env.isEmpty() ? QStringLiteral(ZU_SOURCE_DIR) : QString::fromLocal8Bit(env);
}

inline QString binaryDir()
{
    const QByteArray env = qgetenv("ZU_BINARY_DIR");
    return env.isEmpty() ? QStringLiteral(ZU_BINARY_DIR) : QString::fromLocal8Bit(env);
}

inline void keyAndIv(QString *key, QString *iv)
{
    QFile f(sourceDir() + QStringLiteral("/core/file_key.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("KEY="))
            *key = QString::fromLatin1(line.mid(4).trimmed());
        else if (line.startsWith("IV="))
            *iv = QString::fromLatin1(line.mid(3).trimmed());
    }
}

inline QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

inline bool runOk(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QString sha256sum(const QString &path)
{
    return run(QStringLiteral("sha256sum"), {QStringLiteral("-b"), path}).section(QLatin1Char(' '), 0, 0);
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Encrypts `plain` into `dest` with the openssl command line.
inline bool encryptTo(const QString &dest, const QByteArray &plain)
{
    QString key;
    QString iv;
    keyAndIv(&key, &iv);
    QTemporaryDir tmp;
    const QString plainPath = tmp.filePath(QStringLiteral("plain.json"));
    if (!writeFile(plainPath, plain))
        return false;
    QProcess p;
    p.start(QStringLiteral("openssl"), {QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-K"),
                                         key, QStringLiteral("-iv"), iv, QStringLiteral("-in"), plainPath,
                                         QStringLiteral("-out"), dest});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline QJsonObject entry(const QString &file, const QString &absolutepath, const QString &path, const QString &sha)
{
    return QJsonObject{{QStringLiteral("file"), file},
                       {QStringLiteral("absolutepath"), absolutepath},
                       {QStringLiteral("path"), path},
                       {QStringLiteral("sha256"), sha}};
}

// The entry a recorder would write for `rel` inside `day`.
inline QJsonObject entryFor(const QString &day, const QString &rel)
{
    const QString abs = day + QLatin1Char('/') + rel;
    return entry(QFileInfo(rel).fileName(), abs, rel, sha256sum(abs));
}

inline bool writeManifest(const QString &day, const QJsonArray &array)
{
    return encryptTo(day + QStringLiteral("/hash.json"), QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// Log lines, captured while a Capture lives.
class LogCapture
{
public:
    LogCapture()
    {
        setLevelValue(1);
        lines().clear();
        previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        setLevelValue(0);
    }
    QStringList all() const
    {
        QMutexLocker lock(&mutex());
        return lines();
    }
    bool contains(const QString &line) const { return all().contains(line); }
    bool containsPrefix(const QString &prefix) const
    {
        for (const QString &l : all()) {
            if (l.startsWith(prefix))
                return true;
        }
        return false;
    }

private:
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
    {
        if (type != QtDebugMsg)
            return;
        QMutexLocker lock(&mutex());
        lines().append(msg);
    }
    QtMessageHandler previous = nullptr;
};

// What one check emitted, in order, as the dialog would receive it.
struct Outcome {
    QStringList order;  // e.g. "begin:a.zuvideo", "end:a.zuvideo:1"
    bool finished = false;
    bool verdict = false;
    int endChecks = 0;
};

// Receives the checker's signals on the test's thread through queued
// connections, like the dialog does.
class Recorder : public QObject
{
public:
    explicit Recorder(IntegrityCheck *c)
    {
        connect(c, &IntegrityCheck::hash_file_found, this,
                [this](bool b) { out.order << QStringLiteral("found:%1").arg(int(b)); });
        connect(c, &IntegrityCheck::file_count, this,
                [this](int n) { out.order << QStringLiteral("count:%1").arg(n); });
        connect(c, &IntegrityCheck::start_check, this, [this] { out.order << QStringLiteral("start"); });
        connect(c, &IntegrityCheck::file_count_check, this,
                [this](bool b) { out.order << QStringLiteral("countcheck:%1").arg(int(b)); });
        connect(c, &IntegrityCheck::begin_check_file, this,
                [this](const QString &f) { out.order << QStringLiteral("begin:") + f; });
        connect(c, &IntegrityCheck::end_check_file, this, [this](const QString &f, bool ok) {
            out.order << QStringLiteral("end:") + f + QStringLiteral(":%1").arg(int(ok));
        });
        connect(c, &IntegrityCheck::end_check, this, [this](bool v) {
            out.order << QStringLiteral("done:%1").arg(int(v));
            out.verdict = v;
            ++out.endChecks;
        });
    }
    Outcome out;
};

// Runs one check of `folder` to its end (bounded in time). `setup` may wire
// extra connections before the thread starts.
inline Outcome runCheck(const QString &folder, const std::function<void(IntegrityCheck *)> &setup = {})
{
    IntegrityCheck check(folder);
    Recorder rec(&check);
    QSignalSpy endSpy(&check, &IntegrityCheck::end_check);
    if (setup)
        setup(&check);
    check.start();
    rec.out.finished = check.wait(QDeadlineTimer(60000));
    if (!rec.out.finished) {
        check.user_stop();
        check.wait();
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    // The direct spy saw exactly one verdict, the same as the queued one.
    if (endSpy.size() != 1 || endSpy.at(0).at(0).toBool() != rec.out.verdict)
        rec.out.endChecks = -1;
    return rec.out;
}

} // namespace itest
