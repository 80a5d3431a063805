#include "replyguard.h"

#include "logaddress.h"
#include "zulog.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

ReplyGuard::ReplyGuard(QNetworkReply *reply, qint64 maxBytes, int deadlineMs, Body body)
    : QObject(reply), m_reply(reply), m_maxBytes(maxBytes), m_mode(body), m_deadline(new QTimer(this))
{
    setObjectName(QStringLiteral("ReplyGuard"));
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] { stop(Breach::TooSlow); });
    connect(reply, &QNetworkReply::finished, m_deadline, &QTimer::stop);
    // A length announced beyond the cap is refused before its body comes.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && m_mode != Body::Truncate)
            checkSize(length.toLongLong());
    });
    if (m_mode == Body::Count)
        connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) { checkSize(received); });
    else
        connect(reply, &QNetworkReply::readyRead, this, &ReplyGuard::collect);
    if (!reply->isFinished())
        m_deadline->start(deadlineMs);
}

ReplyGuard *ReplyGuard::of(QNetworkReply *reply)
{
    return reply ? reply->findChild<ReplyGuard *>(QStringLiteral("ReplyGuard"), Qt::FindDirectChildrenOnly) : nullptr;
}

QString ReplyGuard::breachText() const
{
    switch (m_breach) {
    case Breach::TooLarge:
        return tr("Réponse du serveur trop volumineuse.");
    case Breach::TooSlow:
        return tr("Le serveur n’a pas répondu dans le délai imparti.");
    case Breach::None:
        break;
    }
    return QString();
}

QByteArray ReplyGuard::takeBody()
{
    collect();
    return std::exchange(m_body, QByteArray());
}

void ReplyGuard::collect()
{
    if (m_mode == Body::Count || m_breach != Breach::None || m_truncated)
        return;
    const qint64 room = m_maxBytes - m_body.size();
    QByteArray chunk;
    while (m_reply->bytesAvailable() > 0 && chunk.size() <= room)
        chunk += m_reply->read(qMin(room + 1 - chunk.size(), m_reply->bytesAvailable()));
    if (chunk.size() <= room) {
        m_body += chunk;
        return;
    }
    if (m_mode == Body::Truncate) {
        m_body += chunk.left(room);
        m_truncated = true;
        if (m_reply->isRunning())
            m_reply->abort();
        return;
    }
    stop(Breach::TooLarge);
}

void ReplyGuard::checkSize(qint64 size)
{
    if (size > m_maxBytes)
        stop(Breach::TooLarge);
}

void ReplyGuard::stop(Breach why)
{
    if (m_breach != Breach::None || m_truncated || m_reply->isFinished())
        return;
    m_breach = why;
    m_body.clear();
    logMessage(QStringLiteral("[WARN] ReplyGuard :: ") +
               (why == Breach::TooLarge ? QStringLiteral("reply too large :: ") : QStringLiteral("deadline passed :: ")) +
               maskedAddress(m_reply->url()));
    m_reply->abort();
}
