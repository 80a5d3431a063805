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
    return maskedAddress(url.toString());
}

QString maskAddressesIn(const QString &text)
{
    if (!text.contains(QStringLiteral("://")))
        return text;
    static const QRegularExpression address(QStringLiteral("[A-Za-z][A-Za-z0-9+.-]*://[^\\s\"'<>]*"));
    QString out;
    qsizetype last = 0;
    QRegularExpressionMatchIterator it = address.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(text).mid(last, m.capturedStart() - last);
        out += maskedAddress(m.captured());
        last = m.capturedEnd();
    }
    out += QStringView(text).mid(last);
    return out;
}
