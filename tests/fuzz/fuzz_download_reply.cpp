// The transfer thread's reading of a reply: the input is a raw HTTP reply
// (status line, headers, blank line, body), fed a header line at a time as
// libcurl delivers them, then the body's first chunk to the error-reply
// readers. The headers keep every line of the last answer (a redirect's own
// lines go when the next status line comes) as received, a digest comes out
// without blanks or line ends, and it matches only its own value.
#include "fuzz_support.h"
#include "zudownload_reply.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = zufuzz::bytes(data, size);
    qsizetype bodyAt = reply.indexOf("\r\n\r\n");
    bodyAt = bodyAt < 0 ? reply.size() : bodyAt + 4;
    const QByteArray head = reply.left(bodyAt);
    const QByteArray body = reply.mid(bodyAt, 16384);

    ZuDownloadReply::Headers headers;
    qsizetype answerAt = 0; // a status line starts the answer that counts
    for (qsizetype pos = 0; pos < head.size();) {
        qsizetype end = head.indexOf('\n', pos);
        end = end < 0 ? head.size() : end + 1;
        if (head.mid(pos, 5) == "HTTP/")
            answerAt = pos;
        headers.addLine(head.constData() + pos, size_t(end - pos));
        pos = end;
    }
    ZU_FUZZ_CHECK(headers.text == head.mid(answerAt), QStringLiteral("header lines lost"));

    const QString digest = ZuDownloadReply::cleanDigest(headers.digest);
    ZU_FUZZ_CHECK(digest == digest.trimmed() && !digest.contains(QLatin1String("\r\n")), digest);
    const QString real = QString::fromLatin1(zufuzz::sha256Hex(body));
    if (ZuDownloadReply::digestMatches(headers.digest, real))
        ZU_FUZZ_CHECK(digest.compare(real, Qt::CaseInsensitive) == 0, digest);
    ZU_FUZZ_CHECK(!ZuDownloadReply::digestMatches(headers.digest, QString()), digest);

    switch (ZuDownloadReply::classify(headers.contentType)) {
    case ZuDownloadReply::Kind::Html: {
        const ZuDownloadReply::Failure f = ZuDownloadReply::htmlFailure(body);
        ZU_FUZZ_CHECK(!f.message.isEmpty() && !f.logged.contains(QLatin1Char('\n')), f.logged.left(200));
        break;
    }
    case ZuDownloadReply::Kind::Json:
        (void)ZuDownloadReply::jsonFailure(body);
        break;
    case ZuDownloadReply::Kind::Data:
    case ZuDownloadReply::Kind::Other:
        break;
    }
    return 0;
}
