#pragma once
#include <QString>

// One marker read from a ".zutag" file: who set it, on which camera and when.
// The timeline painters write the mark position and width in pixels so that
// the hover code can find the marker under the pointer again.
class ZuTag
{
public:
    ZuTag() = default;
    ZuTag(const QString &tagId, const QString &tagTime, const QString &cameraId,
          const QString &tagName, const QString &description);

    QString get_tag_id() const { return m_tagId; }
    // "yyyyMMddHHmmss"
    QString get_tag_time() const { return m_tagTime; }
    // Decimal camera id, e.g. "3"
    QString get_camera_id() const { return m_cameraId; }
    QString get_tag_name() const { return m_tagName; }
    QString get_description() const { return m_description; }

    void set_tag_id(const QString &id) { m_tagId = id; }
    void set_tag_time(const QString &time) { m_tagTime = time; }
    void set_camera_id(const QString &id) { m_cameraId = id; }
    void set_tag_name(const QString &name) { m_tagName = name; }
    void set_description(const QString &text) { m_description = text; }

    int get_mark_x() const { return m_markX; }
    int get_mark_width() const { return m_markWidth; }
    void set_mark_x(int x) { m_markX = x; }
    void set_mark_width(int width) { m_markWidth = width; }

    bool operator==(const ZuTag &other) const;

private:
    QString m_tagId;
    QString m_tagTime;
    QString m_cameraId;
    QString m_tagName;
    QString m_description;
    int m_markX = 0;
    int m_markWidth = 0;
};
