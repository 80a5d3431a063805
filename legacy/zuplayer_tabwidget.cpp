#include "zuplayer_tabwidget.h"

#include "legacyresources.h"
#include "zulog.h"

#include <QPainter>
#include <QStyle>

ZuPlayer_TabBar::ZuPlayer_TabBar(const QHash<int, QPixmap> &icons, QWidget *parent)
    : QTabBar(parent)
    , m_icons(icons)
{
}

void ZuPlayer_TabBar::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        for (int i = 0; i < count(); ++i) {
            // A tab without a picture of its own gets an empty one.
            const QPixmap picture = m_icons[i];
            if (picture.isNull())
                continue;
            const QPixmap scaled = picture.scaled(kIconSide, kIconSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            style()->drawItemPixmap(&painter, tabRect(i), Qt::AlignCenter, scaled);
        }
    }
    QTabBar::paintEvent(event);
}

void ZuPlayer_TabBar::resizeEvent(QResizeEvent *event)
{
    logMessage("[INFO] ZuPlayer Tab :: resize event");
    // The base lays the tabs out for the new size; without it the tabs keep
    // the places of the bar's earlier size and the pictures land off the bar.
    QTabBar::resizeEvent(event);
}

void ZuPlayer_TabBar::tabInserted(int index)
{
    logMessage(QStringLiteral("[INFO] ZuPlayer Tab :: tab inserted :: ") + QString::number(index));
}

void ZuPlayer_TabBar::tabRemoved(int index)
{
    logMessage(QStringLiteral("[INFO] ZuPlayer Tab :: tab removed ::  ") + QString::number(index));
}

QHash<int, QPixmap> ZuPlayer_TabWidget::defaultIcons()
{
    ZuLegacy::initResources();
    return {{0, QPixmap(QStringLiteral(":/imgs/directory.png"))},
            {1, QPixmap(QStringLiteral(":/imgs/playback.png"))},
            {2, QPixmap(QStringLiteral(":/imgs/alarms.png"))},
            {3, QPixmap(QStringLiteral(":/imgs/tag.png"))}};
}

ZuPlayer_TabWidget::ZuPlayer_TabWidget(QWidget *parent) : QTabWidget(parent)
{
    logMessage("[INFO] ZuPlayer Tab :: construct");
    auto *bar = new ZuPlayer_TabBar(defaultIcons(), this);
    bar->resize(40, 40);
    setTabBar(bar);
}
