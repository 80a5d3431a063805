// zubench SUBCOMMAND [options]: one subcommand per measured job. Each prints
// its figures as key=value pairs on its last line.
#include "zubench.h"

#include <QApplication>
#include <QTextStream>

#include <algorithm>

int main(int argc, char *argv[])
{
    // Benchmarks run headless; a display is used only when one is there.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto &commands = zubench::registry();
    const auto isHelp = [](const QString &arg) {
        return arg == QLatin1String("--help") || arg == QLatin1String("-h");
    };
    const auto usage = [&commands](QTextStream &to, const QString &only) {
        to << "usage:\n";
        for (auto it = commands.cbegin(); it != commands.cend(); ++it) {
            if (only.isEmpty() || only == it.key())
                to << "  zubench " << it.key() << ' ' << it.value().usage << '\n';
        }
        to << "Each subcommand prints its figures as key=value on its last line.\n";
    };
    if (args.size() >= 2 && isHelp(args.at(1))) {
        QTextStream to(stdout);
        usage(to, QString());
        return 0;
    }
    if (args.size() < 2 || !commands.contains(args.at(1))) {
        QTextStream err(stderr);
        if (args.size() >= 2)
            err << "zubench: unknown subcommand " << args.at(1) << '\n';
        usage(err, QString());
        return 2;
    }
    const QString name = args.at(1);
    const QStringList rest = args.mid(2);
    if (std::any_of(rest.cbegin(), rest.cend(), isHelp)) {
        QTextStream to(stdout);
        usage(to, name);
        return 0;
    }
    const int rc = commands.value(name).run(rest);
    if (rc == 2) {
        zubench::out().flush();
        QTextStream err(stderr);
        usage(err, name);
    }
    return rc;
}
