// Developer's harness: the older widget player window on one folder, for
// trying it by hand (under Xvfb on a machine without a screen).
//
//     zuplayer_legacy FOLDER | --help
//
// FOLDER is an export folder or one of its day folders; the recording tree
// opens on it, and a day folder is entered with its hour rows shown.
#include "ui_zu_player_presentation.h"
#include "zu_player_presentation.h"
#include "zuplayer_tabwidget.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {
const char kUsage[] = "usage: zuplayer_legacy FOLDER\n"
                      "Opens the older player window on FOLDER, an export folder or one of its day folders.\n";

// Without a display Qt aborts the process in QApplication's constructor;
// say why instead. The offscreen and other platforms named by the user are
// left to Qt.
bool displayMissing()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char **argv)
{
    // Arguments are looked at before QApplication exists, so that --help
    // works on a machine without a screen.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (displayMissing()) {
        std::fprintf(stderr, "zuplayer_legacy: no display (DISPLAY is not set); run it under Xvfb, "
                             "or with QT_QPA_PLATFORM=offscreen\n");
        return 1;
    }
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QFileInfo folder(args.at(1));
    if (!folder.isDir()) {
        std::fprintf(stderr, "zuplayer_legacy: not a folder: %s\n", qPrintable(args.at(1)));
        return 2;
    }
    ZU_Player_presentation window;
    window.showMaximized();
    const QString path = folder.canonicalFilePath();
    // The tree model lists folders as it goes: open the folder once the
    // event loop runs.
    QTimer::singleShot(0, &window, [&window, path] {
        QTreeView *tree = window.form()->tree;
        const QModelIndex index = window.treeIndex(path);
        for (QModelIndex i = index.parent(); i.isValid(); i = i.parent())
            tree->expand(i);
        tree->expand(index);
        tree->setCurrentIndex(index);
        tree->scrollTo(index);
        window.tree_entered(index);
        if (!window.dayDirectory().isEmpty())
            window.form()->tabWidget->setCurrentIndex(1);
    });
    return app.exec();
}
