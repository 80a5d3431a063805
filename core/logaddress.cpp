#include "logaddress.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
const QString kMask = QStringLiteral("***");

// The query of `address` from `from` on (after the '?'), up to the fragment.
void maskQuery(QString &address, qsizetype from)
{
    const qsizetype hash = address.indexOf(QLatin1Char('#'), from);
    const qsizetype end = hash < 0 ? address.size() : hash;
    QString query = address.mid(from, end - from);
    QStringList pairs = query.split(QLatin1Char('&'));
    bool changed = false;
    for (QString &pair : pairs) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = QUrl::fromPercentEncoding(pair.left(eq).toUtf8());
        if (isSecretQueryKey(key) && pair.mid(eq + 1) != kMask) {
            pair = pair.left(eq + 1) + kMask;
            changed = true;
        }
    }
    if (changed)
        address.replace(from, end - from, pairs.join(QLatin1Char('&')));
}
} // namespace

bool isSecretQueryKey(QStringView key)
{
    const QString k = key.trimmed().toString().toLower();
    static const char *const exact[] = {"sid", "sig", "key", "pw", "code"};
    for (const char *e : exact)
        if (k == QLatin1String(e))
            return true;
    static const char *const parts[] = {"pass", "pwd", "token", "sess", "secret", "auth", "cred",
                                        "apikey", "api_key", "api-key", "signature", "private"};
    for (const char *p : parts)
        if (k.contains(QLatin1String(p)))
            return true;
    return false;
}

QString maskedAddress(const QString &address)
{
    QString out = address;
    const qsizetype scheme = out.indexOf(QStringLiteral("://"));
    const qsizetype authority = scheme < 0 ? 0 : scheme + 3;
    qsizetype authorityEnd = authority;
    while (authorityEnd < out.size() && !QStringLiteral("/?#").contains(out.at(authorityEnd)))
        ++authorityEnd;
    const qsizetype at = out.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    if (at >= authority && authorityEnd > authority)
        out.replace(authority, at - authority, kMask);
    const qsizetype question = out.indexOf(QLatin1Char('?'), authority);
    const qsizetype hash = out.indexOf(QLatin1Char('#'), authority);
    if (question >= 0 && (hash < 0 || question < hash))
        maskQuery(out, question + 1);
    return out;
}

QString maskedAddress(const QUrl &url)
{
    // From the parsed address: its user information is known whatever
    // characters it holds.
    QUrl masked = url;
    if (!masked.userInfo().isEmpty())
        masked.setUserInfo(kMask);
    return maskedAddress(masked.toString());
}

QString maskAddressesIn(const QString &text)
{
    if (!text.contains(QStringLiteral("://")))
        return text;
    // In a line the end of an address is a guess. The authority runs to the
    // first '/', '?' or '#' (or the line's end, or the next address) and its
    // user information to the last '@' in it, whatever comes before: a
    // password may hold quotes, brackets or spaces. The rest of the address
    // ends where a quote, a bracket or a blank does.
    static const QRegularExpression scheme(QStringLiteral("[A-Za-z][A-Za-z0-9+.-]*://"));
    static const QString authorityEnds = QStringLiteral("/?#\r\n");
    static const QString addressEnds = QStringLiteral("\"'<>");
    QString out;
    qsizetype last = 0;
    QRegularExpressionMatch m = scheme.match(text);
    while (m.hasMatch()) {
        const qsizetype start = m.capturedStart();
        const qsizetype authority = m.capturedEnd();
        const QRegularExpressionMatch next = scheme.match(text, authority);
        const qsizetype limit = next.hasMatch() ? next.capturedStart() : text.size();
        qsizetype end = authority;
        while (end < limit && !authorityEnds.contains(text.at(end)))
            ++end;
        const qsizetype at = text.lastIndexOf(QLatin1Char('@'), end - 1);
        end = at >= authority ? at + 1 : authority;
        while (end < text.size() && !text.at(end).isSpace() && !addressEnds.contains(text.at(end)))
            ++end;
        out += QStringView(text).mid(last, start - last);
        out += maskedAddress(text.mid(start, end - start));
        last = end;
        m = scheme.match(text, qMax(end, authority));
    }
    out += QStringView(text).mid(last);
    return out;
}
