#include "zudownload_reply.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace ZuDownloadReply {

void Headers::addLine(const char *data, size_t size)
{
    if (!data || size == 0)
        return;
    const QByteArray line(data, qsizetype(size));
    if (line.startsWith("HTTP/")) {
        *this = Headers();
        status = line.split(' ').value(1).toInt();
    }
    text += line;
    if (line.contains("Content-Type:"))
        contentType = QString::fromLatin1(line);
    if (line.contains("Content-Digest:")) {
        QByteArray value = line;
        value.replace("Content-Digest: sha-256=", "");
        digest = QString::fromLatin1(value);
    }
}

Kind classify(const QString &contentTypeLine)
{
    if (contentTypeLine.isEmpty() || contentTypeLine.contains(QLatin1String("force-download"))
        || contentTypeLine.contains(QLatin1String("application")))
        return Kind::Data;
    if (contentTypeLine.contains(QLatin1String("html")))
        return Kind::Html;
    if (contentTypeLine.contains(QLatin1String("json")))
        return Kind::Json;
    return Kind::Other;
}

Failure htmlFailure(const QByteArray &chunk)
{
    Failure f;
    const qsizetype newline = chunk.indexOf('\n');
    f.logged = QString::fromUtf8(newline < 0 ? chunk : chunk.left(newline));
    f.message = f.logged.contains(QLatin1String("500 Internal Server Error")) ? QStringLiteral("Server error 500")
                                                                                : QStringLiteral("IO FAILED");
    return f;
}

Failure jsonFailure(const QByteArray &chunk)
{
    Failure f;
    f.logged = QString::fromUtf8(chunk);
    const QJsonValue code = QJsonDocument::fromJson(chunk).object().value(QStringLiteral("ZURETURN_CODE"));
    f.message = code.isString() ? code.toString() : QString();
    return f;
}

QString cleanDigest(const QString &digest)
{
    QString out = digest;
    out.remove(QStringLiteral("\r\n"));
    return out.trimmed();
}

bool digestMatches(const QString &digestText, const QString &hex)
{
    const QString expected = cleanDigest(digestText);
    return !expected.isEmpty() && !hex.isEmpty() && expected.compare(hex, Qt::CaseInsensitive) == 0;
}

} // namespace ZuDownloadReply
