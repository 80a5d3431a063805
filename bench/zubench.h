#pragma once
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <functional>

namespace zubench {
using Command = std::function<int(const QStringList &args)>;

inline QMap<QString, Command> &registry()
{
    static QMap<QString, Command> map;
    return map;
}

// Registers a subcommand at static-initialisation time.
struct Register {
    Register(const QString &name, Command command) { registry().insert(name, std::move(command)); }
};

// The value after `--name` in args, or `fallback`.
inline QString option(const QStringList &args, const QString &name, const QString &fallback = QString())
{
    const int i = args.indexOf(QStringLiteral("--") + name);
    return (i >= 0 && i + 1 < args.size()) ? args.at(i + 1) : fallback;
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
