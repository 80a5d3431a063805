#pragma once
// Shared by the export dialog and raw export tests: the generated export
// folder, copies of it, message-box capture and a settings home of their own.
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace etest {

inline QString binaryDir()
{
    const QByteArray env = qgetenv("ZU_BINARY_DIR");
    return env.isEmpty() ? QStringLiteral(ZU_BINARY_DIR) : QString::fromLocal8Bit(env);
}

// The generated export folder (read-only for the tests).
inline QString smallExport()
{
    const QDir small(binaryDir() + QStringLiteral("/testdata/small"));
    const QFileInfoList found = small.entryInfoList({QStringLiteral("talvor_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    return found.isEmpty() ? QString() : found.constFirst().absoluteFilePath();
}

inline bool run(const QString &program, const QStringList &args, QString *output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(p.readAll());
    return ok;
}

// Copies the export folder `source` into `parent` (made as needed) with cp.
inline QString copyExport(const QString &source, const QString &parent)
{
    if (!QDir().mkpath(parent) || !run(QStringLiteral("cp"), {QStringLiteral("-a"), source, parent}))
        return QString();
    return parent + QLatin1Char('/') + QFileInfo(source).fileName();
}

// Every video data file of a day folder, sorted by file name as the player
// hands them over (so each camera's files follow in start order).
inline QList<QFileInfo> dayVideoFiles(const QString &dayFolder)
{
    QList<QFileInfo> files;
    QDirIterator it(dayFolder, {QStringLiteral("*.zuvideo")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QFileInfo(it.next()));
    std::sort(files.begin(), files.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    return files;
}

inline QString dayFolderOf(const QString &exportFolder)
{
    return exportFolder + QStringLiteral("/2024-03-05");
}

// Closes the message boxes that open while it lives, recording their titles
// and texts.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles.append(box->windowTitle());
            texts.append(box->text());
            box->done(QMessageBox::Ok);
        });
        m_timer.start(20);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

} // namespace etest

// A settings home and a log level of the tests' own, before the application
// object exists.
#define ZU_EXPORT_TEST_MAIN(TestClass)                                                  \
    int main(int argc, char **argv)                                                     \
    {                                                                                   \
        QTemporaryDir home;                                                             \
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit()); \
        qputenv("HOME", home.path().toLocal8Bit());                                     \
        QStandardPaths::setTestModeEnabled(true);                                       \
        /* The dialog's icons live in the player's resources. */                        \
        QLoggingCategory::setFilterRules(QStringLiteral("qt.svg.warning=false"));       \
        QApplication app(argc, argv);                                                   \
        TestClass test;                                                                 \
        return QTest::qExec(&test, argc, argv);                                         \
    }
