#include "appinfo.h"

#include "http_singleton.h"

#include <QCoreApplication>
#include <QRegularExpression>

AppInfo::AppInfo(QObject *parent) : QObject(parent) {}

QString AppInfo::qmlImportPath() { return QStringLiteral("qrc:/qml/Zuplayer/"); }

QString AppInfo::productName() const { return Http_singleton::instance()->productName(); }
QString AppInfo::version() const { return Http_singleton::instance()->appVersion(); }
QString AppInfo::title() const { return productName() + QLatin1Char(' ') + version(); }
QString AppInfo::qmlRoot() const { return qmlImportPath() + QStringLiteral("PlayerTalvor/"); }
QString AppInfo::iconRoot() const { return qmlImportPath() + QStringLiteral("resources/icons/"); }

QString AppInfo::applicationDir() const
{
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

QString AppInfo::userFolder() const { return Http_singleton::instance()->userFolderPath(); }

QUrl AppInfo::icon(const QString &name) const
{
    // Only plain names: QML must not be able to point this anywhere else.
    static const QRegularExpression valid(QStringLiteral("^[a-z0-9_-]{1,64}$"));
    if (!valid.match(name).hasMatch())
        return QUrl();
    return QUrl(iconRoot() + name + QStringLiteral(".svg"));
}

QUrl AppInfo::fileUrl(const QString &path) const
{
    if (path.isEmpty())
        return QUrl();
    return QUrl::fromLocalFile(path);
}
