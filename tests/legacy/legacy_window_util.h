#pragma once
#include "canvas.h"
#include "ui_zu_player_presentation.h"
#include "zu_player_presentation.h"
#include "zuplayer_tabwidget.h"
#include "zustreamreadandcontrol.h"
#include "zutimeline.h"

#include <QDir>
#include <QTableView>
#include <QtTest>

namespace legacytest {

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
