// The recording tree models and the alarm and tag lists of the widget
// player window.
#include "alarmmodel.h"
#include "legacy_testutil.h"
#include "zuvideofilesystemmodel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>

using namespace legacytest;

namespace {

EventRecord alarm(const QString &name, const QString &picture = QString())
{
    return EventRecord(name, QStringLiteral("Parking"), picture, QString(), QString(), QStringLiteral("4"));
}

// Loads `path` into a file model and waits until its folder is listed.
bool load(QFileSystemModel &model, const QString &path)
{
    QSignalSpy loaded(&model, &QFileSystemModel::directoryLoaded);
    const QModelIndex index = model.index(path);
    if (model.canFetchMore(index))
        model.fetchMore(index);
    return loaded.wait(5000) || model.rowCount(index) > 0;
}

} // namespace

class TestLegacyModels : public QObject
{
    Q_OBJECT
private slots:
    void recordingNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("full");
        QTest::newRow("recording") << "3_20240115_101500.zuvideo" << "10:15:00" << "2024-01-15 10:15:00";
        QTest::newRow("other file") << "notes.txt" << "notes.txt" << "notes.txt";
        QTest::newRow("two parts") << "3_20240115.zuvideo" << "3_20240115.zuvideo" << "3_20240115.zuvideo";
        QTest::newRow("no such date") << "3_20241315_101500.zuvideo" << "" << "";
    }
    void recordingNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, display);
        QFETCH(QString, full);
        QCOMPARE(ZuVideoFileSystemModel::recordingText(name, Qt::DisplayRole), display);
        QCOMPARE(ZuVideoFileSystemModel::recordingText(name, ZuVideoFileSystemModel::FullDateTimeRole), full);
    }

    void treeColoursFilterAndMarks()
    {
        QTemporaryDir dir;
        const QString day = dir.filePath(QStringLiteral("2024-01-15"));
        QVERIFY(writeFile(day + QStringLiteral("/3_20240115_101500.zuvideo"), QByteArray(51201, 'x')));
        QVERIFY(writeFile(day + QStringLiteral("/4_20240115_101500.zuvideo"), "x"));
        QVERIFY(writeFile(day + QStringLiteral("/5_20240115_111500.zuvideo"), QByteArray(51200, 'x')));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("archive/notes.txt")), "x"));

        ZuVideoFileSystemModel model;
        model.setRootPath(dir.path());
        QVERIFY(load(model, dir.path()));
        QVERIFY(load(model, day));
        QTRY_COMPARE(model.rowCount(model.index(day)), 3);

        const QModelIndex dayIndex = model.index(day);
        const QModelIndex rec = model.index(day + QStringLiteral("/5_20240115_111500.zuvideo"));
        const QModelIndex archive = model.index(dir.filePath(QStringLiteral("archive")));
        for (const QModelIndex &i : {dayIndex, rec})
            QCOMPARE(i.data(Qt::BackgroundRole).value<QColor>(), QColor(Qt::magenta));
        // The text keeps the view's colour on the coloured background.
        QVERIFY(rec.data(Qt::ForegroundRole).value<QColor>() != QColor(Qt::magenta));
        QVERIFY(!archive.data(Qt::BackgroundRole).isValid());

        // Two recordings shown as 10:15:00 in one day folder: both hidden.
        TreeProxyModel proxy;
        proxy.setSourceModel(&model);
        proxy.invalidate();
        const QModelIndex proxyDay = proxy.mapFromSource(dayIndex);
        QCOMPARE(proxy.rowCount(proxyDay), 1);
        QCOMPARE(proxy.index(0, 0, proxyDay).data().toString(), QStringLiteral("11:15:00"));

        // Only files above 51200 bytes mark their folders, up to the root.
        model.identifyPathsOfSize(0);
        QCOMPARE(model.markedPaths(), QSet<QString>{day});
    }

    // An alarm row shows the time of its event: the one set on it, else the
    // one its picture's name carries (a kind may follow the time).
    void alarmTimes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("time");
        QTest::newRow("thumbnail") << "4_20240115_101500-thumb.jpg" << "" << "20240115101500";
        QTest::newRow("with its kind") << "3_20240105_103000_motion-thumb.jpg" << "" << "20240105103000";
        QTest::newRow("set on it") << "3_20240105_103000_motion-thumb.jpg" << "20240101000001" << "20240101000001";
        QTest::newRow("no time") << "alarm.jpg" << "" << "";
    }
    void alarmTimes()
    {
        QFETCH(QString, name);
        QFETCH(QString, override);
        QFETCH(QString, time);
        EventRecord r = alarm(name, QStringLiteral("/p/a.jpg"));
        r.displayTime = override;
        QCOMPARE(eventDisplayTime(r), time);
        AlarmModel alarms({r});
        QCOMPARE(alarms.index(0).data().toString(),
                 QDateTime::fromString(time, QStringLiteral("yyyyMMddHHmmss")).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        QCOMPARE(alarms.index(0).data(Qt::BackgroundRole).toString(), QStringLiteral("/p/a.jpg"));
        QVERIFY(!alarms.data(alarms.index(0).sibling(5, 0)).isValid());
    }

    void tagRoles()
    {
        EventRecord tag;
        tag.displayTime = QStringLiteral("20240115101502");
        tag.tagName = QStringLiteral("Repère 1");
        tag.tagDescription = QStringLiteral("Porte");
        TagsModel tags({tag});
        QCOMPARE(tags.index(0).data().toStringList(),
                 (QStringList{QStringLiteral("2024-01-15 10:15:02"), QStringLiteral("Repère 1"), QStringLiteral("Porte")}));
        QVERIFY(tags.index(0).data(Qt::BackgroundRole).toString().isNull());
    }

    void rowPresses_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<bool>("download");
        // The cell is (10, 20, 200, 100): its square spans x 185..209, y 20..44.
        QTest::newRow("square's left line") << QPoint(185, 30) << false;
        QTest::newRow("inside the square") << QPoint(186, 21) << true;
        QTest::newRow("square's top line") << QPoint(200, 20) << false;
        QTest::newRow("square's last pixel") << QPoint(209, 44) << true;
        QTest::newRow("below the square") << QPoint(200, 45) << false;
        QTest::newRow("row") << QPoint(50, 80) << false;
    }
    void rowPresses()
    {
        QFETCH(QPoint, pos);
        QFETCH(bool, download);
        AlarmModel model({alarm(QStringLiteral("4_20240115_101500-thumb.jpg"))});
        AlarmItemDelegate alarmDelegate;
        TagItemDelegate tagDelegate;
        QStyleOptionViewItem option;
        option.rect = QRect(10, 20, 200, 100);
        for (ZuEventItemDelegate *d : {static_cast<ZuEventItemDelegate *>(&alarmDelegate),
                                       static_cast<ZuEventItemDelegate *>(&tagDelegate)}) {
            QSignalSpy row(d, &ZuEventItemDelegate::cellButtonClicked);
            QSignalSpy down(d, &ZuEventItemDelegate::cellDownloadButtonClicked);
            QMouseEvent press(QEvent::MouseButtonPress, pos, pos, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QCOMPARE(d->editorEvent(&press, &model, option, model.index(0)), download);
            QCOMPARE(down.count(), download ? 1 : 0);
            QCOMPARE(row.count(), download ? 0 : 1);
            // Other mouse events are not taken.
            for (QEvent::Type t : {QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick, QEvent::MouseMove}) {
                QMouseEvent other(t, pos, pos, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
                QVERIFY(!d->editorEvent(&other, &model, option, model.index(0)));
            }
            QCOMPARE(row.count() + down.count(), 1);
        }
    }

    void rowPaintingAndPictureCache()
    {
        QTemporaryDir dir;
        const QString picture = dir.filePath(QStringLiteral("a.png"));
        QImage blue(40, 30, QImage::Format_RGB32);
        blue.fill(Qt::blue);
        QVERIFY(blue.save(picture));

        const auto paint = [](QStyledItemDelegate &d, QAbstractItemModel &m, const QRect &cell = QRect(0, 0, 200, 100)) {
            QImage img(220, 120, QImage::Format_RGB32);
            img.fill(Qt::black);
            QPainter p(&img);
            QStyleOptionViewItem option;
            option.rect = cell;
            d.paint(&p, option, m.index(0, 0));
            return img;
        };
        const auto whiteIn = [](const QImage &img, const QRect &r) {
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    if (qGray(img.pixel(x, y)) > 128)
                        return true;
            return false;
        };

        AlarmItemDelegate alarmDelegate;
        AlarmModel withPicture({alarm(QStringLiteral("4_20240115_101500-thumb.jpg"), picture)});
        QImage img = paint(alarmDelegate, withPicture);
        QVERIFY(whiteIn(img, QRect(0, 5, 150, 15)));            // the time
        QCOMPARE(QColor(img.pixel(50, 60)), QColor(Qt::blue)); // the picture, scaled under it
        QVERIFY(whiteIn(img, QRect(175, 0, 25, 25)));           // the download square

        // A row too short for a picture area draws no picture, not even
        // outside its cell.
        img = paint(alarmDelegate, withPicture, QRect(0, 40, 200, 20));
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                QVERIFY2(QColor(img.pixel(x, y)) != QColor(Qt::blue), qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));

        // A tag row with one text of three paints what it has.
        TagItemDelegate tagDelegate;
        QStandardItemModel short_;
        auto *item = new QStandardItem;
        item->setData(QStringList{QStringLiteral("2024-01-15 10:15:02")}, Qt::DisplayRole);
        short_.appendRow(item);
        img = paint(tagDelegate, short_);
        QVERIFY(whiteIn(img, QRect(40, 5, 150, 15)));

        // Pictures are read once: the cached one outlives its file.
        QVERIFY(!ZuEventItemDelegate::cachedPixmap(picture).isNull());
        QVERIFY(QFile::remove(picture));
        QVERIFY(!ZuEventItemDelegate::cachedPixmap(picture).isNull());
        QVERIFY(ZuEventItemDelegate::cachedPixmap(dir.filePath(QStringLiteral("none.png"))).isNull());
    }
};

QTEST_MAIN(TestLegacyModels)
#include "tst_legacy_models.moc"
