#pragma once
#include <QString>

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVCodecParserContext;

// Reads the order in which a stream shows its pictures (the picture order
// count of H.264 and H.265) from the slice headers of its access units, fed
// in stored order. A unit whose picture a decoder does not give still has
// its place in that order while its slice header can be read.
// Not thread-safe; one per reading thread.
class PictureOrder
{
public:
    static constexpr int64_t kUnknown = INT64_MIN;

    PictureOrder() = default;
    ~PictureOrder();
    PictureOrder(const PictureOrder &) = delete;
    PictureOrder &operator=(const PictureOrder &) = delete;

    // For a codec text of a seek file; false for codecs that show their
    // pictures in stored order (MJPEG) or are unknown: orderOf() then
    // always answers kUnknown.
    bool open(const QString &codecName);
    // Forgets what the units before told (after a jump in the stream).
    void reset();
    // The unit's picture order count, comparable with those of the units of
    // its group of pictures; kUnknown when its slice header cannot be read.
    int64_t orderOf(const uint8_t *data, int size);

private:
    void close();

    QString m_codec;
    AVCodecParserContext *m_parser = nullptr;
    AVCodecContext *m_ctx = nullptr;
    std::vector<uint8_t> m_buffer; // the unit, padded as the parser needs
};
