#pragma once
// Day folders and manifests for the integrity tests, made without the code
// under test: digests come from sha256sum, encryption from the openssl
// command line with the key file the build uses.
#include "integritycheck.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace itest {

inline QString sha256sum(const QString &path)
{
    QProcess p;
    p.start("sha256sum", {"-b", path});
    p.waitForFinished(60000);
    return QString::fromLatin1(p.readAllStandardOutput()).section(' ', 0, 0);
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
    QFile keys(QStringLiteral(ZU_SOURCE_DIR) + "/core/file_key.txt");
    if (!keys.open(QIODevice::ReadOnly))
        return false;
    QString key, iv;
    for (const QByteArray &line : keys.readAll().split('\n')) {
        if (line.startsWith("KEY="))
            key = QString::fromLatin1(line.mid(4).trimmed());
        else if (line.startsWith("IV="))
            iv = QString::fromLatin1(line.mid(3).trimmed());
    }
    QTemporaryDir tmp;
    const QString in = tmp.filePath("plain.json");
    return writeFile(in, plain) &&
           QProcess::execute("openssl", {"enc", "-aes-256-cbc", "-K", key, "-iv", iv, "-in", in, "-out", dest}) == 0;
}

inline QJsonObject entry(const QString &file, const QString &absolutepath, const QString &path, const QString &sha)
{
    return {{"file", file}, {"absolutepath", absolutepath}, {"path", path}, {"sha256", sha}};
}

// The entry a recorder would write for `rel` inside `day`.
inline QJsonObject entryFor(const QString &day, const QString &rel)
{
    const QString abs = day + '/' + rel;
    return entry(QFileInfo(rel).fileName(), abs, rel, sha256sum(abs));
}

inline bool writeManifest(const QString &day, const QJsonArray &array)
{
    return encryptTo(day + "/hash.json", QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// What one check emitted, in order: "found:1", "count:3", "start",
// "countcheck:1", "begin:<file>", "end:<file>:<ok>", "done:<verdict>".
struct Outcome {
    QStringList order;
    bool finished = false;
};

// Runs one check of `folder` to its end (bounded in time), receiving its
// signals queued on the test's thread as the dialog does. `setup` may wire
// extra connections before the thread starts.
inline Outcome runCheck(const QString &folder, const std::function<void(IntegrityCheck *)> &setup = {})
{
    IntegrityCheck c(folder);
    Outcome out;
    QObject ctx;
    auto add = [&out](const QString &s) { out.order << s; };
    QObject::connect(&c, &IntegrityCheck::hash_file_found, &ctx, [=](bool b) { add(QString("found:%1").arg(int(b))); });
    QObject::connect(&c, &IntegrityCheck::file_count, &ctx, [=](int n) { add(QString("count:%1").arg(n)); });
    QObject::connect(&c, &IntegrityCheck::start_check, &ctx, [=] { add("start"); });
    QObject::connect(&c, &IntegrityCheck::file_count_check, &ctx,
                     [=](bool b) { add(QString("countcheck:%1").arg(int(b))); });
    QObject::connect(&c, &IntegrityCheck::begin_check_file, &ctx, [=](const QString &f) { add("begin:" + f); });
    QObject::connect(&c, &IntegrityCheck::end_check_file, &ctx,
                     [=](const QString &f, bool ok) { add(QString("end:%1:%2").arg(f).arg(int(ok))); });
    QObject::connect(&c, &IntegrityCheck::end_check, &ctx, [=](bool v) { add(QString("done:%1").arg(int(v))); });
    if (setup)
        setup(&c);
    c.start();
    out.finished = c.wait(QDeadlineTimer(60000));
    if (!out.finished)
        c.user_stop();
    c.wait();
    QCoreApplication::sendPostedEvents();
    return out;
}

} // namespace itest
