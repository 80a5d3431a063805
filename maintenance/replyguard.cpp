#include "replyguard.h"

#include "logaddress.h"
#include "zulog.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <limits>

ReplyGuard::ReplyGuard(QNetworkReply *reply, qint64 maxBytes, int deadlineMs, Body body)
    : QObject(reply), m_reply(reply), m_maxBytes(maxBytes), m_mode(body), m_deadline(newTimer()),
      m_deadlineMs(deadlineMs)
{
    setObjectName(QStringLiteral("ReplyGuard"));
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

QTimer *ReplyGuard::newTimer()
{
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] { stop(Breach::TooSlow); });
    connect(m_reply, &QNetworkReply::finished, timer, &QTimer::stop);
    return timer;
}

void ReplyGuard::allowUpload(qint64 uploadAllowanceMs, int stallMs)
{
    if (m_reply->isFinished())
        return;
    const qint64 total = qint64(m_deadlineMs) + qMax<qint64>(0, uploadAllowanceMs);
    m_deadline->start(int(qMin<qint64>(total, std::numeric_limits<int>::max())));
    QTimer *stall = newTimer();
    QTimer *answer = newTimer();
    connect(m_reply, &QNetworkReply::uploadProgress, stall, [stall, answer, stallMs](qint64 sent, qint64 all) {
        if (answer->isActive() || (all > 0 && sent >= all))
            stall->stop();
        else
            stall->start(stallMs);
    });
    // The answer may begin before the upload has ended (a refusal).
    connect(m_reply, &QNetworkReply::metaDataChanged, answer, [this, stall, answer] {
        stall->stop();
        if (!answer->isActive() && !m_reply->isFinished())
            answer->start(m_deadlineMs);
    });
    stall->start(stallMs);
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

bool ReplyGuard::admit(qint64 total)
{
    checkSize(total);
    return m_breach == Breach::None;
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
