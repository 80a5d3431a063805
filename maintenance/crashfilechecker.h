#pragma once
#include <QObject>
#include <QString>

class ReporterWidget;

// The start-up check for a crash dump left by the previous run.
//
// main calls, once, after the main window has been shown and before the
// event loop runs:
//     CrashFileChecker::checkCrashFiles();
// It keeps only the newest "*.dmp" below "crash_reports/reports" in the
// per-user folder, deletes the others and opens the report dialog above all
// windows (not modal). The dialog belongs to the application and is deleted
// when the event loop ends; the returned pointer (null when no dialog was
// opened) is only for callers that want to drive it, such as tests.
class CrashFileChecker : public QObject
{
    Q_OBJECT
public:
    explicit CrashFileChecker(QObject *parent = nullptr);

    static ReporterWidget *checkCrashFiles();
    // The same check on another folder.
    static ReporterWidget *checkCrashFiles(const QString &reportsFolder);

    // "<per-user folder>/crash_reports/reports".
    static QString reportsFolder();
};
