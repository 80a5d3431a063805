#pragma once
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QStringList>

namespace legacytest {

// The window's 24 hour labels.
inline QStringList hourLabels()
{
    QStringList labels;
    for (int h = 0; h < 24; ++h)
        labels << QStringLiteral("%1:00:00 - %2:00:00").arg(h, 2, 10, QLatin1Char('0')).arg((h + 1) % 24, 2, 10, QLatin1Char('0'));
    return labels;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline bool isRed(QRgb c) { return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60; }
inline bool isGreen(QRgb c) { return qGreen(c) > 100 && qRed(c) < 60 && qBlue(c) < 60; }

// Columns of row y whose pixel passes `test`.
template <typename Test>
QList<int> columns(const QImage &img, int y, Test test)
{
    QList<int> xs;
    for (int x = 0; x < img.width(); ++x) {
        if (test(img.pixel(x, y)))
            xs << x;
    }
    return xs;
}

} // namespace legacytest
