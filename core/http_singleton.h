#pragma once
#include <QMutex>
#include <QString>

// Application information: product name, version, per-user folder, log file
// name and the installation's server addresses. Created on first use and
// never destroyed; callable from any thread.
//
// The server addresses are settings of the installation, read from an INI
// file ("zuplayer.ini" beside the executable, or the file named by the
// environment variable ZUPLAYER_CONFIG):
//   [servers]
//   update=https://updates.example/zuapps/
//   crashreport=https://reports.example
// Both are empty by default, so the program reaches no network unless an
// installation asks for it.
class Http_singleton
{
public:
    static Http_singleton *instance();

    QString productName() const;   // "ZUPLAYER"
    QString appVersion() const;    // "3.4.3"
    QString appFolderName() const; // "ZuPlayer"
    QString logFileName() const;   // "zulogfile.log"

    // The per-user folder: the home folder, "/." and appFolderName().
    QString userFolderPath() const;
    // Creates the per-user folder when missing; false when it cannot.
    bool ensureUserFolder() const;
    QString logFilePath() const;

    // The User-Agent text the program sends: "ZUPLAYER/3.4.3 (Linux)", and
    // with a token in use "ZUPLAYER/3.4.3 (Linux) token/<token>".
    QString accessString(const QString &token, bool useToken) const;

    QString updateBaseUrl() const;
    QString crashReportUrl() const;
    // Re-reads the installation settings from `iniPath` (tests point this at
    // a file of their own; an empty path restores the default lookup).
    void loadInstallationSettings(const QString &iniPath = QString());

    void setUpdateCheckOk(bool ok);
    bool skipCrashReport() const;
    void setSkipCrashReport(bool skip);
    bool zipPackageFlag() const;

private:
    Http_singleton();
    mutable QMutex m_mutex;
    QString m_updateBaseUrl;
    QString m_crashReportUrl;
    char m_updateCheckOk = 0;
    char m_skipCrashReport = 0;
};
