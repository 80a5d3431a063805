// Runs the widget player window on a real X display for the screenshot
// test: enters the generated day, plays camera 3 from its 14:00 hour row and
// prints "playing X Y W H" (the video surface on the screen) once a
// picture is shown. It runs until it is ended.
#include "legacy_testutil.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2)
        return 2;
    ZU_Player_presentation w;
    w.move(0, 0);
    w.resize(1600, 900);
    w.show();
    if (!QTest::qWaitForWindowExposed(&w) || !legacytest::openDay(w, args.at(1))) {
        std::printf("failed to open the day\n");
        return 1;
    }
    legacytest::clickRow(w.hourTimelines().value(QStringLiteral("14:00:00 - 15:00:00")), 0);
    if (!legacytest::waitPicture(w)) {
        std::printf("no picture\n");
        return 1;
    }
    QTest::qWait(500);
    const QPoint at = w.surface()->mapToGlobal(QPoint(0, 0));
    std::printf("playing %d %d %d %d\n", at.x(), at.y(), w.surface()->width(), w.surface()->height());
    std::fflush(stdout);
    return app.exec();
}
