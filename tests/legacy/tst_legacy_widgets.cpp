// The widget player's parts on their own: the hour timeline, the day slider
// and the picture tab bar as a user sees and handles them (Fusion style,
// pictures grabbed from the widgets); the recording tree models and the
// alarm and tag lists; the timeline builder on days written here.
#include "alarmmodel.h"
#include "legacy_testutil.h"
#include "zuslidertimeline.h"
#include "zutag.h"
#include "zutimelinethread.h"
#include "zuvideofilesystemmodel.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QToolTip>

using namespace legacytest;

namespace {
void send(QWidget *w, QEvent::Type type, int x, int y)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(x, y), w->mapToGlobal(QPointF(x, y)), button, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

ZuTag tagAt(const QString &time) { return ZuTag(QStringLiteral("1"), time, QStringLiteral("3"), QStringLiteral("Repère"), QStringLiteral("Porte")); }

// The day slider as the window's form has it.
void daySlider(ZuSlidertimeline &slider, int width, int height)
{
    slider.setOrientation(Qt::Horizontal);
    slider.setMaximum(ZuSlidertimeline::kLastMinute);
    slider.setMouseTracking(true);
    slider.resize(width, height);
}

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
    return loaded.wait(30000) || model.rowCount(index) > 0;
}

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int i = from; i <= to; ++i)
        out << i;
    return out;
}

QList<int> marked(const QVector<quint8> &minutes)
{
    QList<int> out;
    for (int i = 0; i < minutes.size(); ++i) {
        if (minutes.at(i))
            out << i;
    }
    return out;
}
} // namespace

