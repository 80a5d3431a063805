#include "zutimeline.h"

#include "minuteslots.h"
#include "zulog.h"
#include "zutag.h"

#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace {

QTime tagTimeOfDay(const ZuTag *tag)
{
    return QDateTime::fromString(tag->get_tag_time(), QStringLiteral("yyyyMMddHHmmss")).time();
}

} // namespace

ZuTimeline::ZuTimeline(const QString &hourLabel, QWidget *parent)
    : QWidget(parent)
    , m_hourLabel(hourLabel)
{
    setMinimumHeight(25);
    setMaximumHeight(25);
    setMouseTracking(true);
}

void ZuTimeline::mark_minutes(int start, int count)
{
    ZuMinuteSlots::set(m_minutes, start, count, 1);
}

void ZuTimeline::clear_range(int start, int count)
{
    ZuMinuteSlots::set(m_minutes, start, count, 0);
}

void ZuTimeline::clear_minutes()
{
    m_minutes.fill(0);
}

void ZuTimeline::mark_minutes_from_frames(const QList<ZuFrame> &frames)
{
    ZuMinuteSlots::markFrames(m_minutes, frames, [](const QTime &t) { return t.minute(); });
}

void ZuTimeline::hourBounds(const QString &hourLabel, QTime *begin, QTime *end)
{
    const QStringList parts = QString(hourLabel).remove(QLatin1Char(':')).split(QStringLiteral(" - "));
    *begin = QTime::fromString(parts.value(0), QStringLiteral("HHmmss"));
    *end = QTime::fromString(parts.value(1), QStringLiteral("HHmmss"));
}

QList<ZuTag *> ZuTimeline::select_tags(const QString &hourLabel, const QList<ZuTag *> &tags, int cameraId,
                                       const char *logPrefix)
{
    QList<ZuTag *> out;
    QTime begin, end;
    hourBounds(hourLabel, &begin, &end);
    if (!begin.isValid())
        return out;
    const QString camera = QString::number(cameraId);
    for (ZuTag *tag : tags) {
        if (!tag || tag->get_camera_id().isEmpty() || tag->get_camera_id() != camera || tag->get_tag_time().isEmpty())
            continue;
        const QTime t = tagTimeOfDay(tag);
        if (!t.isValid())
            continue;
        // The day's last hour ("23:00:00 - 00:00:00") and the whole day
        // ("00:00:00 - 23:59:59") run to midnight.
        const bool toMidnight = end == QTime(0, 0) || end == QTime(23, 59, 59);
        const bool inside = begin <= t && ((end.isValid() && t < end) || toMidnight);
        if (!inside)
            continue;
        out.append(tag);
        logMessage(QLatin1String(logPrefix) + tag->get_tag_time());
    }
    return out;
}

void ZuTimeline::tag_insert(const QList<ZuTag *> &tags, int cameraId)
{
    set_tags(select_tags(m_hourLabel, tags, cameraId, "[INFO] ZuTimeline :: tag insert "));
}

void ZuTimeline::set_tags(const QList<ZuTag *> &tags)
{
    m_tags = tags;
    // The old marks may stand for tags that are about to be freed.
    m_marks.clear();
}

void ZuTimeline::showTagTip(QWidget *widget, const QList<ZuTagMark> &marks, QMouseEvent *event)
{
    const int x = int(event->position().x());
    for (const ZuTagMark &mark : marks) {
        if (x >= mark.x && x <= mark.x + mark.width) {
            QToolTip::showText(event->globalPosition().toPoint(), mark.tip, widget);
            return;
        }
    }
    QToolTip::hideText();
}

void ZuTimeline::recordTagMark(ZuTag *tag, int x, int width, QList<ZuTagMark> *marks)
{
    tag->set_mark_x(x);
    tag->set_mark_width(width);
    marks->append({x, width, tag->get_tag_name() + QStringLiteral(" - ") + tag->get_description()});
}

void ZuTimeline::set_time_label(QLabel *label)
{
    m_label = label;
    if (!label)
        return;
    label->setMinimumHeight(2);
    m_baseText = label->text();
    m_shownText = m_baseText;
}

QTime ZuTimeline::timeAt(int x) const
{
    if (m_paintRect.width() < 1)
        return QTime();
    const int px = qBound(0, x, m_paintRect.width() - 1);
    const QTime start = QTime::fromString(m_baseText.isEmpty() ? m_hourLabel.section(QStringLiteral(" - "), 0, 0)
                                                               : m_baseText.section(QStringLiteral(" - "), 0, 0),
                                          QStringLiteral("HH:mm:ss"));
    if (!start.isValid())
        return QTime();
    return start.addSecs(int(qint64(px) * 3600 / m_paintRect.width()));
}

void ZuTimeline::restoreLabel()
{
    if (m_label)
        m_label->setText(m_baseText);
    m_shownText = m_baseText;
}

bool ZuTimeline::event(QEvent *e)
{
    if (e->type() == QEvent::Leave && m_label) {
        restoreLabel();
        update();
    }
    return QWidget::event(e);
}

void ZuTimeline::mousePressEvent(QMouseEvent *event)
{
    event->accept();
}

void ZuTimeline::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    // Before the first paint there is no width to convert the position with.
    const QTime clickedAt = timeAt(int(event->position().x()));
    if (!clickedAt.isValid())
        return;
    const QString text = clickedAt.toString(QStringLiteral("HH:mm:ss"));
    logMessage(QStringLiteral("[INFO] ZuTimeline :: mouse release event :: ") + text + QStringLiteral(" / ")
               + QString::number(m_cameraId));
    emit clicked(text, m_cameraId);
}

void ZuTimeline::mouseMoveEvent(QMouseEvent *event)
{
    const int x = int(event->position().x());
    if (isVisible())
        showTagTip(this, m_marks, event);
    if (!isVisible() || !m_label || m_paintRect.isNull() || m_paintRect.isEmpty() || m_paintRect.width() < 1) {
        restoreLabel();
        update();
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QTime hovered = timeAt(x);
    m_shownText = m_baseText + QStringLiteral(" > ") + hovered.toString(QStringLiteral("HH:mm:ss"));
    m_label->setText(m_shownText);
    update();
    QWidget::mouseMoveEvent(event);
}

void ZuTimeline::paintEvent(QPaintEvent *event)
{
    // The whole widget is drawn whatever part the event asks for: positions
    // are fractions of the widget's width, not of the damaged area.
    const QRect r = rect();
    m_paintRect = r;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(QRect(r.x(), r.y() + 10, r.width(), r.height() - 10), Qt::black);
    const int barWidth = qMax(1, int(r.width() * 1.3 / 60.0));
    for (int m = 0; m < kMinutes; ++m) {
        if (m_minutes[size_t(m)] == 1)
            painter.fillRect(QRect((r.width() * m) / 60, 10, barWidth, height() - 10), Qt::red);
    }
    const int tagWidth = qMax(1, int(r.width() * 0.8 / 60.0));
    painter.setPen(Qt::green);
    painter.setBrush(Qt::green);
    m_marks.clear();
    for (ZuTag *tag : std::as_const(m_tags)) {
        const int minute = tagTimeOfDay(tag).minute();
        if (minute < 0)
            continue;
        const int x = (minute * r.width()) / 60;
        recordTagMark(tag, x, tagWidth, &m_marks);
        painter.drawEllipse(QRect(x - 3, 3, 9, 9));
        painter.fillRect(QRect(x, 10, tagWidth, height() - 10), Qt::green);
    }
    painter.end();
    QWidget::paintEvent(event);
}
