// Developer's harness: the older widget player window on one folder, for
// trying it by hand (under Xvfb on a machine without a screen).
//
//     zuplayer_legacy FOLDER
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

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: zuplayer_legacy FOLDER\n");
        return 2;
    }
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
