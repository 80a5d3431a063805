#include <QApplication>
#include <QLabel>

#include "http_singleton.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("%1 %2").arg(Http_singleton::instance()->productName(),
                                             Http_singleton::instance()->appVersion()));
    label.setMinimumSize(1600, 900);
    label.setAlignment(Qt::AlignCenter);
    label.setWindowTitle(QStringLiteral("ZUPLAYER 3.4.3"));
    label.showMaximized();
    return app.exec();
}
