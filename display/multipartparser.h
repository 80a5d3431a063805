#pragma once
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <deque>

// Splits an HTTP multipart frame stream ("--myboundary", part headers, an
// empty line, the body, the next delimiter...) into parts, fed with the
// bytes as they arrive, in chunks of any size. No network, no threads: the
// stream client feeds it from its transfer, and it can be fed from a file or
// a fuzzer just the same.
//
// Lenient as the producers in the field are:
// - the boundary may be given with or without its leading dashes, or not at
//   all (a producer that announces "application/octet-stream"): it is then
//   taken from the first line that starts with "--";
// - a delimiter line is any line that starts with "--" followed by the
//   boundary (extra dashes, a closing "--" and trailing blanks accepted);
// - header names are matched without regard to case;
// - a part with a Content-Length ends after that many bytes, one without
//   ends at the next delimiter line; bytes between a body and the next
//   delimiter are skipped.
// Hostile input cannot make it hold more than kMaxPartBytes plus one chunk:
// a part or header block larger than the limits fails the stream.
class ZuMultipartParser
{
public:
    static constexpr qsizetype kMaxPartBytes = 32 * 1024 * 1024;
    static constexpr qsizetype kMaxHeaderBytes = 16 * 1024;
    // Bytes read before the first delimiter line before giving up on a stream
    // that is not multipart at all.
    static constexpr qsizetype kMaxPreambleBytes = 64 * 1024;

    struct Part {
        QList<QPair<QByteArray, QByteArray>> headers; // names and values as sent, trimmed
        QByteArray body;
        // The value of the first header of that name (case ignored); null when absent.
        QByteArray header(const QByteArray &name) const;
    };

    // `boundary`: the boundary with or without its leading dashes; empty to
    // take it from the stream.
    explicit ZuMultipartParser(const QByteArray &boundary = QByteArray());

    // The boundary parameter of a Content-Type value ("multipart/x-mixed-
    // replace; boundary=--myboundary", quoted or not), leading dashes
    // removed; empty when there is none.
    static QByteArray boundaryFromContentType(const QByteArray &contentType);

    // Takes the next bytes of the stream. False once the stream has failed
    // (see failure()); the bytes are then ignored.
    bool feed(const char *data, qsizetype size);
    bool feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }
    // The stream ended cleanly: a body that runs to the end of the stream
    // without a delimiter (no Content-Length) becomes the last part.
    void finish();

    // The closing delimiter has been read (or finish() called): whatever
    // follows is no part of the stream.
    bool ended() const { return m_state == State::Epilogue; }

    bool hasParts() const { return !m_parts.empty(); }
    // The oldest complete part not taken yet.
    Part takePart();
    qsizetype pendingParts() const { return qsizetype(m_parts.size()); }

    bool failed() const { return !m_failure.isEmpty(); }
    QString failure() const { return m_failure; }
    // The boundary in use (without dashes), once known.
    QByteArray boundary() const { return m_boundary; }
    // Parts completed since construction.
    qint64 partCount() const { return m_partCount; }

private:
    enum class State { Preamble, Headers, Body, AfterBody, Epilogue };

    // Each step consumes what it can from the buffer; false when it needs more bytes.
    bool stepPreamble();
    bool stepHeaders();
    bool stepBody();
    bool stepAfterBody();
    // Whether `line` (without its end of line) is a delimiter; `closing` tells the final one.
    bool isDelimiter(const char *line, qsizetype size, bool *closing) const;
    enum class Candidate { No, Yes, Undecided };
    // Whether the line starting at `start` is a delimiter; Undecided while
    // its end has not arrived and it could still be one.
    Candidate delimiterAt(qsizetype start, qsizetype *end, bool *closing) const;
    // The end of the line starting at `from` (index of '\n'), or -1.
    qsizetype lineEnd(qsizetype from) const;
    void fail(const QString &why);
    void completePart(QByteArray body);
    void compact();

    QByteArray m_boundary;
    QByteArray m_buffer;
    qsizetype m_pos = 0;     // start of the bytes not consumed
    qsizetype m_scanned = 0; // body search: where to look for the next end of line
    bool m_bodyStartChecked = false;
    State m_state = State::Preamble;
    Part m_current;
    qsizetype m_headerBytes = 0;
    qint64 m_contentLength = -1;
    std::deque<Part> m_parts;
    QString m_failure;
    qint64 m_partCount = 0;
    qsizetype m_skipped = 0;
};
