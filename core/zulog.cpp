#include "zulog.h"

#include "fdwrite.h"
#include "logaddress.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QtGlobal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QMutex g_levelMutex;
QMutex g_fileMutex;
QString g_path;
QByteArray g_pathBytes;
bool g_installed = false;

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        return;
    // Whoever wrote the line, an address in it keeps its credentials out of
    // the file.
    const QByteArray line =
        (ZuLogFile::formatLine(type, maskAddressesIn(message), QDateTime::currentDateTime()) + QLatin1Char('\n'))
            .toUtf8();

    QMutexLocker lock(&g_fileMutex);
    if (g_pathBytes.isEmpty())
        return;
    const int fd = ::open(g_pathBytes.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > ZuLogFile::kMaxBytes) {
        if (::ftruncate(fd, 0) != 0) {
            // A file we cannot empty still takes the line; the size rule
            // is retried with the next one.
        }
    }
    writeAllToFd(fd, line.constData(), static_cast<size_t>(line.size()));
    ::close(fd);
}
} // namespace

namespace {
// Callers hold g_levelMutex.
int &levelStorage()
{
    static int *level = new int(0);
    return *level;
}

// Any thread logs while the GUI thread may change the level: the level is
// read and written under the mutex.
int currentLevel()
{
    QMutexLocker lock(&g_levelMutex);
    return levelStorage();
}
} // namespace

int &logLevel()
{
    QMutexLocker lock(&g_levelMutex);
    return levelStorage();
}

void setLevelValue(int value)
{
    QMutexLocker lock(&g_levelMutex);
    levelStorage() = value;
}

void logMessage(const QString &line)
{
    if (currentLevel() <= 0)
        return;
    qDebug().noquote() << line;
}

void logMessage(const char *line)
{
    logMessage(QString::fromUtf8(line ? line : ""));
}

namespace ZuLogFile {
QString formatLine(QtMsgType type, const QString &message, const QDateTime &when)
{
    QString kind;
    switch (type) {
    case QtDebugMsg: kind = QStringLiteral("{Debug} %1"); break;
    case QtInfoMsg: kind = QStringLiteral("{Info} %1"); break;
    case QtWarningMsg: kind = QStringLiteral("{Warning} %1"); break;
    case QtCriticalMsg: kind = QStringLiteral("{Critical} %1"); break;
    case QtFatalMsg: kind = QStringLiteral("{Fatal} %1"); break;
    }
    return QLatin1Char('[') + when.toString(QStringLiteral("dd/MM/yyyy hh:mm:ss.zzz")) +
           QStringLiteral("] ") + kind.arg(message);
}

void install(const QString &filePath)
{
    {
        QMutexLocker lock(&g_fileMutex);
        g_path = filePath;
        g_pathBytes = QFile::encodeName(filePath);
    }
    if (!g_installed) {
        qInstallMessageHandler(handler);
        g_installed = true;
    }
}

void uninstall()
{
    qInstallMessageHandler(nullptr);
    g_installed = false;
    QMutexLocker lock(&g_fileMutex);
    g_path.clear();
    g_pathBytes.clear();
}

QString path()
{
    QMutexLocker lock(&g_fileMutex);
    return g_path;
}
} // namespace ZuLogFile