class TestLegacyParts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion"))); }

    void paintsMinutesAndTags_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("sliderWidth");
        QTest::newRow("narrow") << 40 << 300;
        QTest::newRow("wide") << 1200 << 3000;
    }
    // Red minutes and a green tag mark at any width, on an hour row and on
    // the day slider.
    void paintsMinutesAndTags()
    {
        QFETCH(int, width);
        QFETCH(int, sliderWidth);
        ZuTimeline line(QStringLiteral("10:00:00 - 11:00:00"));
        line.resize(width, 25);
        line.mark_minutes(30, 1);
        line.mark_minutes(58, 5); // past the hour's end: 58 and 59 only
        line.mark_minutes(-3, 2); // before it: nothing
        ZuTag tag = tagAt(QStringLiteral("20240115104500"));
        line.tag_insert({&tag}, 3);
        QImage img = line.grab().toImage();
        int y = 18;
        QList<int> red = columns(img, y, isRed);
        int bar = qMax(1, int(width * 1.3 / 60.0));
        QVERIFY2(red.contains(width * 30 / 60), qPrintable(QString::number(width * 30 / 60)));
        QVERIFY(red.contains(width * 30 / 60 + bar - 1));
        QVERIFY(red.contains(width - 1));        // minute 59 reaches the right edge
        QVERIFY(!red.contains(width * 10 / 60)); // an empty minute stays black
        QVERIFY(qGray(img.pixel(width * 10 / 60, y)) < 30);
        // The tag: a bar from y 10 down and a dot above it.
        const int tx = width * 45 / 60;
        QVERIFY(isGreen(img.pixel(tx, y)));
        QVERIFY(isGreen(img.pixel(tx + 1, 7)) || isGreen(img.pixel(tx, 7)));

        ZuSlidertimeline slider;
        daySlider(slider, sliderWidth, 40);
        slider.mark_minutes(720, 1);
        slider.mark_minutes(1430, 20); // the day's end: up to 1439 only
        ZuTag last = tagAt(QStringLiteral("20240115235959"));
        slider.check_and_add_tags({&last}, 3);
        img = slider.grab().toImage();
        const QRect g = slider.grooveRect();
        const int track = g.width() - 24;
        bar = qMax(1, (2 * g.width() - 48) / 1440);
        y = g.center().y();
        red = columns(img, y, isRed);
        const int x720 = g.left() + 12 + track * 720 / 1440;
        QVERIFY2(red.contains(x720), qPrintable(QStringLiteral("no bar at %1 (groove %2)").arg(x720).arg(g.width())));
        QVERIFY(red.contains(x720 + bar - 1));
        QVERIFY(!red.contains(g.left() + 12 + track * 300 / 1440));
        // The tag at 23:59:59 stands at minute 1439.
        const int tagX = g.left() + track * 1439 / 1440 + 12;
        QVERIFY(isGreen(img.pixel(tagX, y)) || isGreen(img.pixel(tagX, g.top() - 3)));
    }

    void timelineClickAndHover_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<QString>("time");
        QTest::newRow("middle") << 300 << "10:30:00";
        QTest::newRow("right edge") << 599 << "10:59:54";
        QTest::newRow("right of the widget") << 900 << "10:59:54";
        QTest::newRow("left of the widget") << -20 << "10:00:00";
    }
    void timelineClickAndHover()
    {
        QFETCH(int, x);
        QFETCH(QString, time);
        QLabel label(QStringLiteral("10:00:00 - 11:00:00"));
        ZuTimeline line(QStringLiteral("10:00:00 - 11:00:00"));
        line.set_time_label(&label);
        line.set_camera_id(4);
        line.resize(600, 25);
        QSignalSpy clicked(&line, &ZuTimeline::clicked);

        // Before the first paint there is no width: nothing is reported.
        send(&line, QEvent::MouseButtonRelease, 300, 12);
        QCOMPARE(clicked.count(), 0);
        send(&line, QEvent::MouseMove, 300, 12);
        QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00"));

        line.show();
        line.grab();
        // A partial repaint must not change how positions convert.
        line.repaint(QRect(0, 0, 50, 25));
        send(&line, QEvent::MouseButtonRelease, x, 12);
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.at(0).at(0).toString(), time);
        QCOMPARE(clicked.at(0).at(1).toInt(), 4);
        if (x >= 0 && x < 600) {
            send(&line, QEvent::MouseMove, x, 12);
            QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00 > ") + time);
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(&line, &leave);
            QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00"));
        }
    }

    // One tag on the 10 o'clock row and on the day slider: each widget
    // finds it under the pointer, whichever of the two painted last.
    void tagTipsOnRowAndSlider()
    {
        ZuTag tag = tagAt(QStringLiteral("20240115104500"));
        ZuTimeline line(QStringLiteral("10:00:00 - 11:00:00"));
        line.resize(600, 25);
        line.tag_insert({&tag}, 3);
        ZuSlidertimeline slider;
        daySlider(slider, 1200, 40);
        slider.check_and_add_tags({&tag}, 3);
        line.show();
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&line) && QTest::qWaitForWindowExposed(&slider));
        const QString tip = QStringLiteral("Repère - Porte");

        line.grab();
        slider.grab();
        send(&line, QEvent::MouseMove, 100, 12);
        QVERIFY(!QToolTip::isVisible());
        send(&line, QEvent::MouseMove, 600 * 45 / 60 + 2, 12);
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), tip);
        send(&line, QEvent::MouseMove, 100, 12);
        QTRY_VERIFY(!QToolTip::isVisible());

        line.grab();
        const QRect g = slider.grooveRect();
        send(&slider, QEvent::MouseMove, g.left() + (g.width() - 24) * (10 * 60 + 45) / 1440 + 12, g.center().y());
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), tip);

        // Tags dropped from a row leave no mark behind to hover.
        send(&slider, QEvent::MouseMove, 5, g.center().y());
        QTRY_VERIFY(!QToolTip::isVisible());
        line.set_tags({});
        send(&line, QEvent::MouseMove, 600 * 45 / 60 + 2, 12);
        QVERIFY(!QToolTip::isVisible());
    }

    // A press jumps to the minute under it, the release asks for that time;
    // the engine's timestamps set the minute.
    void sliderPressReleaseAndEngineTime()
    {
        ZuSlidertimeline slider;
        daySlider(slider, 400, 30);
        slider.set_camera_id(12);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QSignalSpy moved(&slider, &ZuSlidertimeline::slider_move);
        QSignalSpy released(&slider, &ZuSlidertimeline::change_value);
        QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(200, 15));
        QCOMPARE(slider.value(), 1439 * 200 / 400);
        QCOMPARE(slider.handle_time_text(), QStringLiteral("11:59:00"));
        QCOMPARE(moved.last().at(0).toTime(), QTime(11, 59));
        QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(200, 15));
        QCOMPARE(released.count(), 1);
        QCOMPARE(released.at(0).at(0).toString(), QStringLiteral("11:59:00"));
        QCOMPARE(released.at(0).at(1).toInt(), 12);

        slider.setValue(0, QStringLiteral("20240115235930250"));
        QCOMPARE(slider.value(), 1439);
        QCOMPARE(slider.handle_time_text(), QStringLiteral("23:59:00"));
        slider.setValue(0, QStringLiteral("00:00:00:000")); // no date-time: the minimum
        QCOMPARE(slider.value(), 0);
    }

    void tabBarCentresItsPictures()
    {
        QPixmap wide(20, 10);
        wide.fill(Qt::red);
        QPixmap square(50, 50);
        square.fill(Qt::blue);
        ZuPlayer_TabBar bar({{0, wide}, {1, square}});
        bar.setStyleSheet(QStringLiteral("QTabBar::tab{background:transparent;border:0px;min-width:40px;max-width:40px;"
                                         "min-height:40px;max-height:40px;}"));
        for (int i = 0; i < 3; ++i) // the third tab has no picture
            bar.addTab(QString());
        bar.resize(bar.sizeHint());
        const QImage img = bar.grab().toImage();
        QRect red, blue;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QRgb c = img.pixel(x, y);
                red |= qRed(c) > 200 && qGreen(c) < 50 && qBlue(c) < 50 ? QRect(x, y, 1, 1) : QRect();
                blue |= qBlue(c) > 200 && qRed(c) < 50 && qGreen(c) < 50 ? QRect(x, y, 1, 1) : QRect();
            }
        // The wide picture keeps its proportions in the 36 x 36 box.
        QCOMPARE(red.size(), QSize(36, 18));
        QCOMPARE(blue.size(), QSize(36, 36));
        const QPoint redOff = red.center() - bar.tabRect(0).center();
        QVERIFY(qAbs(redOff.x()) <= 1 && qAbs(redOff.y()) <= 1);
        QVERIFY(bar.tabRect(1).contains(blue) && qAbs(blue.center().x() - bar.tabRect(1).center().x()) <= 1);
        QVERIFY(!bar.tabRect(2).intersects(red | blue));

        // The window's own pictures exist for the four tabs.
        for (int i = 0; i < 4; ++i)
            QVERIFY2(!ZuPlayer_TabWidget::defaultIcons().value(i).isNull(), qPrintable(QString::number(i)));
    }

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
        QVERIFY(!alarms.data(alarms.index(0).sibling(5, 0)).isValid());
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

    void build_data()
    {
        // Each recording: "camera start entry..." and, after "|", its streams.
        QTest::addColumn<QStringList>("recordings");
        QTest::addColumn<int>("camera"); // asked for; -1: the first file's
        QTest::addColumn<int>("built");
        QTest::addColumn<double>("minutes");
        QTest::addColumn<QList<int>>("hourMarks");
        QTest::addColumn<QList<int>>("dayMarks");
        QTest::addColumn<QStringList>("streams");
        // No seek file is needed for the length, so the streams come from
        // the camera's first seek file alone.
        QTest::newRow("5-minute gaps") << QStringList{"12 080000 080000000", "3 080000 080000000 | video1 video2",
                                                      "3 080500 080500000", "3 081000 081000000"}
                                       << 3 << 3 << 5.0 << range(480, 494) << range(480, 494)
                                       << QStringList{"video1", "video2"};
        QTest::newRow("40 s in the seek file: one minute") << QStringList{"3 080000 080000000 080040000"} << 3 << 3
                                                           << 1.0 << range(480, 480) << range(480, 480)
                                                           << QStringList{"video0"};
        QTest::newRow("3.5 minutes") << QStringList{"3 080000 080000000 080330000"} << 3 << 3 << 3.5 << range(480, 482)
                                     << range(480, 482) << QStringList{"video0"};
        QTest::newRow("12 minutes: no length") << QStringList{"3 080000 080000000 081200000"} << 3 << 3 << -1.0
                                               << QList<int>() << QList<int>() << QStringList{"video0"};
        // 10:58 runs over the hour: 58 and 59 on its own hour's row, five
        // minutes on the day slider; the last hour runs to midnight. The
        // camera of the first file is built, with its tags.
        QTest::newRow("over the hour, camera adopted")
            << QStringList{"3 105800 105800000", "3 110300 110300000", "3 235800 235800000"} << -1 << 3 << 5.0
            << range(658, 659) + range(663, 667) + range(1438, 1439) << range(658, 667) + range(1438, 1439)
            << QStringList{"video0"};
    }
    void build()
    {
        QFETCH(QStringList, recordings);
        QFETCH(int, camera);
        QTemporaryDir tmp;
        // A folder whose name holds a data suffix: only the file's own
        // suffix names its seek file.
        const QString dir = tmp.filePath(QStringLiteral("copie.zuvideo"));
        QFileInfoList files;
        for (const QString &r : recordings) {
            const QStringList f = r.section(QLatin1Char('|'), 0, 0).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const QStringList streams = r.section(QLatin1Char('|'), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            files << QFileInfo(writeRecording(dir, QStringLiteral("20240101"), f.at(0).toInt(), f.at(1), f.mid(2),
                                              streams.isEmpty() ? QStringList{QStringLiteral("video0")} : streams));
        }
        // Camera 3's tags at 08:07, at 09:00 and in the last hour; others of
        // another camera, of none and with a broken time.
        QList<ZuTag> tags;
        for (const char *t : {"080700 3", "090000 3", "233000 3", "080700 12", "103000 ", "10300x 3"})
            tags << ZuTag(QStringLiteral("1"), QStringLiteral("20240101") + QString::fromLatin1(t).section(QLatin1Char(' '), 0, 0),
                          QString::fromLatin1(t).section(QLatin1Char(' '), 1), QString(), QString());
        QList<ZuTag *> given;
        for (ZuTag &t : tags)
            given << &t;
        ZuTimelinethread thread(hourLabels(), camera, files, {}, given);
        QSignalSpy done(&thread, &QThread::finished);
        thread.start();
        QVERIFY(done.wait(20000));
        const ZuTimelineBuild b = thread.result();
        QTEST(b.cameraId, "built");
        QTEST(b.segmentMinutes, "minutes");
        QTEST(marked(b.hourMinutes), "hourMarks");
        QTEST(marked(b.dayMinutes), "dayMarks");
        QTEST(b.streamIds, "streams");
        const bool three = b.cameraId == 3;
        int listed = 0;
        for (const QList<ZuTag *> &hour : b.hourTags)
            listed += hour.size();
        QCOMPARE(listed, three ? 3 : 0);
        QCOMPARE(b.hourTags.value(QStringLiteral("08:00:00 - 09:00:00")), three ? given.mid(0, 1) : QList<ZuTag *>());
        QCOMPARE(b.hourTags.value(QStringLiteral("09:00:00 - 10:00:00")), three ? given.mid(1, 1) : QList<ZuTag *>());
        QCOMPARE(b.hourTags.value(QStringLiteral("23:00:00 - 00:00:00")), three ? given.mid(2, 1) : QList<ZuTag *>());
    }

    // Missing, blank and junk seek files (a line longer than any entry):
    // no entry and no stream.
    void unreadableSeekFiles()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("blank.zuseek")), "\n\r\n"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("junk.zuseek")), QByteArray(5000, 'z') + "\nnot:an:entry\n"));
        ZuTimelinethread reader;
        for (const char *name : {"none.zuseek", "blank.zuseek", "junk.zuseek"}) {
            const ZuFrame f = reader.seek_last_frame(dir.filePath(QLatin1String(name)));
            QVERIFY2((f.timestamp.isEmpty() && f.size == -1) || f.timestamp.isNull(), name);
        }
        QVERIFY(reader.stream_ids().isEmpty());
    }
};

QTEST_MAIN(TestLegacyParts)
#include "tst_legacy_widgets.moc"
