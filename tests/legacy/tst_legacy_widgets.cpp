// The hour timeline, the day slider and the picture tab bar as a user sees
// and handles them (Fusion style, pictures grabbed from the widgets).
#include "legacy_testutil.h"
#include "zuplayer_tabwidget.h"
#include "zuslidertimeline.h"
#include "zutag.h"
#include "zutimeline.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QToolTip>
#include <QtTest>

using namespace legacytest;

namespace {

void move(QWidget *w, int x, int y)
{
    QMouseEvent e(QEvent::MouseMove, QPointF(x, y), w->mapToGlobal(QPointF(x, y)), Qt::NoButton, Qt::NoButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

void release(QWidget *w, int x, int y)
{
    QMouseEvent e(QEvent::MouseButtonRelease, QPointF(x, y), w->mapToGlobal(QPointF(x, y)), Qt::LeftButton,
                  Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

} // namespace

class TestLegacyWidgets : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion"))); }

    void timelinePaintsMinutesAndTags_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("narrow") << 40;
        QTest::newRow("wide") << 1200;
    }
    void timelinePaintsMinutesAndTags()
    {
        QFETCH(int, width);
        ZuTimeline line(QStringLiteral("10:00:00 - 11:00:00"));
        line.resize(width, 25);
        line.mark_minutes(30, 1);
        line.mark_minutes(58, 5);   // past the hour's end: 58 and 59 only
        line.mark_minutes(-3, 2);   // before it: nothing
        ZuTag tag(QStringLiteral("1"), QStringLiteral("20240115104500"), QStringLiteral("3"), QStringLiteral("Repère"),
                  QStringLiteral("Porte"));
        line.tag_insert({&tag}, 3);
        QCOMPARE(line.tags().size(), 1);
        QCOMPARE(line.minute(59), 1);
        QCOMPARE(line.minute(0), 0);

        const QImage img = line.grab().toImage();
        const int y = 18;
        const QList<int> red = columns(img, y, isRed);
        const int bar = qMax(1, int(width * 1.3 / 60.0));
        QVERIFY2(red.contains(width * 30 / 60), qPrintable(QString::number(width * 30 / 60)));
        QVERIFY(red.contains(width * 30 / 60 + bar - 1));
        QVERIFY(red.contains(width - 1));        // minute 59 reaches the right edge
        QVERIFY(!red.contains(width * 10 / 60)); // an empty minute stays black
        QVERIFY(qGray(img.pixel(width * 10 / 60, y)) < 30);
        // The tag: a bar from y 10 down and a dot above it.
        const int tx = width * 45 / 60;
        QVERIFY(isGreen(img.pixel(tx, y)));
        QVERIFY(isGreen(img.pixel(tx + 1, 7)) || isGreen(img.pixel(tx, 7)));
        QCOMPARE(tag.get_mark_x(), tx);
        QCOMPARE(tag.get_mark_width(), qMax(1, int(width * 0.8 / 60.0)));
    }

    void timelineTagHours_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("tagTime");
        QTest::addColumn<QString>("tagCamera");
        QTest::addColumn<bool>("kept");
        QTest::newRow("inside") << "10:00:00 - 11:00:00" << "20240115103000" << "3" << true;
        QTest::newRow("end belongs to the next hour") << "10:00:00 - 11:00:00" << "20240115110000" << "3" << false;
        QTest::newRow("start") << "11:00:00 - 12:00:00" << "20240115110000" << "3" << true;
        QTest::newRow("last hour") << "23:00:00 - 00:00:00" << "20240115233000" << "3" << true;
        QTest::newRow("last hour, other hour") << "22:00:00 - 23:00:00" << "20240115233000" << "3" << false;
        QTest::newRow("other camera") << "10:00:00 - 11:00:00" << "20240115103000" << "33" << false;
        QTest::newRow("no camera") << "10:00:00 - 11:00:00" << "20240115103000" << "" << false;
        QTest::newRow("bad time") << "10:00:00 - 11:00:00" << "2024011510300x" << "3" << false;
    }
    void timelineTagHours()
    {
        QFETCH(QString, label);
        QFETCH(QString, tagTime);
        QFETCH(QString, tagCamera);
        QFETCH(bool, kept);
        ZuTag tag(QStringLiteral("1"), tagTime, tagCamera, QStringLiteral("n"), QStringLiteral("d"));
        ZuTimeline line(label);
        line.tag_insert({&tag}, 3);
        QCOMPARE(line.tags().size(), kept ? 1 : 0);
    }

    void timelineClickAndHover_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<QString>("time");
        QTest::newRow("left edge") << 0 << "10:00:00";
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
        release(&line, 300, 12);
        QCOMPARE(clicked.count(), 0);
        move(&line, 300, 12);
        QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00"));

        line.show();
        line.grab();
        // A partial repaint must not change how positions convert.
        line.repaint(QRect(0, 0, 50, 25));
        release(&line, x, 12);
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.at(0).at(0).toString(), time);
        QCOMPARE(clicked.at(0).at(1).toInt(), 4);
        if (x >= 0 && x < 600) {
            move(&line, x, 12);
            QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00 > ") + time);
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(&line, &leave);
            QCOMPARE(label.text(), QStringLiteral("10:00:00 - 11:00:00"));
        }
    }

    void sliderPaintsMinutesAndTags_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("narrow") << 300;
        QTest::newRow("wide") << 3000;
    }
    void sliderPaintsMinutesAndTags()
    {
        QFETCH(int, width);
        ZuSlidertimeline slider;
        slider.setOrientation(Qt::Horizontal);
        slider.setMaximum(ZuSlidertimeline::kLastMinute);
        slider.resize(width, 40);
        slider.mark_minutes(720, 1);
        slider.mark_minutes(1430, 20); // the day's end: up to 1439 only
        ZuTag tag(QStringLiteral("1"), QStringLiteral("20240115235959"), QStringLiteral("3"), QStringLiteral("n"),
                  QStringLiteral("d"));
        slider.check_and_add_tags({&tag}, 3);
        QCOMPARE(slider.tags().size(), 1);
        QCOMPARE(slider.minute(1439), 1);

        const QImage img = slider.grab().toImage();
        const QRect g = slider.grooveRect();
        const int track = g.width() - 24;
        const int bar = qMax(1, (2 * g.width() - 48) / 1440);
        const int y = g.center().y();
        const QList<int> red = columns(img, y, isRed);
        const int x720 = g.left() + 12 + track * 720 / 1440;
        QVERIFY2(red.contains(x720), qPrintable(QStringLiteral("no bar at %1 (groove %2)").arg(x720).arg(g.width())));
        QVERIFY(red.contains(x720 + bar - 1));
        QVERIFY(!red.contains(g.left() + 12 + track * 300 / 1440));
        // The tag at 23:59:59 stands at minute 1439.
        const int tagX = g.left() + track * 1439 / 1440 + 12;
        QCOMPARE(tag.get_mark_x(), tagX);
        QCOMPARE(tag.get_mark_width(), bar);
        QVERIFY(isGreen(img.pixel(tagX, y)) || isGreen(img.pixel(tagX, g.top() - 3)));
    }

    void tagTipsOnRowAndSlider()
    {
        // One tag on the 10 o'clock row and on the day slider: each widget
        // finds it under the pointer, whichever of the two painted last.
        ZuTag tag(QStringLiteral("1"), QStringLiteral("20240115104500"), QStringLiteral("3"), QStringLiteral("Repère"),
                  QStringLiteral("Porte"));
        ZuTimeline line(QStringLiteral("10:00:00 - 11:00:00"));
        line.resize(600, 25);
        line.tag_insert({&tag}, 3);
        ZuSlidertimeline slider;
        slider.setOrientation(Qt::Horizontal);
        slider.setMaximum(ZuSlidertimeline::kLastMinute);
        slider.resize(1200, 40);
        slider.setMouseTracking(true); // as the window's form has it
        slider.check_and_add_tags({&tag}, 3);
        line.show();
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&line));
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        const QString tip = QStringLiteral("Repère - Porte");

        line.grab();
        slider.grab();
        move(&line, 100, 12);
        QVERIFY(!QToolTip::isVisible());
        move(&line, 600 * 45 / 60 + 2, 12);
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), tip);
        move(&line, 100, 12);
        QTRY_VERIFY(!QToolTip::isVisible());

        line.grab();
        const QRect g = slider.grooveRect();
        const int markX = g.left() + (g.width() - 24) * (10 * 60 + 45) / 1440 + 12;
        move(&slider, markX, g.center().y());
        QVERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), tip);

        // Tags dropped from a row leave no mark behind to hover.
        move(&slider, 5, g.center().y());
        QTRY_VERIFY(!QToolTip::isVisible());
        line.set_tags({});
        move(&line, 600 * 45 / 60 + 2, 12);
        QVERIFY(!QToolTip::isVisible());
    }

    void sliderValueTexts_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("midnight") << 0 << "00:00:00";
        QTest::newRow("10:05") << 605 << "10:05:00";
        QTest::newRow("last minute") << 1439 << "23:59:00";
    }
    void sliderValueTexts()
    {
        QFETCH(int, value);
        QFETCH(QString, text);
        ZuSlidertimeline slider;
        slider.setMaximum(ZuSlidertimeline::kLastMinute);
        QSignalSpy moved(&slider, &ZuSlidertimeline::slider_move);
        slider.setValue(value == 0 ? 1 : 0);
        slider.setValue(value);
        QCOMPARE(slider.handle_time_text(), text);
        QCOMPARE(moved.last().at(0).toTime(), QTime::fromString(text, QStringLiteral("HH:mm:ss")));
        // The engine's position sets the minute of its timestamp.
        slider.setValue(0, QStringLiteral("20240115") + QString(text).remove(QLatin1Char(':')) + QStringLiteral("250"));
        QCOMPARE(slider.value(), value);
        slider.setValue(0, QStringLiteral("00:00:00:000")); // no date-time: the minimum
        QCOMPARE(slider.value(), 0);
    }

    void sliderPressJumpsAndReleaseReports()
    {
        ZuSlidertimeline slider;
        slider.setOrientation(Qt::Horizontal);
        slider.setMaximum(ZuSlidertimeline::kLastMinute);
        slider.set_camera_id(12);
        slider.resize(400, 30);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QSignalSpy released(&slider, &ZuSlidertimeline::change_value);
        QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(200, 15));
        QCOMPARE(slider.value(), 1439 * 200 / 400);
        QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(200, 15));
        QCOMPARE(released.count(), 1);
        QCOMPARE(released.at(0).at(0).toString(), QStringLiteral("11:59:00"));
        QCOMPARE(released.at(0).at(1).toInt(), 12);
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
        bar.addTab(QString());
        bar.addTab(QString());
        bar.addTab(QString()); // a third tab without a picture
        bar.resize(bar.sizeHint());
        const QImage img = bar.grab().toImage();
        const auto box = [&](auto test) {
            QRect r;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    if (test(img.pixel(x, y)))
                        r |= QRect(x, y, 1, 1);
            return r;
        };
        const QRect red = box([](QRgb c) { return qRed(c) > 200 && qGreen(c) < 50 && qBlue(c) < 50; });
        const QRect blue = box([](QRgb c) { return qBlue(c) > 200 && qRed(c) < 50 && qGreen(c) < 50; });
        // The wide picture keeps its proportions in the 36 x 36 box.
        QCOMPARE(red.size(), QSize(36, 18));
        QCOMPARE(blue.size(), QSize(36, 36));
        QVERIFY(qAbs(red.center().x() - bar.tabRect(0).center().x()) <= 1);
        QVERIFY(qAbs(red.center().y() - bar.tabRect(0).center().y()) <= 1);
        QVERIFY(bar.tabRect(1).contains(blue));
        QVERIFY(qAbs(blue.center().x() - bar.tabRect(1).center().x()) <= 1);
        QVERIFY(!bar.tabRect(2).intersects(red | blue));

        // The window's own pictures exist for the four tabs.
        const QHash<int, QPixmap> icons = ZuPlayer_TabWidget::defaultIcons();
        for (int i = 0; i < 4; ++i)
            QVERIFY2(!icons.value(i).isNull(), qPrintable(QString::number(i)));
    }
};

QTEST_MAIN(TestLegacyWidgets)
#include "tst_legacy_widgets.moc"
