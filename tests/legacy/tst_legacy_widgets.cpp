// The hour timeline, the day slider and the picture tab bar as a user sees
// and handles them (Fusion style, pictures grabbed from the widgets).
#include "legacy_testutil.h"
#include "zuslidertimeline.h"
#include "zutag.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QStyleFactory>
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

} // namespace

class TestLegacyWidgets : public QObject
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
};

QTEST_MAIN(TestLegacyWidgets)
#include "tst_legacy_widgets.moc"
