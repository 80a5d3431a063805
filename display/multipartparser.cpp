#include "multipartparser.h"

#include <cstring>

namespace {
// A delimiter line is short; a longer line starting with dashes is body data.
constexpr qsizetype kMaxDelimiterExtra = 64;

QByteArray stripDashes(QByteArray text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == '-')
        ++i;
    return text.mid(i);
}

// Line without its trailing CR and blanks.
qsizetype trimmedLineSize(const char *line, qsizetype size)
{
    while (size > 0 && (line[size - 1] == '\r' || line[size - 1] == ' ' || line[size - 1] == '\t'))
        --size;
    return size;
}
} // namespace

QByteArray ZuMultipartParser::Part::header(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

ZuMultipartParser::ZuMultipartParser(const QByteArray &boundary)
    : m_boundary(stripDashes(boundary.trimmed()))
{
}

QByteArray ZuMultipartParser::boundaryFromContentType(const QByteArray &contentType)
{
    const QList<QByteArray> params = contentType.split(';');
    for (const QByteArray &raw : params) {
        const QByteArray param = raw.trimmed();
        const qsizetype eq = param.indexOf('=');
        if (eq <= 0 || param.left(eq).trimmed().toLower() != "boundary")
            continue;
        QByteArray value = param.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return stripDashes(value);
    }
    return QByteArray();
}

void ZuMultipartParser::fail(const QString &why)
{
    if (m_failure.isEmpty())
        m_failure = why;
    m_buffer.clear();
    m_pos = 0;
    m_scanned = 0;
}

qsizetype ZuMultipartParser::lineEnd(qsizetype from) const
{
    return m_buffer.indexOf('\n', from);
}

bool ZuMultipartParser::isDelimiter(const char *line, qsizetype size, bool *closing) const
{
    // The length limit counts the trailing blanks too, as delimiterAt() does
    // while the line is still arriving: a line is judged the same whether it
    // comes whole or in pieces.
    if (size > m_boundary.size() + kMaxDelimiterExtra)
        return false;
    size = trimmedLineSize(line, size);
    if (size < 3 || line[0] != '-' || line[1] != '-')
        return false;
    qsizetype i = 2;
    while (i < size && line[i] == '-')
        ++i;
    const qsizetype rest = size - i;
    const char *tail = line + i;
    if (m_boundary.isEmpty())
        return false;
    const qsizetype b = m_boundary.size();
    if (rest == b && std::memcmp(tail, m_boundary.constData(), size_t(b)) == 0) {
        *closing = false;
        return true;
    }
    if (rest == b + 2 && std::memcmp(tail, m_boundary.constData(), size_t(b)) == 0 && tail[b] == '-'
        && tail[b + 1] == '-') {
        *closing = true;
        return true;
    }
    return false;
}

ZuMultipartParser::Candidate ZuMultipartParser::delimiterAt(qsizetype start, qsizetype *end, bool *closing) const
{
    const qsizetype available = m_buffer.size() - start;
    const char *line = m_buffer.constData() + start;
    if ((available >= 1 && line[0] != '-') || (available >= 2 && line[1] != '-'))
        return Candidate::No;
    *end = lineEnd(start);
    if (*end < 0)
        return available > m_boundary.size() + kMaxDelimiterExtra ? Candidate::No : Candidate::Undecided;
    return isDelimiter(line, *end - start, closing) ? Candidate::Yes : Candidate::No;
}

void ZuMultipartParser::completePart(QByteArray body)
{
    m_current.body = std::move(body);
    m_parts.push_back(std::move(m_current));
    m_current = Part();
    ++m_partCount;
}

bool ZuMultipartParser::stepPreamble()
{
    for (;;) {
        const qsizetype end = lineEnd(m_pos);
        if (end < 0) {
            if (m_buffer.size() - m_pos + m_skipped > kMaxPreambleBytes)
                fail(QStringLiteral("no multipart boundary in the first %1 bytes").arg(kMaxPreambleBytes));
            return false;
        }
        const char *line = m_buffer.constData() + m_pos;
        const qsizetype size = end - m_pos;
        if (m_boundary.isEmpty()) {
            // No boundary announced: the first line that looks like one names it.
            const qsizetype trimmed = trimmedLineSize(line, size);
            if (trimmed > 2 && line[0] == '-' && line[1] == '-' && trimmed <= 2 + kMaxDelimiterExtra) {
                const QByteArray candidate = stripDashes(QByteArray(line, trimmed));
                if (!candidate.isEmpty() && !candidate.contains(' '))
                    m_boundary = candidate;
            }
        }
        bool closing = false;
        const bool delimiter = isDelimiter(line, size, &closing);
        m_pos = end + 1;
        if (delimiter) {
            m_state = closing ? State::Epilogue : State::Headers;
            m_headerBytes = 0;
            return true;
        }
        m_skipped += size + 1;
        if (m_skipped > kMaxPreambleBytes) {
            fail(QStringLiteral("no multipart boundary in the first %1 bytes").arg(kMaxPreambleBytes));
            return false;
        }
    }
}

bool ZuMultipartParser::stepHeaders()
{
    for (;;) {
        const qsizetype end = lineEnd(m_pos);
        if (end < 0) {
            if (m_headerBytes + (m_buffer.size() - m_pos) > kMaxHeaderBytes)
                fail(QStringLiteral("part headers longer than %1 bytes").arg(kMaxHeaderBytes));
            return false;
        }
        const char *line = m_buffer.constData() + m_pos;
        const qsizetype size = end - m_pos;
        m_headerBytes += size + 1;
        if (m_headerBytes > kMaxHeaderBytes) {
            fail(QStringLiteral("part headers longer than %1 bytes").arg(kMaxHeaderBytes));
            return false;
        }
        m_pos = end + 1;
        const qsizetype trimmed = trimmedLineSize(line, size);
        if (trimmed == 0) {
            m_contentLength = -1;
            const QByteArray length = m_current.header("Content-Length");
            if (!length.isNull()) {
                bool ok = false;
                const qint64 n = length.trimmed().toLongLong(&ok);
                if (ok && n > kMaxPartBytes) {
                    fail(QStringLiteral("part of %1 bytes exceeds the limit").arg(n));
                    return false;
                }
                if (ok && n >= 0)
                    m_contentLength = n;
            }
            m_state = State::Body;
            m_scanned = m_pos;
            m_bodyStartChecked = false;
            return true;
        }
        bool closing = false;
        if (isDelimiter(line, size, &closing)) {
            // A part without body nor blank line: dropped, the next one begins.
            m_current = Part();
            m_headerBytes = 0;
            if (closing) {
                m_state = State::Epilogue;
                return true;
            }
            continue;
        }
        const QByteArray text(line, trimmed);
        const qsizetype colon = text.indexOf(':');
        if (colon > 0)
            m_current.headers.append({text.left(colon).trimmed(), text.mid(colon + 1).trimmed()});
    }
}

bool ZuMultipartParser::stepBody()
{
    if (m_contentLength >= 0) {
        if (m_buffer.size() - m_pos < m_contentLength)
            return false;
        QByteArray body = m_buffer.mid(m_pos, m_contentLength);
        m_pos += m_contentLength;
        completePart(std::move(body));
        m_state = State::AfterBody;
        m_skipped = 0;
        return true;
    }
    // No length: the body runs to the line before the next delimiter line.
    // A body may also be empty, with the delimiter right at its start.
    bool closing = false;
    qsizetype end = -1;
    if (!m_bodyStartChecked) {
        const Candidate c = delimiterAt(m_pos, &end, &closing);
        if (c == Candidate::Undecided)
            return false;
        if (c == Candidate::Yes) {
            completePart(QByteArray());
            m_pos = end + 1;
            m_state = closing ? State::Epilogue : State::Headers;
            m_headerBytes = 0;
            return true;
        }
        m_bodyStartChecked = true;
    }
    qsizetype from = m_scanned;
    for (;;) {
        const qsizetype nl = m_buffer.indexOf('\n', from);
        if (nl < 0) {
            m_scanned = m_buffer.size();
            break;
        }
        const Candidate c = delimiterAt(nl + 1, &end, &closing);
        if (c == Candidate::Undecided) {
            m_scanned = nl;
            break;
        }
        if (c == Candidate::Yes) {
            qsizetype bodyEnd = nl;
            if (bodyEnd > m_pos && m_buffer.at(bodyEnd - 1) == '\r')
                --bodyEnd;
            completePart(m_buffer.mid(m_pos, bodyEnd - m_pos));
            m_pos = end + 1;
            m_state = closing ? State::Epilogue : State::Headers;
            m_headerBytes = 0;
            return true;
        }
        from = nl + 1;
    }
    if (m_buffer.size() - m_pos > kMaxPartBytes)
        fail(QStringLiteral("part larger than %1 bytes without a delimiter").arg(kMaxPartBytes));
    return false;
}

bool ZuMultipartParser::stepAfterBody()
{
    for (;;) {
        const qsizetype end = lineEnd(m_pos);
        if (end < 0) {
            if (m_skipped + (m_buffer.size() - m_pos) > kMaxPartBytes)
                fail(QStringLiteral("no delimiter after a part"));
            return false;
        }
        const char *line = m_buffer.constData() + m_pos;
        const qsizetype size = end - m_pos;
        m_pos = end + 1;
        bool closing = false;
        if (isDelimiter(line, size, &closing)) {
            m_state = closing ? State::Epilogue : State::Headers;
            m_headerBytes = 0;
            return true;
        }
        // A blank line is the usual end of a body; anything else is skipped.
        m_skipped += size + 1;
    }
}

bool ZuMultipartParser::feed(const char *data, qsizetype size)
{
    if (failed())
        return false;
    if (m_state == State::Epilogue || size <= 0)
        return true;
    m_buffer.append(data, size);
    bool progress = true;
    while (progress && !failed()) {
        switch (m_state) {
        case State::Preamble:
            progress = stepPreamble();
            break;
        case State::Headers:
            progress = stepHeaders();
            break;
        case State::Body:
            progress = stepBody();
            break;
        case State::AfterBody:
            progress = stepAfterBody();
            break;
        case State::Epilogue:
            m_buffer.clear();
            m_pos = m_scanned = 0;
            progress = false;
            break;
        }
    }
    compact();
    return !failed();
}

void ZuMultipartParser::compact()
{
    if (m_pos == 0)
        return;
    if (m_pos >= m_buffer.size()) {
        m_buffer.clear();
        m_scanned = 0;
        m_pos = 0;
        return;
    }
    // Moving the tail costs its size; done once the consumed head is the larger part.
    if (m_pos < 65536 && m_pos * 2 < m_buffer.size())
        return;
    m_buffer.remove(0, m_pos);
    m_scanned = qMax<qsizetype>(0, m_scanned - m_pos);
    m_pos = 0;
}

void ZuMultipartParser::finish()
{
    if (failed())
        return;
    if (m_state == State::Body && m_contentLength < 0 && m_buffer.size() > m_pos) {
        qsizetype end = m_buffer.size();
        while (end > m_pos && (m_buffer.at(end - 1) == '\n' || m_buffer.at(end - 1) == '\r'))
            --end;
        if (end > m_pos)
            completePart(m_buffer.mid(m_pos, end - m_pos));
    }
    m_state = State::Epilogue;
    m_buffer.clear();
    m_pos = m_scanned = 0;
}

ZuMultipartParser::Part ZuMultipartParser::takePart()
{
    if (m_parts.empty())
        return Part();
    Part p = std::move(m_parts.front());
    m_parts.pop_front();
    return p;
}
