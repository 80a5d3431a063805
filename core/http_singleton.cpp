#include "http_singleton.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <atomic>

namespace {
QMutex g_instanceMutex;
// Read outside the lock by every later caller, from any thread: atomic, so
// that a caller that sees the pointer also sees the object it points to.
std::atomic<Http_singleton *> g_instance{nullptr};

QString defaultSettingsFile()
{
    const QByteArray env = qgetenv("ZUPLAYER_CONFIG");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath() + QStringLiteral("/zuplayer.ini");
    return QString();
}

#ifndef ZU_ZIP_PACKAGE
#define ZU_ZIP_PACKAGE "0"
#endif
} // namespace

Http_singleton *Http_singleton::instance()
{
    Http_singleton *p = g_instance.load(std::memory_order_acquire);
    if (!p) {
        QMutexLocker lock(&g_instanceMutex);
        p = g_instance.load(std::memory_order_relaxed);
        if (!p) {
            p = new Http_singleton();
            g_instance.store(p, std::memory_order_release);
        }
    }
    return p;
}

Http_singleton::Http_singleton()
{
    loadInstallationSettings();
}

void Http_singleton::loadInstallationSettings(const QString &iniPath)
{
    const QString file = iniPath.isEmpty() ? defaultSettingsFile() : iniPath;
    QString update;
    QString crash;
    if (!file.isEmpty() && QFileInfo(file).isFile()) {
        QSettings s(file, QSettings::IniFormat);
        update = s.value(QStringLiteral("servers/update")).toString().trimmed();
        crash = s.value(QStringLiteral("servers/crashreport")).toString().trimmed();
    }
    QMutexLocker lock(&m_mutex);
    m_updateBaseUrl = update;
    m_crashReportUrl = crash;
}

QString Http_singleton::productName() const
{
    return QStringLiteral("ZUPLAYER").replace(QStringLiteral("__"), QStringLiteral(" "));
}

QString Http_singleton::appVersion() const { return QStringLiteral("3.4.3"); }
QString Http_singleton::appFolderName() const { return QStringLiteral("ZuPlayer"); }
QString Http_singleton::logFileName() const { return QStringLiteral("zulogfile.log"); }

QString Http_singleton::userFolderPath() const
{
    return QDir::homePath() + QStringLiteral("/.") + appFolderName();
}

bool Http_singleton::ensureUserFolder() const
{
    return QDir().mkpath(userFolderPath());
}

QString Http_singleton::logFilePath() const
{
    return userFolderPath() + QLatin1Char('/') + logFileName();
}

QString Http_singleton::accessString(const QString &token, bool useToken) const
{
    QString s = productName().remove(QLatin1Char(' ')) + QLatin1Char('/') + appVersion() +
                QStringLiteral(" (Linux)");
    if (useToken && !token.isEmpty())
        s += QStringLiteral(" token/") + token;
    return s;
}

QString Http_singleton::updateBaseUrl() const
{
    QMutexLocker lock(&m_mutex);
    return m_updateBaseUrl;
}

QString Http_singleton::crashReportUrl() const
{
    QMutexLocker lock(&m_mutex);
    return m_crashReportUrl;
}

void Http_singleton::setUpdateCheckOk(bool ok)
{
    QMutexLocker lock(&m_mutex);
    m_updateCheckOk = ok ? 1 : 0;
}

bool Http_singleton::skipCrashReport() const
{
    QMutexLocker lock(&m_mutex);
    return m_skipCrashReport != 0;
}

void Http_singleton::setSkipCrashReport(bool skip)
{
    QMutexLocker lock(&m_mutex);
    m_skipCrashReport = skip ? 1 : 0;
}

bool Http_singleton::zipPackageFlag() const
{
    static const bool flag = QStringLiteral(ZU_ZIP_PACKAGE) == QStringLiteral("1");
    return flag;
}
