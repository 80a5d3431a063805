#include "crashfilechecker.h"

#include "http_singleton.h"
#include "reporterwidget.h"
#include "zulog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

CrashFileChecker::CrashFileChecker(QObject *parent) : QObject(parent) {}

QString CrashFileChecker::reportsFolder()
{
    return Http_singleton::instance()->userFolderPath() + QStringLiteral("/crash_reports/reports");
}

ReporterWidget *CrashFileChecker::checkCrashFiles()
{
    return checkCrashFiles(reportsFolder());
}

ReporterWidget *CrashFileChecker::checkCrashFiles(const QString &folder)
{
    logMessage(QStringLiteral("[INFO] Crash File checker :: directory + ") + folder);

    // Links are left alone: what gets uploaded or deleted is only what the
    // crash handler itself wrote there.
    QFileInfoList dumps;
    QDirIterator it(folder, {QStringLiteral("*.dmp")}, QDir::Files | QDir::NoSymLinks | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        dumps.append(it.fileInfo());
    }
    if (dumps.isEmpty())
        return nullptr;

    if (Http_singleton::instance()->skipCrashReport()) {
        for (const QFileInfo &f : std::as_const(dumps))
            QFile::remove(f.absoluteFilePath());
        return nullptr;
    }

    QFileInfo newest = dumps.first();
    for (const QFileInfo &f : std::as_const(dumps)) {
        if (f.lastModified() > newest.lastModified())
            newest = f;
    }
    if (!QFileInfo::exists(newest.absoluteFilePath()))
        return nullptr;
    for (const QFileInfo &f : std::as_const(dumps)) {
        if (f.absoluteFilePath() != newest.absoluteFilePath())
            QFile::remove(f.absoluteFilePath());
    }

    auto *widget = new ReporterWidget(newest.fileName(), newest.absoluteFilePath());
    widget->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (QCoreApplication *app = QCoreApplication::instance()) {
        // Deleted while the application still exists; the connection goes
        // away with the widget if someone else deletes it first.
        QObject::connect(app, &QCoreApplication::aboutToQuit, widget, [widget] { delete widget; });
    }
    widget->show();
    return widget;
}
