#include "zutag.h"

ZuTag::ZuTag(const QString &tagId, const QString &tagTime, const QString &cameraId,
             const QString &tagName, const QString &description)
    : m_tagId(tagId), m_tagTime(tagTime), m_cameraId(cameraId), m_tagName(tagName),
      m_description(description)
{
}

// The marks are screen state, not part of the marker.
bool ZuTag::operator==(const ZuTag &other) const
{
    return m_tagId == other.m_tagId && m_tagTime == other.m_tagTime
           && m_cameraId == other.m_cameraId && m_tagName == other.m_tagName
           && m_description == other.m_description;
}
