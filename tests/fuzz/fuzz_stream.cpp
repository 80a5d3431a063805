// The multipart frame stream as the stream client receives it: the input is
// the byte stream (its first byte only chooses how it is cut). Fed whole or
// in chunks of any size, the parser finds the same parts and the same
// failure; parts stay within their limits, a frame made of a part keeps
// the part's bytes, and the codec a part's bytes show takes them as its unit.
#include "fuzz_support.h"
#include "keyunits.h"
#include "multipartparser.h"
#include "streamframe.h"
#include "zustreamparser.h"

#include <QDateTime>

#include <memory>

namespace {
ZuStreamParser *g_client = nullptr;

struct Outcome {
    QList<ZuMultipartParser::Part> parts;
    bool failed = false;
};

Outcome run(const QByteArray &boundary, const QByteArray &stream, quint32 seed)
{
    ZuMultipartParser parser(boundary);
    qsizetype pos = 0;
    while (pos < stream.size()) {
        // Chunk sizes from 1 byte up, from a small generator; seed 0 is one chunk.
        qsizetype n = stream.size() - pos;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            n = qMin<qsizetype>(n, 1 + (seed >> 16) % 97);
        }
        parser.feed(stream.constData() + pos, n);
        pos += n;
    }
    parser.finish();
    Outcome out;
    while (parser.hasParts())
        out.parts.append(parser.takePart());
    out.failed = parser.failed();
    return out;
}

bool same(const Outcome &a, const Outcome &b)
{
    if (a.failed != b.failed || a.parts.size() != b.parts.size())
        return false;
    for (int i = 0; i < a.parts.size(); ++i) {
        if (a.parts[i].body != b.parts[i].body || a.parts[i].headers != b.parts[i].headers)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    // Never started: it only turns parts into frames, without decoding.
    g_client = new ZuStreamParser(QStringLiteral("http"), QStringLiteral("127.0.0.1"), QStringLiteral("-1"),
                                  QStringLiteral("-1"), QStringLiteral("/stream"), false, QString(), false, nullptr);
    g_client->setRawFrames(true);
    g_client->setRawCopy(true);
    g_client->setNoDecode(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const quint32 seed = data[0] + 1u;
    const QByteArray stream = zufuzz::bytes(data + 1, size - 1);
    // The boundary as a Content-Type would give it, when the stream starts
    // with such a line; else the parser finds it itself.
    const QByteArray firstLine = stream.left(stream.indexOf('\n'));
    const QByteArray boundary = ZuMultipartParser::boundaryFromContentType(firstLine);
    ZU_FUZZ_CHECK(!boundary.startsWith("--"), QString::fromLatin1(boundary));

    const Outcome whole = run(boundary, stream, 0);
    const Outcome cut = run(boundary, stream, seed);
    // Below the parser's own limits the cutting cannot matter.
    if (stream.size() < ZuMultipartParser::kMaxHeaderBytes)
        ZU_FUZZ_CHECK(same(whole, cut), QStringLiteral("parts differ with the chunk sizes (seed %1)").arg(seed));

    for (const ZuMultipartParser::Part &part : whole.parts) {
        ZU_FUZZ_CHECK(part.body.size() <= ZuMultipartParser::kMaxPartBytes, QString::number(part.body.size()));
        const std::unique_ptr<StreamFrame> frame(g_client->frameFromPart(part));
        ZU_FUZZ_CHECK(part.body.isEmpty() == !frame, QStringLiteral("a frame for an empty part, or none for a full one"));
        if (frame) {
            ZU_FUZZ_CHECK(QByteArray(reinterpret_cast<const char *>(frame->rawData()), frame->rawDataSize()) == part.body,
                          QStringLiteral("the frame's bytes differ from the part's"));
        }
        const QByteArray stamp = ZuStreamParser::normalizedTimestamp(part.header("Timestamp"));
        ZU_FUZZ_CHECK(stamp.isEmpty() ||
                          QDateTime::fromString(QString::fromLatin1(stamp), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).isValid(),
                      QString::fromLatin1(stamp));
        (void)ZuStreamParser::codecForPart(part.header("Content-Type"), part.body);
        // What the bytes show, a stream of that codec takes as one of its units.
        const QString shown = ZuStreamParser::codecForBytes(part.body);
        ZU_FUZZ_CHECK(shown.isEmpty()
                          || KeyUnits::isUnitOf(shown, reinterpret_cast<const uint8_t *>(part.body.constData()),
                                                int(part.body.size())),
                      shown);
    }
    return 0;
}
