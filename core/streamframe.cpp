#include "streamframe.h"

extern "C" {
#include <libavutil/frame.h>
}

StreamFrame::~StreamFrame()
{
    av_frame_free(&m_frame);
}

void StreamFrame::setAvFrame(AVFrame *frame)
{
    if (m_frame == frame)
        return;
    av_frame_free(&m_frame);
    m_frame = frame;
    if (!frame)
        return;
    m_width = frame->width;
    m_height = frame->height;
    m_pixelFormat = frame->format;
    for (int i = 0; i < 8; ++i)
        m_lineSizes[i] = frame->linesize[i];
}

AVFrame *StreamFrame::takeAvFrame()
{
    AVFrame *f = m_frame;
    m_frame = nullptr;
    return f;
}

void StreamFrame::setTimestampText(const QByteArray &text)
{
    m_timestamp = text.left(kMaxTimestampChars);
}
