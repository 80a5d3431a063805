#include "fuzz_support.h"

#include "zulog.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace zufuzz {

void init()
{
    static int argc = 1;
    static char name[] = "zufuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives as long as the process
    setLevelValue(0);
}

QString scratchDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/zufuzz-XXXXXX"));
    if (!dir.isValid())
        fail("cannot make a scratch folder", QDir::tempPath());
    return dir.path();
}

QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString seedsDir()
{
    const QByteArray env = qgetenv("ZU_FUZZ_SEEDS");
    return env.isEmpty() ? QStringLiteral(ZU_FUZZ_SEEDS_DIR) : QString::fromLocal8Bit(env);
}

void checkCleanText(const QString &text, int maxChars, bool lineEnds, const char *what)
{
    if (text.size() > maxChars)
        fail(what, QStringLiteral("longer than %1: ").arg(maxChars) + text.left(80));
    if (!text.isEmpty() && (text.front().isSpace() || text.back().isSpace()))
        fail(what, QStringLiteral("blank at an end: ") + text.left(80));
    for (QChar c : text) {
        if (lineEnds && c == QLatin1Char('\n'))
            continue;
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Separator_Line || cat == QChar::Separator_Paragraph)
            fail(what, QStringLiteral("control character U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')));
    }
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "fuzz oracle failed: %s\n%s\n", what, detail.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}

} // namespace zufuzz
