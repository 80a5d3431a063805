#include "peertext.h"

namespace peertext {

QString clean(const QString &text, qsizetype maxChars)
{
    const bool cut = maxChars >= 0 && text.size() > maxChars;
    QString out = cut ? text.left(maxChars) : text;
    // A surrogate pair cut in two would leave half a character.
    if (cut && !out.isEmpty() && out.back().isHighSurrogate())
        out.chop(1);
    for (QChar &c : out) {
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format
            || category == QChar::Separator_Line || category == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    if (cut)
        out += QChar(0x2026);
    return out;
}

QString clean(const QByteArray &bytes, qsizetype maxChars)
{
    // Decoding a long body only to cut it: four bytes a character at most.
    const QByteArray head = maxChars >= 0 && bytes.size() > 4 * maxChars + 4 ? bytes.left(4 * maxChars + 4) : bytes;
    QString text = QString::fromUtf8(head);
    if (head.size() < bytes.size() && text.size() <= maxChars)
        text += QChar(0x2026);
    return clean(text, maxChars);
}

QString clean(const char *text, qsizetype maxChars)
{
    return text ? clean(QByteArray(text), maxChars) : QString();
}

} // namespace peertext
