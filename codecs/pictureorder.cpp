#include "pictureorder.h"

#include "videodecoder.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

PictureOrder::~PictureOrder()
{
    close();
}

void PictureOrder::close()
{
    if (m_parser)
        av_parser_close(m_parser);
    m_parser = nullptr;
    avcodec_free_context(&m_ctx);
}

bool PictureOrder::open(const QString &codecName)
{
    close();
    m_codec = VideoDecoder::normalizedCodecName(codecName);
    reset();
    return m_parser != nullptr;
}

void PictureOrder::reset()
{
    close();
    AVCodecID id = AV_CODEC_ID_NONE;
    if (m_codec == QLatin1String("h264"))
        id = AV_CODEC_ID_H264;
    else if (m_codec == QLatin1String("hevc"))
        id = AV_CODEC_ID_HEVC;
    if (id == AV_CODEC_ID_NONE)
        return;
    m_parser = av_parser_init(id);
    m_ctx = avcodec_alloc_context3(nullptr);
    if (!m_parser || !m_ctx) {
        close();
        return;
    }
    // Each unit is a whole access unit: the parser reads its headers only.
    m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

int64_t PictureOrder::orderOf(const uint8_t *data, int size)
{
    if (!m_parser || !data || size <= 0)
        return kUnknown;
    // The parser reads a few bytes past the end, as a decoder does. The
    // buffer is kept: every unit of a reordering stream comes through here.
    m_buffer.resize(size_t(size) + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(m_buffer.data(), data, size_t(size));
    std::memset(m_buffer.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    // Left as it is when no slice header is read.
    m_parser->output_picture_number = INT_MIN;
    m_parser->pict_type = AV_PICTURE_TYPE_NONE;
    uint8_t *out = nullptr;
    int outSize = 0;
    av_parser_parse2(m_parser, m_ctx, &out, &outSize, m_buffer.data(), size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (m_parser->output_picture_number == INT_MIN || m_parser->pict_type == AV_PICTURE_TYPE_NONE)
        return kUnknown;
    return m_parser->output_picture_number;
}
