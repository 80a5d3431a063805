#pragma once
#include <QByteArray>
#include <QString>

// Text that a peer sent (a camera's fault, a server's header or body, a
// certificate's name) made fit for one log line: line breaks, control and
// invisible format characters (bidirectional overrides among them) become
// blanks, so a peer can neither forge log lines nor hide text, and the
// whole is cut to `maxChars` characters with an ellipsis.
namespace peertext {

constexpr qsizetype kDefaultMaxChars = 512;

QString clean(const QString &text, qsizetype maxChars = kDefaultMaxChars);
// Bytes as UTF-8, invalid sequences replaced.
QString clean(const QByteArray &bytes, qsizetype maxChars = kDefaultMaxChars);
QString clean(const char *text, qsizetype maxChars = kDefaultMaxChars);

} // namespace peertext
