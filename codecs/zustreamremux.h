#pragma once
#include <QString>

// Copies the streams of a recording (a URL or a file, such as an Annex-B
// H.264 elementary stream) into a container file without re-encoding.
class ZuStreamRemux
{
public:
    ZuStreamRemux();
    virtual ~ZuStreamRemux();

    // Stream-copies `input` into `tmpFile` (its container follows
    // `finalFile`'s suffix, MP4 when that names none), then renames
    // `tmpFile` to `finalFile` (replacing it) and removes `input` when it is
    // a local file. `duration` (seconds, the whole input) sets the frame rate
    // of inputs that carry no timestamps: their frame count over `duration`;
    // 25 frames per second when it is not positive. Returns 0 on success or
    // the export error code of the failed step: -15 open input, -16 stream
    // information, -17 output context, -18 output stream, -19 parameter
    // copy, -20 output file (opening, writing, renaming), -21 header. On
    // failure the input is kept and `tmpFile` removed; `finalFile` is
    // untouched.
    //
    // `inputFormat` (a demuxer name such as "mjpeg", "h264" or "hevc"), when
    // given, is the only way the input is read: its content is not probed,
    // the input must be a local file and no protocol but `file` is opened,
    // so that bytes received from elsewhere can never make the copy read
    // another file or address.
    int remuxUrlToFile(const QString &input, const QString &tmpFile, const QString &finalFile, double duration,
                       const QString &inputFormat = QString());

private:
    static int countVideoPackets(const QString &input, const QString &inputFormat);
};
