#include "zuslidertimeline.h"

#include "minuteslots.h"
#include "zulog.h"
#include "zutag.h"
#include "zutimeline.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionSlider>
#include <QToolTip>

ZuSlidertimeline::ZuSlidertimeline(QWidget *parent) : QSlider(parent)
{
    connect(this, &QSlider::valueChanged, this, &ZuSlidertimeline::get_value_changed);
    connect(this, &QSlider::sliderReleased, this, &ZuSlidertimeline::release);
}

void ZuSlidertimeline::clear_minutes()
{
    m_minutes.fill(0);
}

void ZuSlidertimeline::clear_range(int start, int count)
{
    ZuMinuteSlots::set(m_minutes, start, count, 0);
}

void ZuSlidertimeline::mark_minutes(int start, int count)
{
    ZuMinuteSlots::set(m_minutes, start, count, 1);
}

void ZuSlidertimeline::mark_minutes_from_frames(const QList<ZuFrame> &frames)
{
    ZuMinuteSlots::markFrames(m_minutes, frames, [](const QTime &t) { return t.hour() * 60 + t.minute(); });
}

void ZuSlidertimeline::check_and_add_tags(const QList<ZuTag *> &tags, int cameraId)
{
    logMessage("[INFO] ZuSlidertimeline :: check_and_add_tags");
    m_tags = ZuTimeline::select_tags(m_rangeLabel, tags, cameraId, "[INFO] ZuSlidertimeline :: tag insert ");
    m_marks.clear();
}

void ZuSlidertimeline::setValue(int, QString timestamp)
{
    if (timestamp.isEmpty())
        return;
    const QDateTime t = QDateTime::fromString(timestamp, QStringLiteral("yyyyMMddHHmmsszzz"));
    // An unreadable time gives -1, which the slider bounds to its minimum.
    const int h = t.isValid() ? t.time().hour() : -1;
    const int m = t.isValid() ? t.time().minute() : -1;
    QSlider::setValue(h * 60 + m);
}

void ZuSlidertimeline::get_value_changed(int value)
{
    const int h = value / 60;
    const int m = value - h * 60;
    m_handleText = QStringLiteral("%1:%2:00").arg(h, 2, 10, QLatin1Char('0')).arg(m, 2, 10, QLatin1Char('0'));
    emit slider_move(QTime(h, m, 0, 0));
}

void ZuSlidertimeline::release()
{
    logMessage(QStringLiteral("[INFO] ZuSlidertimeline :: release :: ") + m_handleText + QStringLiteral(" :: camera id ")
               + QString::number(m_cameraId));
    emit change_value(m_handleText, m_cameraId);
}

void ZuSlidertimeline::mousePressEvent(QMouseEvent *event)
{
    logMessage("[INFO] ZuSlidertimeline :: mousePressEvent");
    if (event->button() == Qt::LeftButton) {
        const qint64 span = qint64(maximum()) - minimum();
        int v;
        if (orientation() == Qt::Vertical)
            v = minimum() + int(height() > 0 ? span * (height() - int(event->position().y())) / height() : 0);
        else
            v = minimum() + int(width() > 0 ? span * int(event->position().x()) / width() : 0);
        QSlider::setValue(v);
        event->accept();
    }
    QSlider::mousePressEvent(event);
}

void ZuSlidertimeline::mouseMoveEvent(QMouseEvent *event)
{
    if (isVisible())
        ZuTimeline::showTagTip(this, m_marks, event);
    QSlider::mouseMoveEvent(event);
}

QStyleOptionSlider ZuSlidertimeline::sliderOption() const
{
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    opt.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    if (tickPosition() != NoTicks)
        opt.subControls |= QStyle::SC_SliderTickmarks;
    return opt;
}

QRect ZuSlidertimeline::grooveRect() const
{
    const QStyleOptionSlider opt = sliderOption();
    return style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
}

void ZuSlidertimeline::paintEvent(QPaintEvent *event)
{
    const QStyleOptionSlider opt = sliderOption();
    const QRect g = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const QRect h = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);

    QSlider::paintEvent(event);
    QPainter painter(this);
    // Each bar covers two minutes, and at least one pixel whatever the
    // groove's width, so a short recording never vanishes from a narrow slider.
    const int track = qMax(0, g.width() - 24);
    const int barWidth = qMax(1, (2 * g.width() - 48) / kMinutes);
    for (int i = 0; i < kMinutes; ++i) {
        if (m_minutes[size_t(i)] == 1)
            painter.fillRect(QRect(g.left() + 12 + (track * i) / kMinutes, g.top(), barWidth, g.height()), Qt::red);
    }
    painter.setPen(Qt::green);
    painter.setBrush(Qt::green);
    m_marks.clear();
    for (ZuTag *tag : std::as_const(m_tags)) {
        const QTime t = QDateTime::fromString(tag->get_tag_time(), QStringLiteral("yyyyMMddHHmmss")).time();
        if (!t.isValid())
            continue;
        const int minute = t.hour() * 60 + t.minute();
        const int x0 = (track * minute) / kMinutes + g.left();
        ZuTimeline::recordTagMark(tag, x0 + 12, barWidth, &m_marks);
        painter.drawEllipse(QRect(x0 + 9, g.top() - 10, 7, 7));
        painter.fillRect(QRect(x0 + 12, g.top() - 5, barWidth, g.height() + 10), Qt::green);
    }
    painter.fillRect(QRect(int(h.left() + h.width() * 0.2), h.top(), int(h.width() * 0.6), h.height()),
                     QColor(QStringLiteral("#656565")));
}
