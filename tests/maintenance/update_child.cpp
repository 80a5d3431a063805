// Runs the start-up update check without asking, with the installation
// settings named by ZUPLAYER_CONFIG and the user's folders below $HOME; the
// tests kill it midway to see what a killed download leaves.
#include "downloadbinary.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    DownloadBinary updater(QStringLiteral("3.4.3"), nullptr);
    updater.setQuitAfterInstallerLaunch(false);
    return updater.checkForUpdates(false) ? 0 : 1;
}
