#include "dumpsender.h"

#include "http_singleton.h"
#include "logaddress.h"
#include "peertext.h"
#include "replyguard.h"
#include "zulog.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSslError>
#include <QSysInfo>

namespace {
// A dump or log larger than this is not a file we wrote: it is left out of
// the report rather than read into memory.
constexpr qint64 kMaxFileBytes = 64 * 1024 * 1024;
constexpr int kMaxLoggedReplyBytes = 4096;

struct Field
{
    QString name;
    QString value;
};

bool readWhole(const QString &path, QByteArray *out)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > kMaxFileBytes)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *out = file.read(kMaxFileBytes + 1);
    return file.error() == QFileDevice::NoError && out->size() <= kMaxFileBytes;
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// A quoted header parameter may contain neither quotes nor line breaks.
QByteArray quotedParameter(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('"', "%22");
    bytes.replace('\r', "%0D");
    bytes.replace('\n', "%0A");
    return bytes;
}

bool statusAccepted(const QJsonObject &part)
{
    const QString status = part.value(QStringLiteral("status")).toString();
    if (status.contains(QStringLiteral("OK")))
        return true;
    if (status.contains(QStringLiteral("ERROR"))) {
        const QJsonObject info = part.value(QStringLiteral("status_info")).toObject();
        return info.value(QStringLiteral("error_code")).toInt(-1) == 4;
    }
    return false;
}
} // namespace

DumpSender::DumpSender(QObject *parent) : QObject(parent), url(reportUrl()) {}

void DumpSender::setComment(const QString &value) { comment = value; }
void DumpSender::setEmail(const QString &value) { email = value; }
void DumpSender::setDeleteWhenDone(bool on) { deleteWhenDone = on; }

void DumpSender::setLimits(qint64 answerBytes, int deadline, int stall)
{
    answerLimit = answerBytes;
    deadlineMs = deadline;
    stallMs = stall;
}

QUrl DumpSender::reportUrl()
{
    const QString base = Http_singleton::instance()->crashReportUrl().trimmed();
    if (base.isEmpty())
        return QUrl();
    QUrl u(base, QUrl::StrictMode);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || u.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return QUrl();
    QString path = u.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    u.setPath(path + QStringLiteral("/traitement"));
    return u;
}

QString DumpSender::osText()
{
    return QStringLiteral("OS ") + QSysInfo::productType() + QLatin1Char('_') +
           QSysInfo::kernelVersion() + QLatin1Char('_') + QSysInfo::currentCpuArchitecture();
}

QString DumpSender::logFilePath()
{
    return Http_singleton::instance()->logFilePath();
}

QByteArray DumpSender::defaultBoundary()
{
    return QByteArrayLiteral("---------------------------10757404324422");
}

