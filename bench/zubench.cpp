// zubench SUBCOMMAND [options]: one subcommand per measured job. Each prints
// its figures as key=value pairs on its last line.
#include "zubench.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // Benchmarks run headless; a display is used only when one is there.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto &commands = zubench::registry();
    if (args.size() < 2 || !commands.contains(args.at(1))) {
        QTextStream err(stderr);
        err << "usage: zubench SUBCOMMAND [options]\nsubcommands:";
        for (auto it = commands.cbegin(); it != commands.cend(); ++it)
            err << ' ' << it.key();
        err << '\n';
        return 2;
    }
    return commands.value(args.at(1))(args.mid(2));
}
