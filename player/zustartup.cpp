#include "zustartup.h"

#include "crashfilechecker.h"
#include "crashhandler.h"
#include "curlglobal.h"
#include "downloadbinary.h"
#include "http_singleton.h"
#include "zu_player_qmlpresentation.h"
#include "zulog.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QPalette>
#include <QQuickWindow>
#include <QScreen>
#include <QStyleFactory>
#include <QTranslator>

// Outside any namespace: the macro declares the resource's init function.
static void initImageResources()
{
    Q_INIT_RESOURCE(zuplayer_imgs);
}

namespace {

// Dialogs and message boxes outside the QML views follow the same dark look.
void applyDarkLook(QApplication &app)
{
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(fusion);
    QPalette p;
    const QColor window(0x15, 0x19, 0x20);
    const QColor base(0x0e, 0x10, 0x14);
    const QColor text(0xe6, 0xe9, 0xef);
    const QColor button(0x22, 0x28, 0x33);
    const QColor accent(0x3b, 0x82, 0xf6);
    const QColor dim(0x6c, 0x75, 0x85);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dim);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, dim);
    app.setPalette(p);
}

} // namespace

namespace ZuStartup {

void beforeApplication()
{
    QQuickWindow::setSceneGraphBackend(QStringLiteral("rhi"));
    setLevelValue(1);
}

bool prepareApplication(QApplication &app)
{
    initImageResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/imgs/zuplayer.svg")));
    bool installed = false;
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installed = QCoreApplication::installTranslator(translator);
    }
    if (!installed)
        delete translator;
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    applyDarkLook(app);
    return installed;
}

Environment prepareUserEnvironment()
{
    Environment env;
    Http_singleton *info = Http_singleton::instance();
    env.userFolder = info->userFolderPath();
    env.userFolderReady = info->ensureUserFolder();
    if (!env.userFolderReady)
        logMessage(QStringLiteral("[ERROR] MAIN :: cannot create ") + env.userFolder);

    env.crashHandlerStarted = env.userFolderReady && ZuCrashHandler::start(env.userFolder);
    logMessage(env.crashHandlerStarted ? "[INFO] MAIN :: crashpad started"
                                       : "[INFO] MAIN :: failed to start crashpad");

    env.logFile = info->logFilePath();
    ZuLogFile::install(env.logFile);
    zuCurlGlobalInit();
    // The lines above went to the console; the file gets the outcome too.
    logMessage(QStringLiteral("[INFO] MAIN :: ") + info->productName() + QLatin1Char(' ') +
               info->appVersion() + QStringLiteral(" :: ") +
               (env.crashHandlerStarted ? QStringLiteral("crashpad started")
                                        : QStringLiteral("failed to start crashpad")));
    return env;
}

bool checkForUpdates(QApplication &app)
{
    DownloadBinary updater(QStringLiteral("3.4.3"), nullptr, &app);
    updater.setQuitAfterInstallerLaunch(true);
    return updater.checkForUpdates(true);
}

std::unique_ptr<ZU_Player_qmlpresentation> createMainWindow()
{
    auto window = std::make_unique<ZU_Player_qmlpresentation>();
    // 1600 x 900 where the screen has room for it; a smaller screen (a
    // 1366 x 768 laptop) gets a window no larger than what it shows.
    QSize minimum(1600, 900);
    if (QScreen *screen = window->screen())
        minimum = minimum.boundedTo(screen->availableGeometry().size());
    window->setMinimumSize(minimum);
    window->setWindowTitle(Http_singleton::instance()->productName() + QLatin1Char(' ') +
                           Http_singleton::instance()->appVersion());
    // Without a window manager (kiosk sessions, virtual displays) nothing
    // maximises the window, so it starts at the screen's size anyway.
    if (QScreen *screen = window->screen())
        window->setGeometry(screen->availableGeometry());
    window->showMaximized();
    return window;
}

void checkCrashFiles()
{
    CrashFileChecker::checkCrashFiles();
}

} // namespace ZuStartup

int zuplayer_main(int argc, char **argv)
{
    ZuStartup::beforeApplication();
    QApplication app(argc, argv);
    ZuStartup::prepareApplication(app);
    ZuStartup::prepareUserEnvironment();
    if (!ZuStartup::checkForUpdates(app))
        return 0;
    std::unique_ptr<ZU_Player_qmlpresentation> window = ZuStartup::createMainWindow();
    ZuStartup::checkCrashFiles();
    const int code = app.exec();
    window.reset();
    return code;
}
