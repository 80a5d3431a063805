#include "onvif.h"

#include "domparser.h"
#include "logaddress.h"
#include "peertext.h"
#include "zulog.h"

#include <QCryptographicHash>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {
const QString kSoapEnvelope = QStringLiteral("http://www.w3.org/2003/05/soap-envelope");
const QString kAddressing = QStringLiteral("http://www.w3.org/2005/08/addressing");
const QString kWsse =
    QStringLiteral("http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd");
const QString kWsu =
    QStringLiteral("http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd");
const QString kPasswordDigest = QStringLiteral(
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest");
const QString kBase64Binary = QStringLiteral(
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary");
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'");
const char *kKind = "zu_kind";
const char *kBody = "zu_body";
const char *kTooLarge = "zu_too_large";
const char *kTimedOut = "zu_timed_out";
const char *kSslErrors = "zu_ssl_errors";

QString xml(const QString &text) { return text.toHtmlEscaped(); }

// The reply's body, read once however many handlers look at it.
QByteArray replyBody(QNetworkReply *reply)
{
    const QVariant cached = reply->property(kBody);
    if (cached.isValid())
        return cached.toByteArray();
    const QByteArray body = reply->readAll();
    reply->setProperty(kBody, body);
    return body;
}

// Why a reply brought no SOAP answer at all, for the log: a refused
// certificate, the deadline, or the network's own error text; empty when
// the transfer itself went well.
QString transportFailure(QNetworkReply *reply)
{
    if (reply->property(kTimedOut).toBool())
        return QStringLiteral("no complete reply within %1 ms").arg(Onvif::kTimeoutMs);
    const QString ssl = reply->property(kSslErrors).toString();
    if (!ssl.isEmpty())
        return QStringLiteral("certificate refused: ") + ssl;
    if (reply->error() != QNetworkReply::NoError)
        return peertext::clean(reply->errorString());
    return QString();
}

QString number(double v) { return QString::number(std::isfinite(v) ? v : 0.0, 'g', 4); }

// A clock text "yyyy-MM-ddTHH:mm:ssZ" as a UTC time (invalid when it is not
// one). Read through the local zone it would be refused in the hour that a
// daylight-saving change skips there.
QDateTime utcTime(const QString &text)
{
    if (text.size() != 20 || text.at(10) != QLatin1Char('T') || text.at(19) != QLatin1Char('Z'))
        return {};
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11, 8), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

bool isStop(const QString &command)
{
    return command == QLatin1String("STOP") || command == QLatin1String("STOP_PanTilt_ContinuousMove");
}

// A speed or translation of -1..1 in a range (min, max).
double scaled(double v, const QPair<float, float> &range)
{
    if (!std::isfinite(v))
        return 0.0;
    v = qBound(-1.0, v, 1.0);
    return v >= 0 ? v * range.second : -v * range.first;
}
} // namespace

Onvif::Onvif(const PtzCamera &camera, QObject *parent)
    : NativePTZInterface(camera, QStringLiteral("ONVIF"), parent)
    , parser(std::make_unique<DomParser>())
{
    networkManager = new QNetworkAccessManager(this);
    ptz = parser->record();
    connect(this, &Onvif::timestamp, this, &Onvif::onvif_action_with_timestamp);
}

Onvif::~Onvif()
{
    // Replies still running go with the manager; none may reach this
    // half-destroyed driver.
    for (QNetworkReply *reply : networkManager->findChildren<QNetworkReply *>())
        reply->disconnect(this);
    delete networkManager;
    networkManager = nullptr;
}

void Onvif::start()
{
    get_onvif_action(QStringLiteral("device_service"), QStringLiteral("GetSystemDateAndTime"));
}

QString Onvif::created_time() const
{
    const QDateTime t = utcTime(deviceTime);
    if (!t.isValid())
        return QString();
    // The camera's clock has gone on since it was read.
    return t.addMSecs(deviceTimeSteady.isValid() ? deviceTimeSteady.elapsed() : 0).toString(kTimeFormat);
}

QString Onvif::build_security_header(const QString &user, const QString &password, const QString &createdText)
{
    const QString created =
        createdText.isEmpty() ? QDateTime::currentDateTimeUtc().toString(kTimeFormat) : createdText;
    QByteArray nonce(16, '\0');
    for (char &b : nonce)
        b = char((QRandomGenerator::global()->generate64() >> 24) & 0xff);
    const QByteArray digest =
        QCryptographicHash::hash(nonce + created.toUtf8() + password.toUtf8(), QCryptographicHash::Sha1).toBase64();
    return QStringLiteral("<wsse:Security s:mustUnderstand=\"1\" xmlns:wsse=\"%1\" xmlns:wsu=\"%2\">"
                          "<wsse:UsernameToken><wsse:Username>%3</wsse:Username>"
                          "<wsse:Password Type=\"%4\">%5</wsse:Password>"
                          "<wsse:Nonce EncodingType=\"%6\">%7</wsse:Nonce>"
                          "<wsu:Created>%8</wsu:Created></wsse:UsernameToken></wsse:Security>")
        .arg(kWsse, kWsu, xml(user), kPasswordDigest, QString::fromLatin1(digest), kBase64Binary,
             QString::fromLatin1(nonce.toBase64()), created);
}

QString Onvif::service_url(const QString &service) const
{
    QString path;
    if (service.startsWith(QLatin1String("http"), Qt::CaseInsensitive)) {
        const qsizetype at = service.indexOf(QLatin1String("/onvif/"));
        if (at >= 0) {
            path = service.mid(at);
        } else {
            // Not the customary layout: the address's own path and query.
            const QUrl url(service);
            path = url.path(QUrl::FullyEncoded);
            if (url.hasQuery())
                path += QLatin1Char('?') + url.query(QUrl::FullyEncoded);
            if (!path.startsWith(QLatin1Char('/')))
                path.prepend(QLatin1Char('/'));
        }
    } else {
        path = QStringLiteral("/onvif/") + service;
    }
    return baseUrl() + path;
}

QNetworkReply *Onvif::post(const QString &url, const QString &action, const QByteArray &envelope,
                           bool contentLength, Kind kind, const QString &cmd)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/soap+xml; charset=utf-8; action=\"%1\"").arg(action));
    if (contentLength)
        request.setHeader(QNetworkRequest::ContentLengthHeader, envelope.size());
    request.setTransferTimeout(kTimeoutMs);
    // A redirect would carry the signed request (and its digest) wherever
    // the device points, and turn a command into a GET: it is a failure.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = networkManager->post(request, envelope);
    reply->setProperty("cmd", cmd.toUtf8());
    reply->setProperty(kKind, int(kind));
    // The transfer timeout counts only silence: a device that drips its
    // reply, or a stalled handshake, meets this deadline instead.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        if (reply->isRunning()) {
            reply->setProperty(kTimedOut, true);
            reply->abort();
        }
    });
    deadline->start(kTimeoutMs);
    connect(reply, &QNetworkReply::sslErrors, this, [reply](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &e : errors)
            texts << peertext::clean(e.errorString());
        reply->setProperty(kSslErrors, texts.join(QStringLiteral(", ")));
        qWarning().noquote() << "[ONVIF] SSL errors:" << texts.join(QStringLiteral(", "));
    });
    connect(reply, &QNetworkReply::errorOccurred, this, [](QNetworkReply::NetworkError code) {
        qWarning().noquote() << "[ONVIF] net error:"
                             << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > DomParser::kMaxBytes && reply->isRunning()) {
            reply->setProperty(kTooLarge, true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { on_reply(reply); });
    return reply;
}

void Onvif::get_onvif_action(const QString &service, const QString &cmd)
{
    static const QHash<QString, std::pair<const QString *, QString>> bodies = {
        {QStringLiteral("GetSystemDateAndTime"), {&OnvifNs::device, QString()}},
        {QStringLiteral("GetCapabilities"), {&OnvifNs::device, QStringLiteral("<Category>All</Category>")}},
        {QStringLiteral("GetServices"),
         {&OnvifNs::device, QStringLiteral("<IncludeCapability>false</IncludeCapability>")}},
        {QStringLiteral("GetDeviceInformation"), {&OnvifNs::device, QString()}},
        {QStringLiteral("GetVideoSources"), {&OnvifNs::media, QString()}},
        {QStringLiteral("GetProfiles"), {&OnvifNs::media, QString()}},
        {QStringLiteral("GetNodes"), {&OnvifNs::ptz, QString()}},
        {QStringLiteral("GetScopes"), {&OnvifNs::device, QString()}},
    };
    const auto it = bodies.constFind(cmd);
    if (it == bodies.constEnd()) {
        logMessage(QStringLiteral("[WARN] ONVIF :: get_onvif_action :: unknown command: ") + cmd);
        return;
    }
    const QString url = service_url(service);
    command = cmd;
    const QString &ns = *it->first;
    const QString action = ns + QLatin1Char('/') + cmd;
    const QString body = it->second.isEmpty()
        ? QStringLiteral("<%1 xmlns=\"%2\"/>").arg(cmd, ns)
        : QStringLiteral("<%1 xmlns=\"%2\">%3</%1>").arg(cmd, ns, it->second);
    const QString envelope =
        QStringLiteral("<s:Envelope xmlns:s=\"%1\" xmlns:wsa=\"%2\" xmlns:tds=\"%3\" xmlns:wsse=\"%4\" xmlns:wsu=\"%5\">"
                       "<s:Header><wsa:To>%6</wsa:To><wsa:Action>%7</wsa:Action>"
                       "<wsa:MessageID>urn:uuid:12345678-1234-1234-1234-123456789abc</wsa:MessageID>%8</s:Header>"
                       "<s:Body>%9</s:Body></s:Envelope>")
            .arg(kSoapEnvelope, kAddressing, OnvifNs::device, kWsse, kWsu, xml(url), action,
                 build_security_header(login, password, created_time()), body);
    post(url, action, envelope.toUtf8(), false, cmd == QLatin1String("GetSystemDateAndTime") ? Kind::Clock : Kind::Chain,
         QStringLiteral("GENERIC:") + cmd);
}

namespace {
QString soapEnvelope(const QString &security, const QString &body)
{
    return QStringLiteral("<s:Envelope xmlns:s=\"%1\"><s:Header>%2</s:Header>"
                          "<s:Body xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                          "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">%3</s:Body></s:Envelope>")
        .arg(kSoapEnvelope, security, body);
}
} // namespace

void Onvif::send_ptz_action(const QString &cmd, const QString &token)
{
    const QString url = service_url(services.value(OnvifNs::ptz));
    command = cmd;
    QString action;
    QString body;
    auto ptzBody = [&](const char *operation, const char *child) {
        action = OnvifNs::ptz + QLatin1Char('/') + QLatin1String(operation);
        body = QStringLiteral("<%1 xmlns=\"%2\"><%3>%4</%3></%1>")
                   .arg(QLatin1String(operation), OnvifNs::ptz, QLatin1String(child), xml(token));
    };
    auto mediaBody = [&] {
        action = OnvifNs::media + QLatin1Char('/') + cmd;
        body = QStringLiteral("<trt:%1 xmlns:trt=\"%2\"> <trt:ConfigurationToken>%3</trt:ConfigurationToken> </trt:%1>")
                   .arg(cmd, OnvifNs::media, xml(token));
    };
    if (cmd == QLatin1String("GetNodes"))
        ptzBody("GetNode", "NodeToken");
    else if (cmd == QLatin1String("GetPresets"))
        ptzBody("GetPresets", "ProfileToken");
    else if (cmd == QLatin1String("GetStatus"))
        ptzBody("GetStatus", "ProfileToken");
    else if (cmd == QLatin1String("GetVideoEncoderConfiguration")
             || cmd == QLatin1String("GetVideoEncoderConfigurationOptions"))
        mediaBody();
    const QByteArray envelope = soapEnvelope(build_security_header(login, password, created_time()), body).toUtf8();
    post(url, action, envelope, true, Kind::Chain, QStringLiteral("PTZ:") + cmd);
}

void Onvif::send_move(const QString &cmd, const QString &operation, const QString &content)
{
    const QString url = service_url(services.value(OnvifNs::ptz));
    command = cmd;
    const QString action = OnvifNs::ptz + QLatin1Char('/') + operation;
    const QString body = QStringLiteral("<%1 xmlns=\"%2\"><ProfileToken>%3</ProfileToken>%4</%1>")
                             .arg(operation, OnvifNs::ptz, xml(ptz->get_profile_tokens().constFirst()), content);
    ptzRequestPending = true;
    post(url, action, soapEnvelope(build_security_header(login, password, created_time()), body).toUtf8(), true,
         Kind::Move, QStringLiteral("MOVE:") + cmd);
}

void Onvif::on_reply(QNetworkReply *reply)
{
    const QByteArray body = replyBody(reply);
    const auto kind = Kind(reply->property(kKind).toInt());
    QString why;
    bool unreadable = false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString unusable;
    if (reply->property(kTooLarge).toBool()) {
        why = QStringLiteral("Reply too large");
        unreadable = true;
    } else if (reply->property(kTimedOut).toBool()) {
        unusable = transportFailure(reply);
    } else if (status >= 300 && status < 400) {
        unusable = QStringLiteral("redirected (HTTP %1) to %2, not followed")
                       .arg(status)
                       .arg(peertext::clean(reply->header(QNetworkRequest::LocationHeader).toUrl().toString(
                           QUrl::RemoveUserInfo | QUrl::RemoveQuery)));
    } else if (!body.isEmpty()) {
        unreadable = !DomParser::is_acceptable(body, &why);
        why = peertext::clean(why);
    }
    if (unreadable || !unusable.isEmpty()) {
        // One line for a reply that cannot be read at all.
        const QString cmd = QString::fromUtf8(reply->property("cmd").toByteArray());
        if (unreadable)
            logMessage(QStringLiteral("[ERROR] ONVIF :: unreadable reply to ") + cmd + QStringLiteral(" :: ") + why);
        else
            logMessage(QStringLiteral("[ERROR] ONVIF :: no usable reply to ") + cmd + QStringLiteral(" :: ")
                       + unusable);
        if (kind == Kind::Clock) {
            emit status_message(-99, cmd, QStringLiteral("not supported"), driverName);
        } else if (kind == Kind::Chain) {
            emit status_message(-1, cmd.section(QLatin1Char(':'), 1), QStringLiteral("not supported"), driverName);
        } else {
            finish_move(cmd.section(QLatin1Char(':'), 1), true);
        }
    } else if (kind == Kind::Clock) {
        request_timestamp_finished(reply);
    } else if (kind == Kind::Chain) {
        request_finished(reply);
    } else {
        request_PTZ_finished(reply);
    }
    reply->deleteLater();
}

void Onvif::request_timestamp_finished(QNetworkReply *reply)
{
    const QString cmd = QString::fromUtf8(reply->property("cmd").toByteArray());
    const QByteArray text = replyBody(reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString time;
    // Refused only when it failed, or carries no date that can be read: a
    // "400" inside a serial number or a year is nobody's business.
    bool accepted = reply->error() == QNetworkReply::NoError && status < 400 && !text.isEmpty();
    auto next = std::make_unique<DomParser>();
    if (accepted) {
        time = next->parse_datetime_reply(text);
        accepted = utcTime(time).isValid();
    }
    if (!accepted) {
        // Without a body there is no fault to read: the transfer says why.
        const QString transport = transportFailure(reply);
        const QString fault = text.isEmpty() && !transport.isEmpty() ? transport : peertext::clean(parser->parse_fault(text));
        logMessage(QStringLiteral("[ERROR] ONVIF :: request timestamp finished :: Error on command ") + cmd);
        logMessage(QStringLiteral("[ERROR] ONVIF :: request timestamp finished :: Error message    ") + fault);
        emit status_message(-99, cmd, QStringLiteral("not supported"), driverName);
        return;
    }
    parser = std::move(next);
    ptz = parser->record();
    services.clear();
    profilesKnown = statusKnown = false;
    deviceTime = time;
    logMessage(QStringLiteral("[INFO] ONVIF :: request timestamp finished :: datetime :: ") + deviceTime);
    deviceTimeLocal = QDateTime::currentDateTime();
    deviceTimeSteady.start();
    emit timestamp(deviceTime);
}

void Onvif::onvif_action_with_timestamp(QString)
{
    get_onvif_action(QStringLiteral("device_service"), QStringLiteral("GetServices"));
}

void Onvif::failure_report(int status, const QString &cmd, const QByteArray &text)
{
    const QString fault = peertext::clean(parser->parse_fault(text));
    logMessage(QStringLiteral("[ERROR] ONVIF :: Error on command ") + cmd);
    logMessage(QStringLiteral("[ERROR] ONVIF :: Error message    ") + fault);
    emit status_message(status, cmd, QStringLiteral("not supported"), driverName);
}

void Onvif::request_finished(QNetworkReply *reply)
{
    // Each reply is handled as the answer to its own request, whatever was
    // sent after it.
    const QString cmd = QString::fromUtf8(reply->property("cmd").toByteArray()).section(QLatin1Char(':'), 1);
    const QByteArray text = replyBody(reply);
    if (text.isEmpty()) {
        const QString transport = transportFailure(reply);
        logMessage(QStringLiteral("[ERROR] ONVIF :: Reply is empty for ") + cmd
                   + (transport.isEmpty() ? QString() : QStringLiteral(" :: ") + transport));
        emit status_message(-1, cmd, QStringLiteral("not supported"), driverName);
        return;
    }
    if (cmd == QLatin1String("GetServices")) {
        services = parser->parse_services(text);
        for (auto it = services.cbegin(); it != services.cend(); ++it)
            logMessage(QStringLiteral("[INFO] ONVIF ::  Service Dictionnary ") + peertext::clean(it.key())
                       + QStringLiteral(" : ") + peertext::clean(maskedAddress(it.value())));
        if (services.isEmpty()) {
            if (text.contains("ter:ActionNotSupported") || text.contains("ter:NoSuchService"))
                get_onvif_action(QStringLiteral("device_service"), QStringLiteral("GetCapabilities"));
            else
                failure_report(-1, cmd, text);
        } else {
            get_onvif_action(services.value(OnvifNs::media), QStringLiteral("GetProfiles"));
        }
        return;
    }
    // A fault ends the chain; it would otherwise pass for an empty answer.
    const bool fault = !parser->parse_fault(text).isEmpty();
    if (cmd == QLatin1String("GetCapabilities")) {
        if (fault) {
            failure_report(-1, cmd, text);
            return;
        }
        services = parser->parse_capabilities(text);
        services.insert(OnvifNs::device, baseUrl() + QStringLiteral("/onvif/device_service"));
        logMessage(QStringLiteral("[INFO] ONVIF ::  media service URL :: ") + peertext::clean(maskedAddress(services.value(OnvifNs::media))));
        get_onvif_action(services.value(OnvifNs::media), QStringLiteral("GetProfiles"));
    } else if (cmd == QLatin1String("GetProfiles")) {
        ptz = parser->parse_profiles(text);
        if (fault || ptz->get_profile_tokens().isEmpty()) {
            failure_report(-1, cmd, text);
            return;
        }
        profilesKnown = true;
        if (ptz->get_node_tokens().isEmpty())
            emit status_message(-1, QStringLiteral("GetNodes"), QStringLiteral("not supported"), driverName);
        else
            send_ptz_action(QStringLiteral("GetNodes"), ptz->get_node_tokens().constFirst());
    } else if (cmd == QLatin1String("GetVideoEncoderConfiguration")) {
        const QStringList profiles = ptz->get_profile_tokens();
        send_ptz_action(QStringLiteral("GetVideoEncoderConfigurationOptions"),
                        parser->profile_encoder_map().value(profiles.isEmpty() ? QString() : profiles.constFirst()));
    } else if (cmd == QLatin1String("GetNodes")) {
        ptz = parser->parse_nodes(text);
        if (fault || ptz->get_profile_tokens().isEmpty()) {
            failure_report(0, cmd, text);
            return;
        }
        send_ptz_action(QStringLiteral("GetPresets"), ptz->get_profile_tokens().constFirst());
    } else if (cmd == QLatin1String("GetPresets")) {
        ptz = parser->parse_presets(text);
        if (fault || ptz->get_profile_tokens().isEmpty()) {
            failure_report(0, cmd, text);
            return;
        }
        send_ptz_action(QStringLiteral("GetStatus"), ptz->get_profile_tokens().constFirst());
    } else if (cmd == QLatin1String("GetStatus")) {
        if (fault) {
            failure_report(0, cmd, text);
            return;
        }
        ptz = parser->parse_status(text);
        statusKnown = true;
        emit status_message(1, cmd, status_text(), driverName);
    }
}

void Onvif::request_PTZ_finished(QNetworkReply *reply)
{
    const QString cmd = QString::fromUtf8(reply->property("cmd").toByteArray()).section(QLatin1Char(':'), 1);
    const QByteArray text = replyBody(reply);
    QString fault = text.isEmpty() ? QString() : peertext::clean(parser->parse_fault(text));
    // No answer at all (refused, timed out) is a failure too.
    if (fault.isEmpty() && reply->error() != QNetworkReply::NoError)
        fault = transportFailure(reply);
    if (!fault.isEmpty()) {
        logMessage(QStringLiteral("[ERROR] ONVIF :: Error on command ") + cmd);
        logMessage(QStringLiteral("[ERROR] ONVIF :: Error message    ") + fault);
    }
    finish_move(cmd, !fault.isEmpty());
}

void Onvif::finish_move(const QString &cmd, bool failed)
{
    // Whatever the reply was, a move that waits for its stop gets it.
    ptzRequestPending = false;
    if (falseClickPending) {
        falseClickPending = false;
        QTimer::singleShot(kFalseClicMs, this, &Onvif::stop_false_clic);
    }
    int code = 1;
    if (failed) {
        emit status_message(-2, cmd, QStringLiteral("PTZ command failed"), driverName);
        code = -1;
    }
    stop_outcome(isStop(cmd), !failed);
    if (ptz->get_replyFlagA()) {
        ptz->set_replyFlagA(false);
        code = 2;
    }
    if (ptz->get_replyFlagB())
        ptz->set_replyFlagB(false);
    if (ptz->get_replyFlagC())
        ptz->set_replyFlagC(false);
    emit send_request_finished(code);
}

void Onvif::fire_security_stop()
{
    logMessage("[INFO] ONVIF :: security stop");
    send_command(QStringLiteral("STOP"), false, 0, 0, 0, -1, -1, indexValue(), -1, -1);
}

void Onvif::stop_false_clic()
{
    send_command(QStringLiteral("STOP_PanTilt_ContinuousMove"), false, 0, 0, 0, -1, -1, indexValue(), -1, -1);
}

void Onvif::send_command(QString cmd, bool flag, float x, float y, float z, int width, int height, int index,
                         int areaWidth, int areaHeight)
{
    if (!ptz || ptz->get_profile_tokens().isEmpty()) {
        // The chain did not reach the camera's profiles: the surface shows
        // that the gesture went nowhere.
        logMessage(QStringLiteral("[WARN] ONVIF :: send command :: no profile :: ") + cmd);
        emit status_message(-2, cmd, QStringLiteral("PTZ command failed"), driverName);
        return;
    }
    auto velocity = [&](bool panTilt, double pan, double tilt, bool zoom, double zoomSpeed) {
        QString v = QStringLiteral("<Velocity>");
        if (panTilt)
            v += QStringLiteral("<PanTilt xmlns=\"%1\" x=\"%2\" y=\"%3\"/>")
                     .arg(OnvifNs::schema, number(scaled(pan, ptz->continuous_pan_tilt_x())),
                          number(scaled(tilt, ptz->continuous_pan_tilt_y())));
        if (zoom)
            v += QStringLiteral("<Zoom xmlns=\"%1\" x=\"%2\"/>")
                     .arg(OnvifNs::schema, number(scaled(zoomSpeed, ptz->continuous_zoom())));
        return v + QStringLiteral("</Velocity>");
    };
    auto relative = [&](double pan, double tilt, double zoom) {
        send_move(cmd, QStringLiteral("RelativeMove"),
                  QStringLiteral("<Translation><PanTilt xmlns=\"%1\" x=\"%2\" y=\"%3\"/><Zoom xmlns=\"%1\" x=\"%4\"/>"
                                 "</Translation>")
                      .arg(OnvifNs::schema, number(scaled(pan, ptz->relative_pan_tilt_x())),
                           number(scaled(tilt, ptz->relative_pan_tilt_y())), number(scaled(zoom, ptz->relative_zoom()))));
    };
    auto nudge = [&](const QPointF &toward) {
        // Without relative moves a short continuous move, stopped after its reply.
        falseClickPending = true;
        send_move(cmd, QStringLiteral("ContinuousMove"), velocity(true, toward.x(), toward.y(), false, 0));
    };

    if (cmd == QLatin1String("ContinuousMove") && flag) {
        // A wheel step zooms for a moment: the reply asks for the stop.
        ptz->set_replyFlagA(true);
        send_move(cmd, QStringLiteral("ContinuousMove"), velocity(false, 0, 0, true, z));
    } else if (cmd == QLatin1String("ContinuousMove")) {
        send_move(cmd, QStringLiteral("ContinuousMove"), velocity(true, x, y, z != 0, z));
    } else if (cmd == QLatin1String("PanTilt_ContinuousMove")) {
        send_move(cmd, QStringLiteral("ContinuousMove"), velocity(true, x, y, false, 0));
    } else if (cmd == QLatin1String("STOP_PanTilt_ContinuousMove") || cmd == QLatin1String("STOP")) {
        send_move(cmd, QStringLiteral("Stop"), QStringLiteral("<PanTilt>true</PanTilt><Zoom>true</Zoom>"));
    } else if (cmd == QLatin1String("clic")) {
        const QPointF to = towardPoint(x, y, width, height);
        if (ptz->is_relative_supported())
            relative(to.x(), to.y(), 0);
        else
            nudge(to);
    } else if (cmd == QLatin1String("area")) {
        const QPointF to = towardPoint(x + areaWidth / 2.0, y + areaHeight / 2.0, width, height);
        const double share = width > 0 && height > 0 && areaWidth > 0 && areaHeight > 0
            ? std::max(double(areaWidth) / width, double(areaHeight) / height)
            : 1.0;
        if (ptz->is_relative_supported())
            relative(to.x(), to.y(), qBound(0.0, 1.0 - share, 1.0));
        else
            nudge(to);
    } else if (cmd == QLatin1String("right_clic")) {
        if (ptz->is_relative_supported()) {
            relative(0, 0, -0.25);
        } else {
            ptz->set_replyFlagA(true);
            send_move(cmd, QStringLiteral("ContinuousMove"), velocity(false, 0, 0, true, -0.5));
        }
    } else {
        logMessage(QStringLiteral("[WARN] ONVIF :: send command :: unknown command: ") + cmd);
    }
}

QString Onvif::status_text()
{
    if (!ptz)
        return QStringLiteral("ONVIF PTZ");
    return QStringLiteral("ONVIF PTZ pan=%1 tilt=%2 zoom=%3 presets=%4")
        .arg(number(ptz->get_pan()), number(ptz->get_tilt()), number(ptz->get_zoom()))
        .arg(ptz->get_presets().size());
}
