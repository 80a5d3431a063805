// The crash-report server's reply: a part counts as accepted only when the
// reply is a JSON object whose entry for that part says so.
#include "dumpsender.h"
#include "fuzz_support.h"

#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray answer = zufuzz::bytes(data, size);
    const DumpSender::ReplyVerdict v = DumpSender::readReply(answer);
    if (!v.dumpAccepted && !v.logAccepted)
        return 0;
    const QJsonDocument doc = QJsonDocument::fromJson(answer);
    ZU_FUZZ_CHECK(doc.isObject(), QString::fromUtf8(answer.left(2000)));
    const QJsonObject root = doc.object();
    for (const auto &[accepted, key] : {std::pair{v.dumpAccepted, "upload_file_minidump"},
                                        std::pair{v.logAccepted, "upload_file_log"}}) {
        if (!accepted)
            continue;
        const QJsonObject part = root.value(QLatin1String(key)).toObject();
        const QString status = part.value(QStringLiteral("status")).toString();
        ZU_FUZZ_CHECK(status.contains(QStringLiteral("OK")) || status.contains(QStringLiteral("ERROR")),
                      QString::fromUtf8(answer.left(2000)));
    }
    return 0;
}