bool DumpSender::sendReport(const QString &path)
{
    dumpPath = path;
    if (!url.isValid()) {
        logMessage(QStringLiteral("ZuDumpSender :: no crash report server configured"));
        return false;
    }

    const Http_singleton *app = Http_singleton::instance();
    const QString product = app->productName();
    QString version = app->appVersion();
    if (version.isEmpty())
        version = QStringLiteral("1.0.0");

    QByteArray dump;
    QByteArray log;
    const QString logPath = logFilePath();
    dumpSent = readWhole(dumpPath, &dump);
    logSent = readWhole(logPath, &log);

    QList<Field> fields;
    fields.append({QStringLiteral("os"), osText()});
    fields.append({QStringLiteral("product_name"), product});
    fields.append({QStringLiteral("version"), version});
    if (dumpSent)
        fields.append({QStringLiteral("dumpdate"),
                       QFileInfo(dumpPath).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    if (!email.isEmpty())
        fields.append({QStringLiteral("email"), email});
    if (!comment.isEmpty())
        fields.append({QStringLiteral("comment"), comment});
    if (logSent)
        fields.append({QStringLiteral("sha_log"), QString::fromLatin1(sha256Hex(log))});
    if (dumpSent)
        fields.append({QStringLiteral("sha_dump"), QString::fromLatin1(sha256Hex(dump))});

    // The dump keeps its base name (up to the first dot); the log part
    // carries the path it was read from.
    const QString dumpName = QFileInfo(dumpPath).fileName().section(QLatin1Char('.'), 0, 0) +
                             QStringLiteral(".dmp");

    QList<QByteArray> contents;
    for (const Field &f : fields)
        contents << f.name.toUtf8() << f.value.toUtf8();
    contents << dump << log << quotedParameter(dumpName) << quotedParameter(logPath);
    QByteArray boundary = defaultBoundary();
    for (bool clash = true; clash;) {
        clash = false;
        for (const QByteArray &c : std::as_const(contents)) {
            if (c.contains(boundary)) {
                clash = true;
                boundary += QByteArray::number(QRandomGenerator::global()->generate(), 16);
                break;
            }
        }
    }

    const QByteArray crlf("\r\n");
    const QByteArray delimiter = "--" + boundary + crlf;
    QByteArray body;
    body.reserve(dump.size() + log.size() + 4096);
    for (const Field &f : std::as_const(fields)) {
        logMessage(QStringLiteral("add to header    :: ") + f.name + QLatin1Char('/') + f.value);
        body += delimiter;
        body += "Content-Disposition: form-data; name=\"" + quotedParameter(f.name) + "\"" + crlf;
        body += crlf;
        body += f.value.toUtf8() + crlf;
    }
    const auto addFilePart = [&](const char *name, const QString &fileName, const QByteArray &data) {
        body += delimiter;
        body += QByteArray("Content-Disposition: form-data; name=\"") + name + "\"; filename=\"" +
                quotedParameter(fileName) + "\"" + crlf;
        body += "Content-Type: application/octet-stream" + crlf;
        body += crlf;
        body += data + crlf;
    };
    if (dumpSent)
        addFilePart("upload_file_minidump", dumpName, dump);
    // The raw bytes, so that "sha_log" describes exactly what arrives.
    if (logSent)
        addFilePart("upload_file_log", logPath, log);
    body += "--" + boundary + "--" + crlf;

    QNetworkRequest request(url);
    // The configured address may carry a login: it is for this server
    // alone, never written into a header.
    request.setRawHeader("Referer", url.toString(QUrl::RemoveUserInfo).toUtf8());
    // No redirect is followed: it would take the dump, the log and the
    // login to another address, or turn the upload into a GET that sends
    // nothing, whose answer would then be taken for the upload's.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArray("multipart/form-data; boundary=" + boundary));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setHeader(QNetworkRequest::UserAgentHeader, app->accessString(QString(), false));

    if (!manager)
        manager = new QNetworkAccessManager(this);
    reply = manager->post(request, body);
    // A dump of a few megabytes over a slow uplink takes minutes, most of it
    // after the last byte has left for the kernel's buffers: a transfer
    // timeout would take that for silence. The exchange is bounded by the
    // body's size at the slowest line we serve, and the answer in time and
    // size: a few small JSON objects are expected.
    auto *guard = new ReplyGuard(reply, answerLimit, deadlineMs);
    guard->allowUpload(body.size() * 1000 / kMinUploadRate, stallMs);
    // Certificate errors are not ignored: a server that cannot prove who it
    // is gets neither the dump nor the log.
    connect(reply, &QNetworkReply::finished, this, &DumpSender::slot_send_request_finished);
    connect(reply, &QNetworkReply::uploadProgress, this, &DumpSender::slot_uploadprogress);
    connect(reply, &QNetworkReply::errorOccurred, this, &DumpSender::slot_error);
    connect(reply, &QNetworkReply::sslErrors, this, [](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            logMessage(QStringLiteral("ZuDumpSender :: certificate error + ") + peertext::clean(e.errorString()));
    });
    return true;
}

DumpSender::ReplyVerdict DumpSender::readReply(const QByteArray &answer)
{
    const QJsonObject root = QJsonDocument::fromJson(answer).object();
    return {statusAccepted(root.value(QStringLiteral("upload_file_minidump")).toObject()),
            statusAccepted(root.value(QStringLiteral("upload_file_log")).toObject())};
}

void DumpSender::slot_send_request_finished()
{
    QNetworkReply *r = reply;
    if (!r)
        return;
    ReplyGuard *guard = ReplyGuard::of(r);
    const QByteArray answer = guard ? guard->takeBody() : QByteArray();
    logMessage(QStringLiteral("ZuDumpSender :: send_request_finished + ") +
               peertext::clean(answer.left(kMaxLoggedReplyBytes)));

    bool dumpAccepted = false;
    bool logAccepted = false;
    const int status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (r->error() != QNetworkReply::NoError) {
        const bool breached = guard && guard->breach() != ReplyGuard::Breach::None;
        logMessage(QStringLiteral("ZuDumpSender :: send_request_finished :: upload failed + ") +
                   (breached ? guard->breachText() : peertext::clean(r->errorString())));
    } else if (status < 200 || status > 299 || r->url() != url) {
        // Only the answer to the upload itself, as posted to the configured
        // address, can accept it: a redirect's body says nothing of what
        // was received.
        const QUrl target = r->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        logMessage(QStringLiteral("ZuDumpSender :: send_request_finished :: upload failed + HTTP ") +
                   QString::number(status) +
                   (target.isEmpty() ? QString()
                                     : QStringLiteral(" :: redirect not followed :: ") +
                                           peertext::clean(maskedAddress(r->url().resolved(target)))));
    } else {
        const ReplyVerdict verdict = readReply(answer);
        // Only what was actually sent can have been accepted.
        dumpAccepted = dumpSent && verdict.dumpAccepted;
        logAccepted = logSent && verdict.logAccepted;
    }

    if (dumpAccepted) {
        logMessage(QStringLiteral("ZuDumpSender :: send_request_finished :: DUMPFILE IS OK + ") + dumpPath);
        if (QFileInfo::exists(dumpPath))
            QFile::remove(dumpPath);
    }
    if (logAccepted)
        emptyLogFile();

    r->deleteLater();
    reply = nullptr;
    emit reportFinished(dumpAccepted, logAccepted);
    if (deleteWhenDone)
        deleteLater();
}

void DumpSender::removeDump(const QString &path)
{
    logMessage(QStringLiteral("ZuDumpSender :: remove dump :: check file ") + path);
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        logMessage(QStringLiteral("ZuDumpSender :: remove dump :: remove file ") + path);
        QFile::remove(path);
    }
    emptyLogFile();
}

void DumpSender::emptyLogFile()
{
    // Truncated in place: the log handler appends to whatever file is at the
    // path, so its next line lands at the start of the emptied file.
    const QString path = logFilePath();
    if (QFileInfo(path).isFile())
        QFile::resize(path, 0);
}

void DumpSender::slot_manager_request_finished(QNetworkReply *r)
{
    if (!r)
        return;
    logMessage(QStringLiteral("ZuDumpSender :: slot_manager_request_finished + ") +
               peertext::clean(r->readAll().left(kMaxLoggedReplyBytes)));
}

void DumpSender::slot_uploadprogress(qlonglong bytesSent, qlonglong bytesTotal)
{
    logMessage(QStringLiteral("ZuDumpSender :: upload progress ") + QString::number(bytesSent) +
               QStringLiteral(" / ") + QString::number(bytesTotal));
}

void DumpSender::slot_error(QNetworkReply::NetworkError)
{
    // The outcome is handled once the reply has finished.
}
