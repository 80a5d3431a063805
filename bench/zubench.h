#pragma once
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTextStream>
#include <functional>

namespace zubench {
// A subcommand returns 2 when its arguments are wrong; the driver then
// prints the subcommand's usage.
using Command = std::function<int(const QStringList &args)>;

struct Subcommand {
    QString usage; // the options, after "zubench NAME"
    Command run;
};

inline QMap<QString, Subcommand> &registry()
{
    static QMap<QString, Subcommand> map;
    return map;
}

// Registers a subcommand at static-initialisation time.
struct Register {
    Register(const QString &name, const QString &usage, Command command)
    {
        registry().insert(name, Subcommand{usage, std::move(command)});
    }
};

// The value after `--name` in args, or `fallback`.
inline QString option(const QStringList &args, const QString &name, const QString &fallback = QString())
{
    const int i = args.indexOf(QStringLiteral("--") + name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1) : fallback;
}

// The benchmark's standard output; the last line a subcommand writes there
// is its result.
inline QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

// Reads every file to its end (a warm-up of the page cache) and returns the
// bytes read; files that do not open are passed over.
inline qint64 readFiles(const QStringList &files)
{
    qint64 bytes = 0;
    QByteArray buffer(4 * 1024 * 1024, Qt::Uninitialized);
    for (const QString &path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        qint64 n;
        while ((n = f.read(buffer.data(), buffer.size())) > 0)
            bytes += n;
    }
    return bytes;
}

// Writes `size` bytes from `rng` to `device` in 1 MiB blocks, adding them to
// `hash` when one is given. False when a write falls short.
inline bool writeRandom(QIODevice &device, qint64 size, QRandomGenerator &rng, QCryptographicHash *hash = nullptr)
{
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += block.size()) {
        const qint64 n = qMin<qint64>(block.size(), size - done);
        rng.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (device.write(block.constData(), n) != n)
            return false;
        if (hash)
            hash->addData(QByteArrayView(block.constData(), n));
    }
    return true;
}

// Runs an outside tool and returns its wall time in seconds, or -1 on failure.
inline double timeProcess(const QString &program, const QStringList &arguments)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, arguments);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1.0;
    return t.nsecsElapsed() / 1e9;
}
} // namespace zubench
