#pragma once
#include <QByteArray>
#include <QString>

// What a download server's reply says about itself, worked out from raw
// bytes only (no network, no widgets), so that the header handling of the
// transfer thread can be exercised on any input.
//
// Header names are matched as the server is expected to write them
// ("Content-Type:", "Content-Digest:"), case included.
namespace ZuDownloadReply {

// The response headers of one transfer, fed one line at a time as libcurl
// delivers them (status line and the blank end line included).
struct Headers {
    // Each response starts again with its status line: after a redirect
    // only the last response's headers count.
    int status = 0;      // of the current response; 0 before its status line
    QByteArray text;     // every line of the current response so far, raw
    QString contentType; // the last whole line that names a Content-Type
    // From the last line that names a Content-Digest, with every
    // "Content-Digest: sha-256=" taken out; the line's CR LF stays.
    QString digest;

    void addLine(const char *data, size_t size);
};

// How the body of a reply is to be treated.
enum class Kind {
    Data,  // file data: no type, or a type naming "force-download" or "application"
    Html,  // an error page
    Json,  // an error object (a type naming "json" but not "application")
    Other, // any other type: an error reply without details
};

Kind classify(const QString &contentTypeLine);

// The failure an error reply's first chunk of body stands for.
struct Failure {
    QString message; // the value shown after "Erreur de téléchargement - " (empty: none)
    QString logged;  // what of the body goes into the log line
};

// An error page: its first line, and "Server error 500" when that line
// reports an internal server error, else "IO FAILED".
Failure htmlFailure(const QByteArray &chunk);
// An error object: the string value of its top-level "ZURETURN_CODE" (empty
// when the text is no object, the key is missing or not a string).
Failure jsonFailure(const QByteArray &chunk);

// The digest a header carried, without line end and blanks; empty when none.
QString cleanDigest(const QString &digest);
// Whether `digestText` (as received) names the same SHA-256 as `hex`, both
// in hexadecimal and compared without regard to case.
bool digestMatches(const QString &digestText, const QString &hex);

} // namespace ZuDownloadReply
