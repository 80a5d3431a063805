#pragma once
#include <QObject>
#include <QString>
#include <QUrl>

// What the QML views need to know about the program and where their own
// files live. Exposed to QML as the root-context object "AppInfo".
class AppInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString productName READ productName CONSTANT)
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(QString qmlRoot READ qmlRoot CONSTANT)
    Q_PROPERTY(QString iconRoot READ iconRoot CONSTANT)
    Q_PROPERTY(QString applicationDir READ applicationDir CONSTANT)
    Q_PROPERTY(QString userFolder READ userFolder CONSTANT)
public:
    explicit AppInfo(QObject *parent = nullptr);

    // "qrc:/qml/Zuplayer/": the import path of the QML module.
    static QString qmlImportPath();

    QString productName() const;
    QString version() const;
    // "ZUPLAYER 3.4.3": the window title.
    QString title() const;
    QString qmlRoot() const;
    QString iconRoot() const;
    QString applicationDir() const;
    QString userFolder() const;

    // The URL of the icon `name` (without suffix) of the module's icon set.
    Q_INVOKABLE QUrl icon(const QString &name) const;
    // A local file path as a URL QML can load (pictures of the export folder).
    Q_INVOKABLE QUrl fileUrl(const QString &path) const;
};
