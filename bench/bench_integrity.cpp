// zubench integrity --day DAY_DIR
// zubench integrity --make DAY_DIR [--size-mb N]   (writes a synthetic day first)
//
// Runs the integrity check headless on a day folder, then digests the same
// files with `openssl dgst -sha256`, once in one process and once split over
// 4 processes running at the same time; all read from a warm page cache
// (every file is read once before anything is timed).
// Last line: result=OK|FAIL bytes=… project_s=… openssl_s=… ratio=…
// threads=… openssl4_s=…
// (ratio = one openssl process's time over the project's time; threads = the
// threads the check hashed with).
#include "zubench.h"

#include "encrypt.h"
#include "integritycheck.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTextStream>

#include <algorithm>
#include <thread>
#include <vector>

namespace {
using zubench::out;

// A day folder of `totalMb` MiB: segment folders of large video files with
// small seek files beside them, and its encrypted manifest.
bool makeDay(const QString &day, qint64 totalMb)
{
    const qint64 fileBytes = 64LL * 1024 * 1024;
    const int videos = int(qMax<qint64>(1, (totalMb * 1024 * 1024 + fileBytes - 1) / fileBytes));
    QJsonArray manifest;
    QRandomGenerator rng(20240305);
    for (int i = 0; i < videos; ++i) {
        const QString segment = QStringLiteral("%1").arg(100000 + i * 1500, 6, 10, QLatin1Char('0'));
        if (!QDir().mkpath(day + QLatin1Char('/') + segment))
            return false;
        const QString base = QStringLiteral("cam1_20240305_") + segment;
        for (const QString &suffix : {QStringLiteral(".zuvideo"), QStringLiteral(".zuseek")}) {
            const QString rel = segment + QLatin1Char('/') + base + suffix;
            QFile f(day + QLatin1Char('/') + rel);
            if (!f.open(QIODevice::WriteOnly))
                return false;
            QCryptographicHash hash(QCryptographicHash::Sha256);
            const qint64 size = suffix == QLatin1String(".zuvideo") ? fileBytes : 4096;
            if (!zubench::writeRandom(f, size, rng, &hash))
                return false;
            manifest.append(QJsonObject{{QStringLiteral("file"), base + suffix},
                                        {QStringLiteral("absolutepath"), f.fileName()},
                                        {QStringLiteral("path"), rel},
                                        {QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex())}});
        }
    }
    return Encrypt().encryptFile(day + QStringLiteral("/hash.json"),
                                 QJsonDocument(manifest).toJson(QJsonDocument::Compact));
}

// Digests `files` with openssl dgst, 256 files per process, one process
// after the other; the wall time in seconds, -1 on failure.
double opensslSeconds(const QStringList &files)
{
    double total = 0;
    const int batch = 256;
    for (int i = 0; i < files.size(); i += batch) {
        QStringList dgstArgs{QStringLiteral("dgst"), QStringLiteral("-sha256")};
        dgstArgs += files.mid(i, batch);
        const double t = zubench::timeProcess(QStringLiteral("openssl"), dgstArgs);
        if (t < 0)
            return -1;
        total += t;
    }
    return total;
}

// The same over `lanes` sequences of processes running at once, the files
// dealt out largest first to the lane with the fewest bytes.
double parallelOpensslSeconds(const QStringList &files, int lanes)
{
    QList<QPair<qint64, QString>> bySize;
    for (const QString &f : files)
        bySize.append({QFileInfo(f).size(), f});
    std::sort(bySize.begin(), bySize.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<QStringList> lane(lanes);
    QList<qint64> load(lanes, 0);
    for (const auto &[size, file] : bySize) {
        const int least = int(std::min_element(load.begin(), load.end()) - load.begin());
        lane[least] << file;
        load[least] += size;
    }
    std::vector<double> seconds(size_t(lanes), 0.0);
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> threads;
    for (int i = 0; i < lanes; ++i)
        threads.emplace_back([&, i] { seconds[size_t(i)] = opensslSeconds(lane[i]); });
    for (std::thread &t : threads)
        t.join();
    for (double t : seconds) {
        if (t < 0)
            return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

// The files the manifest names under the day folder, by their relative path.
QStringList manifestFiles(const QString &day, qint64 *bytes)
{
    QStringList files;
    *bytes = 0;
    const QJsonArray a = QJsonDocument::fromJson(Encrypt().decryptFile(day + QStringLiteral("/hash.json"))).array();
    for (const QJsonValue &v : a) {
        const QString p = day + QLatin1Char('/') + v.toObject().value(QStringLiteral("path")).toString();
        const QFileInfo fi(p);
        if (fi.isFile()) {
            files << fi.absoluteFilePath();
            *bytes += fi.size();
        }
    }
    return files;
}

int benchIntegrity(const QStringList &args)
{
    QString day = zubench::option(args, QStringLiteral("day"));
    const QString make = zubench::option(args, QStringLiteral("make"));
    if (!make.isEmpty()) {
        const qint64 mb = zubench::option(args, QStringLiteral("size-mb"), QStringLiteral("600")).toLongLong();
        if (QFileInfo::exists(make + QStringLiteral("/hash.json"))) {
            out() << "make: " << make << " already holds a manifest, kept as it is\n";
        } else if (!makeDay(make, mb)) {
            out() << "make: could not write " << make << "\n";
            return 1;
        }
        day = make;
    }
    if (day.isEmpty()) {
        return 2;
    }
    day = QFileInfo(day).absoluteFilePath();

    qint64 bytes = 0;
    const QStringList files = manifestFiles(day, &bytes);
    zubench::readFiles(files);

    IntegrityCheck check(day);
    bool verdict = false;
    QEventLoop loop;
    QObject::connect(&check, &IntegrityCheck::end_check, &loop, [&](bool ok) {
        verdict = ok;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    check.start();
    loop.exec();
    const double projectS = timer.nsecsElapsed() / 1e9;
    check.wait();

    // One openssl process per batch of files, as a user would run it; then
    // four at once, as a user with a script would.
    const double opensslS = opensslSeconds(files);
    const double openssl4S = parallelOpensslSeconds(files, 4);
    if (opensslS < 0 || openssl4S < 0) {
        out() << "openssl dgst failed\n";
        return 1;
    }

    out() << "files=" << files.size() << " day=" << day << "\n";
    out() << "result=" << (verdict ? "OK" : "FAIL") << " bytes=" << bytes << " project_s=" << QString::number(projectS, 'f', 4)
          << " openssl_s=" << QString::number(opensslS, 'f', 4)
          << " ratio=" << QString::number(projectS > 0 ? opensslS / projectS : 0.0, 'f', 3)
          << " threads=" << check.hash_threads() << " openssl4_s=" << QString::number(openssl4S, 'f', 4) << "\n";
    out().flush();
    return verdict ? 0 : 1;
}

zubench::Register r(QStringLiteral("integrity"), QStringLiteral("--day DAY_DIR | --make DAY_DIR [--size-mb N]"),
                    benchIntegrity);
} // namespace
