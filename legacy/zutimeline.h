#pragma once
#include "zuframe.h"

#include <QList>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTime>
#include <QWidget>

#include <array>

class QLabel;
class QMouseEvent;
class ZuTag;

// A tag mark as one widget last painted it: its span in that widget's
// coordinates and its tooltip. Each widget keeps its own marks: a tag shown
// on an hour row and on the day slider stands at two places, so the one
// position a tag records is only right for the widget painted last.
struct ZuTagMark {
    int x = 0;
    int width = 0;
    QString tip;
};

// One hour of one camera's day: sixty minute slots drawn red where
// recordings exist, the hour's tags as green marks with a tooltip, a hover
// read-out of the time under the pointer in an attached label, and a click
// that reports the time under the pointer. Lives on the GUI thread only; the
// builder thread hands its results to the window, which applies them here.
class ZuTimeline : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMinutes = 60;

    // `hourLabel`: two "HH:mm:ss" times joined by " - ".
    explicit ZuTimeline(const QString &hourLabel, QWidget *parent = nullptr);

    // Slots start .. start+count-1 to 1 (indexes outside 0..59 are ignored).
    void mark_minutes(int start, int count);
    void clear_range(int start, int count);
    void clear_minutes();
    // Marks the minute of each frame (consecutive frames of one minute once).
    void mark_minutes_from_frames(const QList<ZuFrame> &frames);
    // Keeps the tags of `tags` that belong to this hour and camera.
    void tag_insert(const QList<ZuTag *> &tags, int cameraId);
    // Takes a tag list chosen elsewhere (select_tags) as it stands.
    void set_tags(const QList<ZuTag *> &tags);
    void set_time_label(QLabel *label);
    void set_camera_id(int id) { m_cameraId = id; }

    // The tags of `tags` on camera `cameraId` whose time lies in the hour of
    // `hourLabel` (the last hour of the day runs to midnight).
    static QList<ZuTag *> select_tags(const QString &hourLabel, const QList<ZuTag *> &tags, int cameraId,
                                      const char *logPrefix);
    // The tooltip of the tag mark under the pointer ("name - description"),
    // hidden off the marks.
    static void showTagTip(QWidget *widget, const QList<ZuTagMark> &marks, QMouseEvent *event);
    // Paints a tag's mark: its place is written to the tag and to `marks`.
    static void recordTagMark(ZuTag *tag, int x, int width, QList<ZuTagMark> *marks);
    // Start and end of an hour label, "HH:mm:ss - HH:mm:ss" (invalid times
    // when the text is no such label).
    static void hourBounds(const QString &hourLabel, QTime *begin, QTime *end);

    int minute(int index) const { return index >= 0 && index < kMinutes ? m_minutes[size_t(index)] : 0; }
    int camera_id() const { return m_cameraId; }
    QList<ZuTag *> tags() const { return m_tags; }
    QString hour_label() const { return m_hourLabel; }
    QString label_text() const { return m_shownText; }
    // The time under widget position x, from the last painted width
    // (invalid before the first paint).
    QTime timeAt(int x) const;

signals:
    // The clicked time "HH:mm:ss" and the camera id.
    void clicked(QString time, int cameraId);

protected:
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void restoreLabel();

    std::array<int, kMinutes> m_minutes{};
    QPointer<QLabel> m_label;
    QString m_baseText;
    QString m_shownText;
    QRect m_paintRect;
    int m_cameraId = -1;
    QList<ZuTag *> m_tags;
    QList<ZuTagMark> m_marks; // where the last paint put m_tags
    QString m_hourLabel;
};
