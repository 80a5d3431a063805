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

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Whether `text` can be what follows the user information: a host name or
// address (an IPv6 one in brackets), then perhaps ':' and a port number.
// "admin:" or "admin:Pa" is no host with its port but the start of a login.
bool isHostAndPort(QStringView text)
{
    static const QString notInHost = QStringLiteral("\"<>\\^`{|}[]@/?#:");
    qsizetype i = 0;
    if (text.startsWith(QLatin1Char('['))) {
        i = text.indexOf(QLatin1Char(']'));
        if (i < 0)
            return false;
        ++i;
    } else {
        while (i < text.size() && text.at(i).unicode() > 0x20 && !notInHost.contains(text.at(i)))
            ++i;
        if (i == 0)
            return false;
    }
    if (i == text.size())
        return true;
    if (text.at(i) != QLatin1Char(':'))
        return false;
    const QStringView port = text.mid(i + 1);
    if (port.isEmpty() || port.size() > 5)
        return false;
    for (QChar c : port)
        if (!isAsciiDigit(c))
            return false;
    return port.toInt() <= 65535;
}

// The '@' that ends the user information of the authority that begins at
// `from` in `text`, -1 when there is none. In a URL the authority ends at
// the first of `ends` ('/', '?', '#'), but a password may hold any of them:
// users type them as they are. So the user information runs to the last '@'
// before the end of the host that follows it, and where the text before the
// first end holds no '@' and is no host (with its port), or an '@' leaves an
// empty or broken host, the password went on past that end, up to the
// host after the next '@'. "host/p@th" keeps its '@' in the path,
// "u:p@host/a@b" in its path too; "admin:Pa/ss@host/ok" and
// "admin:Pa#ss@host/ok" are the user "admin" with their passwords. Nothing
// at or past `limit` is looked at.
qsizetype userInfoAt(QStringView text, qsizetype from, qsizetype limit, QStringView ends)
{
    const auto hostEnd = [&](qsizetype i) {
        while (i < limit && !ends.contains(text.at(i)))
            ++i;
        return i;
    };
    const auto lastAt = [&](qsizetype end) {
        const qsizetype at = text.left(end).lastIndexOf(QLatin1Char('@'));
        return at >= from ? at : -1;
    };
    qsizetype end = hostEnd(from);
    if (end == from) // "file:///...": no authority at all
        return -1;
    qsizetype at = lastAt(end);
    for (;;) {
        const qsizetype host = at < 0 ? from : at + 1;
        if (isHostAndPort(text.mid(host, end - host)))
            return at;
        const qsizetype next = text.left(limit).indexOf(QLatin1Char('@'), end);
        if (next < 0)
            return at;
        end = hostEnd(next + 1);
        at = lastAt(end);
    }
}
} // namespace

qsizetype addressUserInfoEnd(QStringView address)
{
    const qsizetype scheme = address.indexOf(QStringLiteral("://"));
    return userInfoAt(address, scheme < 0 ? 0 : scheme + 3, address.size(), u"/?#");
}

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
    const qsizetype at = addressUserInfoEnd(out);
    qsizetype host = authority;
    if (at >= authority) {
        out.replace(authority, at - authority, kMask);
        host = authority + kMask.size() + 1;
    }
    const qsizetype question = out.indexOf(QLatin1Char('?'), host);
    const qsizetype hash = out.indexOf(QLatin1Char('#'), host);
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
    // In a line the end of an address is a guess. The user information runs
    // to its last '@' as in a whole address (before the line's end or the
    // next address), whatever comes before: a password may hold quotes,
    // brackets, spaces, '/', '?' or '#'. The rest of the address ends where
    // a quote, a bracket or a blank does.
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
        const qsizetype at = userInfoAt(text, authority, limit, authorityEnds);
        qsizetype end = at >= authority ? at + 1 : authority;
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
