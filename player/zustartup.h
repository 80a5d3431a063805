#pragma once
#include <QString>

#include <memory>

class QApplication;
class QTranslator;
class ZU_Player_qmlpresentation;

// The start-up sequence of the player, in the order the program runs it:
//   1. beforeApplication(): scene-graph back-end "rhi", log level 1
//   2. the QApplication, then prepareApplication(): French qtbase
//      translation and default locale, the dark look
//   3-5. prepareUserEnvironment(): application information, the per-user
//      folder, the crash handler and the log file
//   6. checkForUpdates(): the blocking update check (false: quit now)
//   7. createMainWindow(): the main window, shown maximised
//   8. checkCrashFiles(): the report dialog when a dump waits
//   9. the event loop.
// zuplayer_main() runs all of them; tests run them one by one without the
// event loop.
namespace ZuStartup {

void beforeApplication();

// Installs the "qtbase_fr" translation when Qt ships it (kept as a child of
// the application) and makes French (France) the default locale. Returns
// whether the translation was installed.
bool prepareApplication(QApplication &app);

struct Environment {
    QString userFolder;
    bool userFolderReady = false;
    bool crashHandlerStarted = false;
    QString logFile;
};
Environment prepareUserEnvironment();

// False when an update package was handed over and the program must end.
bool checkForUpdates(QApplication &app);

std::unique_ptr<ZU_Player_qmlpresentation> createMainWindow();

void checkCrashFiles();

} // namespace ZuStartup

// The whole program: returns the exit code.
int zuplayer_main(int argc, char **argv);
