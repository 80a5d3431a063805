#pragma once
#include "zuframe.h"
#include "zutimeline.h"

#include <QList>
#include <QSlider>
#include <QStyleOptionSlider>
#include <QString>
#include <QTime>

#include <array>

class ZuTag;

// The day slider of the widget player window: one value per minute of the
// day (0 .. 1439), the recorded minutes of the chosen camera drawn as red
// bars in the groove and its tags as green marks. Moving reports the time
// under the handle; releasing asks the window to play from there. GUI thread
// only: the builder thread's minutes are applied by the window.
class ZuSlidertimeline : public QSlider
{
    Q_OBJECT
public:
    static constexpr int kMinutes = 1440;
    static constexpr int kLastMinute = kMinutes - 1;

    explicit ZuSlidertimeline(QWidget *parent = nullptr);

    void set_camera_id(int id) { m_cameraId = id; }
    int camera_id() const { return m_cameraId; }
    void clear_minutes();
    void clear_range(int start, int count);
    void mark_minutes(int start, int count);
    void mark_minutes_from_frames(const QList<ZuFrame> &frames);
    void check_and_add_tags(const QList<ZuTag *> &tags, int cameraId);

    int minute(int index) const { return index >= 0 && index < kMinutes ? m_minutes[size_t(index)] : 0; }
    QString handle_time_text() const { return m_handleText; }
    QList<ZuTag *> tags() const { return m_tags; }
    // Where the groove is, in widget coordinates (the style's rectangle).
    QRect grooveRect() const;

    using QSlider::setValue;

public slots:
    // The minute of a "yyyyMMddHHmmsszzz" time; the int is not used.
    void setValue(int index, QString timestamp);
    void get_value_changed(int value);
    void release();

signals:
    void change_value(QString time, int cameraId);
    void slider_move(QTime time);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QStyleOptionSlider sliderOption() const;

    std::array<int, kMinutes> m_minutes{};
    int m_cameraId = -1;
    QString m_handleText;
    QList<ZuTag *> m_tags;
    QList<ZuTagMark> m_marks; // where the last paint put m_tags
    QString m_rangeLabel = QStringLiteral("00:00:00 - 23:59:59");
};
