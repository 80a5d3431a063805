#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>

class QNetworkReply;
class QTimer;

// Bounds one network reply. The whole exchange, redirects and TLS handshakes
// included, must end within a deadline: a server that sends a byte now and
// then never trips the transfer timeout, which only counts silence. The body
// may not grow past a size cap: it is collected here as it arrives (or only
// counted, when the owner reads the reply itself). A breach aborts the reply,
// which then finishes as cancelled; breach() says why.
//
// The guard is a child of its reply and goes with it.
class ReplyGuard : public QObject
{
    Q_OBJECT
public:
    enum class Breach { None, TooLarge, TooSlow };
    enum class Body { Collect, Count, Truncate };

    // Body::Collect keeps the body here (takeBody); Body::Count leaves the
    // reading to the owner and only counts; Body::Truncate keeps the first
    // maxBytes and then ends the reply without calling it a breach.
    ReplyGuard(QNetworkReply *reply, qint64 maxBytes, int deadlineMs, Body body = Body::Collect);

    // For a request that sends a body over a line of unknown speed. What the
    // network stack reports as sent has only reached a kernel buffer, so the
    // time the peer takes to read it cannot be told from silence: the
    // deadline grows by uploadAllowanceMs. Within it, the upload only has to
    // keep moving (it fails when nothing more could be handed over for
    // stallMs), and the answer, once it begins, has the plain deadline.
    void allowUpload(qint64 uploadAllowanceMs, int stallMs);

    // An owner that reads the body itself says how much it has taken in
    // all; past the cap the reply is ended as too large (false).
    bool admit(qint64 total);

    Breach breach() const { return m_breach; }
    bool truncated() const { return m_truncated; }
    // The user's text for a breach; empty when there is none.
    QString breachText() const;
    // What was collected so far (everything once the reply has finished).
    QByteArray takeBody();

    // The guard of a reply, null when it has none.
    static ReplyGuard *of(QNetworkReply *reply);

private:
    void collect();
    void checkSize(qint64 size);
    void stop(Breach why);
    QTimer *newTimer();

    QNetworkReply *m_reply;
    qint64 m_maxBytes;
    Body m_mode;
    QByteArray m_body;
    QTimer *m_deadline;
    int m_deadlineMs;
    Breach m_breach = Breach::None;
    bool m_truncated = false;
};
