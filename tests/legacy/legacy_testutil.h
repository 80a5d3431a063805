#pragma once
// Helpers of the widget player window's tests.
#include "canvas.h"
#include "ui_zu_player_presentation.h"
#include "zu_player_presentation.h"
#include "zuplayer_tabwidget.h"
#include "zustreamreadandcontrol.h"
#include "zutimeline.h"

#include "../maintenance/test_support.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTableView>
#include <QtTest>

namespace legacytest {

// The window's 24 hour labels.
inline QStringList hourLabels()
{
    QStringList labels;
    for (int h = 0; h < 24; ++h)
        labels << QStringLiteral("%1:00:00 - %2:00:00").arg(h, 2, 10, QLatin1Char('0')).arg((h + 1) % 24, 2, 10, QLatin1Char('0'));
    return labels;
}

using testsupport::writeFile;

// A recording of `camera` on `date` ("yyyyMMdd") starting at `start`
// ("HHmmss") in `dir`: one seek entry per time ("HHmmsszzz") and stream, in
// CRLF lines with a trailing blank line, over ten bytes an entry of data
// that is no video. Its data file's path, or empty when it was not written.
inline QString writeRecording(const QString &dir, const QString &date, int camera, const QString &start,
                              const QStringList &times, const QStringList &streams = {QStringLiteral("video0")})
{
    const QString base = QStringLiteral("%1/%2/%3_%4_%2").arg(dir, start).arg(camera).arg(date);
    QByteArray seek;
    for (const QString &t : times)
        for (const QString &s : streams)
            seek += (date + t + QLatin1Char(':') + s + QStringLiteral(":h264:320x240:1:10\r\n")).toLatin1();
    const bool ok = writeFile(base + QStringLiteral(".zuseek"), seek + "\r\n")
                    && writeFile(base + QStringLiteral(".zuvideo"), QByteArray(10 * times.size() * streams.size(), 'x'));
    return ok ? base + QStringLiteral(".zuvideo") : QString();
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

// The generated export folder of the small_export fixture (read-only) and
// its day.
inline QString smallExport()
{
    const QDir dir(QStringLiteral(ZU_BINARY_DIR "/testdata/small"));
    const QStringList roots = dir.entryList({QStringLiteral("talvor_*")}, QDir::Dirs);
    return roots.isEmpty() ? QString() : dir.absoluteFilePath(roots.first());
}

inline QString smallDay() { return smallExport() + QStringLiteral("/2024-03-05"); }

// Enters a day folder through the tree and opens the recordings tab; true
// once its hour rows are built and the stream box is filled.
inline bool openDay(ZU_Player_presentation &w, const QString &day)
{
    const QModelIndex index = w.treeIndex(day);
    if (!index.isValid())
        return false;
    w.form()->tree->setCurrentIndex(index);
    emit w.form()->tree->clicked(index);
    w.form()->tabWidget->setCurrentIndex(1);
    return QTest::qWaitFor([&] { return !w.isBuildingTimelines() && w.form()->video_stream_box->count() > 0; }, 20000);
}

// A left click at x on an hour row, as a user makes it (painted first).
inline void clickRow(ZuTimeline *row, int x)
{
    row->grab();
    QTest::mousePress(row, Qt::LeftButton, {}, QPoint(x, 15));
    QTest::mouseRelease(row, Qt::LeftButton, {}, QPoint(x, 15));
}

// Presses a list row away from its download square.
inline void pressRow(QTableView *view, int row, bool download = false)
{
    const QModelIndex index = view->model()->index(row, 0);
    view->scrollTo(index);
    const QRect r = view->visualRect(index);
    const QPoint at = download ? QPoint(r.right() - 10, r.top() + 10) : QPoint(r.left() + 30, r.top() + qMin(60, r.height() / 2));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
}

// Waits for a picture of the surface that differs from `previous`.
inline bool waitPicture(ZU_Player_presentation &w, const QString &previous = QString(), int ms = 10000)
{
    return QTest::qWaitFor([&] {
        const QString now = w.surface()->currentTimestamp();
        return !now.isEmpty() && now != previous;
    }, ms);
}

} // namespace legacytest
