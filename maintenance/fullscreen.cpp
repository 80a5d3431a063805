#include "fullscreen.h"

#include "zulog.h"

#include <QCloseEvent>
#include <QKeyEvent>

FullScreen::FullScreen()
    : QFrame(nullptr)
{
    setStyleSheet(QStringLiteral("background-color:#333333;"));
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_DeleteOnClose);
}

void FullScreen::keyPressEvent(QKeyEvent *event)
{
    event->accept();
    if (event->key() == Qt::Key_Escape)
        close();
}

void FullScreen::closeEvent(QCloseEvent *event)
{
    logMessage("[INFO] FullScreen :: Set Close event");
    event->accept();
}

void FullScreen::close_fullscreen()
{
    logMessage("[INFO] FullScreen :: close_fullscreen");
    close();
}
