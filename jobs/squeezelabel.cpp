#include "squeezelabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

SqueezeLabel::SqueezeLabel(QWidget *parent)
    : QLabel(parent)
{
}

QString SqueezeLabel::displayedText() const
{
    const QFontMetrics fm(font());
    const QString whole = text();
    if (fm.horizontalAdvance(whole) <= contentsRect().width())
        return whole;
    return fm.elidedText(whole, Qt::ElideMiddle, contentsRect().width());
}

void SqueezeLabel::paintEvent(QPaintEvent *event)
{
    const QFontMetrics fm(font());
    const QString whole = text();
    if (fm.horizontalAdvance(whole) <= contentsRect().width()) {
        QLabel::paintEvent(event);
        return;
    }
    // Draw what QLabel would draw for the elided text: the frame, then the
    // text in the contents rectangle with the label's alignment and palette.
    QPainter painter(this);
    drawFrame(&painter);
    QStyleOption option;
    option.initFrom(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    // Elided to the painted area rather than the whole widget, so that the
    // ellipsis and the end of the text stay visible inside a frame or margin.
    const QString elided = fm.elidedText(whole, Qt::ElideMiddle, area.width());
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()),
                          option.palette, isEnabled(), elided, foregroundRole());
}
