#include "domparser.h"

#include "peertext.h"
#include "zulog.h"

#include <QXmlStreamReader>

namespace {
QString localName(const QString &tag) { return tag.section(QLatin1Char(':'), -1); }

// The first direct child element whose local name is `name`.
QDomElement childByLocalName(const QDomElement &parent, const QString &name)
{
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        if (localName(e.tagName()) == name)
            return e;
    return {};
}

QDomElement firstBody(const QDomDocument &doc)
{
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        if (e.tagName().contains(QLatin1String("Body")))
            return e;
    return {};
}
} // namespace

DomParser::DomParser(QObject *parent)
    : QObject(parent)
    , ptz(new Onvif_ptz(this))
{
}

bool DomParser::load(const QByteArray &reply, QDomDocument *doc, QString *message)
{
    if (reply.size() > kMaxBytes) {
        *message = QStringLiteral("Reply too large (%1 bytes)").arg(reply.size());
        return false;
    }
    // The DOM is built and walked recursively: refuse a nesting that could
    // exhaust the stack before building it. A SOAP message carries no
    // document type declaration: one is refused when it is met, before any
    // entity it declares is expanded (a small reply could otherwise stand
    // for gigabytes of text). Without one nothing expands, so the text read
    // cannot outgrow the reply; it is bounded all the same.
    QXmlStreamReader scan(reply);
    int depth = 0;
    qint64 characters = 0;
    while (!scan.atEnd()) {
        const QXmlStreamReader::TokenType token = scan.readNext();
        if (token == QXmlStreamReader::DTD) {
            *message = QStringLiteral("Reply holds a document type declaration");
            return false;
        }
        if (token == QXmlStreamReader::StartElement && ++depth > kMaxDepth) {
            *message = QStringLiteral("Reply nested deeper than %1 elements").arg(kMaxDepth);
            return false;
        }
        if (token == QXmlStreamReader::EndElement)
            --depth;
        if (token == QXmlStreamReader::Characters || token == QXmlStreamReader::EntityReference) {
            characters += scan.text().size();
            if (characters > kMaxBytes) {
                *message = QStringLiteral("Reply holds more than %1 characters of text").arg(kMaxBytes);
                return false;
            }
        }
    }
    QString error;
    int line = 0;
    int column = 0;
    if (!doc->setContent(reply, false, &error, &line, &column)) {
        *message = QStringLiteral("Parse error at line %1, column %2: %3").arg(line).arg(column).arg(error);
        return false;
    }
    return true;
}

bool DomParser::is_acceptable(const QByteArray &reply, QString *message)
{
    QDomDocument doc;
    return load(reply, &doc, message);
}

QString DomParser::get_body(const QByteArray &reply)
{
    QDomDocument doc;
    QString message;
    if (!load(reply, &doc, &message)) {
        logMessage(QStringLiteral("Error: getting tag ") + mode + QLatin1Char(' ') + peertext::clean(message));
        return message;
    }
    const QDomElement body = firstBody(doc);
    if (body.isNull())
        return QString();
    return parse_reply(body, mode);
}

QString DomParser::parse_fault(const QByteArray &reply)
{
    mode = QStringLiteral("Fault");
    QDomDocument doc;
    QString message;
    if (!load(reply, &doc, &message)) {
        logMessage(QStringLiteral("Error: getting tag ") + mode + QLatin1Char(' ') + peertext::clean(message));
        return message;
    }
    // Devices write the envelope under whatever prefix they like ("s:",
    // "SOAP-ENV:", "env:", "soap:"): a fault is known by its local name.
    const QDomElement fault = childByLocalName(firstBody(doc), QStringLiteral("Fault"));
    if (fault.isNull())
        return QString();
    QString text = childByLocalName(childByLocalName(fault, QStringLiteral("Reason")), QStringLiteral("Text")).text();
    if (text.trimmed().isEmpty()) // SOAP 1.1
        text = childByLocalName(fault, QStringLiteral("faultstring")).text();
    if (text.trimmed().isEmpty()) {
        const QDomElement code = childByLocalName(fault, QStringLiteral("Code"));
        text = childByLocalName(code, QStringLiteral("Value")).text();
        if (text.trimmed().isEmpty())
            text = childByLocalName(fault, QStringLiteral("faultcode")).text();
    }
    // A fault is a fault even when it does not say why.
    return text.trimmed().isEmpty() ? QStringLiteral("SOAP fault") : text;
}

QHash<QString, QString> DomParser::parse_services(const QByteArray &reply)
{
    mode = QStringLiteral("Service");
    get_body(reply);
    return services;
}

Onvif_ptz *DomParser::parse_profiles(const QByteArray &reply)
{
    mode = QStringLiteral("Profile");
    get_body(reply);
    return ptz;
}

Onvif_ptz *DomParser::parse_nodes(const QByteArray &reply)
{
    mode = QStringLiteral("GetNodes");
    get_body(reply);
    return ptz;
}

Onvif_ptz *DomParser::parse_presets(const QByteArray &reply)
{
    mode = QStringLiteral("GetPresets");
    get_body(reply);
    return ptz;
}

Onvif_ptz *DomParser::parse_status(const QByteArray &reply)
{
    mode = QStringLiteral("GetStatus");
    get_body(reply);
    return ptz;
}

QString DomParser::parse_datetime_reply(const QByteArray &reply)
{
    mode = QStringLiteral("UTCDateTime");
    return get_body(reply);
}

QHash<QString, QString> DomParser::parse_capabilities(const QByteArray &reply)
{
    services.clear();
    QDomDocument doc;
    QString message;
    if (!load(reply, &doc, &message)) {
        logMessage(QStringLiteral("Error: GetCapabilities ") + peertext::clean(message.replace(0, 1, QLatin1Char('p'))));
        return services;
    }
    const QDomElement capabilities =
        doc.documentElement().elementsByTagName(QStringLiteral("tds:Capabilities")).item(0).toElement();
    if (capabilities.isNull())
        return services;
    const std::pair<const char *, const QString *> categories[] = {
        {"tt:Device", &OnvifNs::device},   {"tt:Media", &OnvifNs::media},       {"tt:PTZ", &OnvifNs::ptz},
        {"tt:Events", &OnvifNs::events},   {"tt:Imaging", &OnvifNs::imaging},   {"tt:DeviceIO", &OnvifNs::deviceIO},
    };
    for (const auto &[name, ns] : categories) {
        const QDomElement category = capabilities.elementsByTagName(QLatin1String(name)).item(0).toElement();
        if (category.isNull())
            continue;
        const QString address =
            category.elementsByTagName(QStringLiteral("tt:XAddr")).item(0).toElement().text().trimmed();
        if (!address.isEmpty())
            services.insert(*ns, address);
    }
    return services;
}

QString DomParser::parse_reply(const QDomElement &element, const QString &wanted, int depth)
{
    for (QDomNode node = element.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement child = node.toElement();
        bool handled = false;
        bool answered = false;
        const QString answer = applyRule(child, wanted, depth, &handled, &answered);
        if (answered)
            return answer;
        if (handled)
            continue;
        if (child.tagName().contains(wanted))
            return child.text();
    }
    return QString();
}

QString DomParser::parse_utc_datetime(const QDomElement &node, const QString &tag, int depth)
{
    auto field = [&](const char *name, int width) {
        const QString text = parse_reply(node, QLatin1String(name), depth + 1).trimmed();
        return width ? text.rightJustified(width, QLatin1Char('0')) : text;
    };
    if (tag == QLatin1String("UTCDateTime"))
        return parse_reply(node, QStringLiteral("Date"), depth + 1) + QLatin1Char('T')
            + parse_reply(node, QStringLiteral("Time"), depth + 1) + QLatin1Char('Z');
    if (tag == QLatin1String("Time"))
        return field("Hour", 2) + QLatin1Char(':') + field("Minute", 2) + QLatin1Char(':') + field("Second", 2);
    if (tag == QLatin1String("Date"))
        return field("Year", 0) + QLatin1Char('-') + field("Month", 2) + QLatin1Char('-') + field("Day", 2);
    return node.text();
}

QString DomParser::applyRule(const QDomElement &child, const QString &wanted, int depth, bool *handled,
                             bool *answered)
{
    const QString tag = child.tagName();
    auto has = [&tag](const char *fragment) { return tag.contains(QLatin1String(fragment)); };
    auto walk = [&](const char *fragment) { return parse_reply(child, QLatin1String(fragment), depth + 1); };
    auto answer = [&](const QString &text) {
        *handled = *answered = true;
        return text;
    };
    *handled = true;

    if (mode == QLatin1String("UTCDateTime")) {
        if (tag.contains(wanted))
            return answer(parse_utc_datetime(child, wanted, depth));
        const QString found = parse_reply(child, wanted, depth + 1);
        if (!found.isEmpty())
            return answer(found);
        return QString();
    }
    if (mode == QLatin1String("Service")) {
        if (has("tds:GetServicesResponse")) {
            walk("tds:Service");
        } else if (has("tds:Service")) {
            const QString ns = walk("tds:Namespace");
            services.insert(ns, walk("tds:XAddr"));
        } else {
            *handled = false;
        }
        return QString();
    }
    if (mode == QLatin1String("Profile")) {
        if (has("trt:GetProfilesResponse")) {
            walk("trt:Profiles");
        } else if (has("trt:Profiles")) {
            currentProfileToken = child.attribute(QStringLiteral("token"));
            ptz->add_profile_token(currentProfileToken);
            walk("tt:VideoEncoderConfiguration");
            walk("tt:PTZConfiguration");
        } else if (has("tt:VideoEncoderConfiguration")) {
            if (!currentProfileToken.isEmpty())
                profileEncoder.insert(currentProfileToken, child.attribute(QStringLiteral("token")));
        } else if (has("tt:PTZConfiguration")) {
            ptz->add_node_token(walk("tt:NodeToken").trimmed());
        } else {
            *handled = false;
        }
        return QString();
    }
    if (mode == QLatin1String("GetNodes")) {
        auto range = [&](const char *fragment) { return walk(fragment); };
        if (has("tptz:GetNodeResponse")) {
            walk("tptz:PTZNode");
        } else if (has("tptz:PTZNode")) {
            walk("tt:SupportedPTZSpaces");
        } else if (has("tt:SupportedPTZSpaces")) {
            // Every space is handled by its own rule whatever is asked for:
            // one walk over the spaces is enough.
            walk("ContinuousZoomVelocitySpace");
        } else if (has("ContinuousPanTiltVelocitySpace")) {
            ptz->set_continuous_supported(true);
            if (walk("tt:URI").contains(QLatin1String("VelocityGenericSpace"))) {
                ptz->set_continuous_pan_tilt_x(range("tt:XRange"));
                ptz->set_continuous_pan_tilt_y(range("tt:YRange"));
            }
        } else if (has("ContinuousZoomVelocitySpace")) {
            ptz->set_continuous_supported(true);
            if (walk("tt:URI").contains(QLatin1String("VelocityGenericSpace")))
                ptz->set_continuous_zoom(range("tt:XRange"));
        } else if (has("Range") && tag.contains(wanted)) {
            return answer(walk("Min").trimmed() + QLatin1Char(';') + walk("Max").trimmed());
        } else if (has("RelativePanTiltTranslationSpace")) {
            ptz->set_relative_supported(true);
            if (walk("tt:URI").contains(QLatin1String("TranslationGenericSpace"))) {
                ptz->set_relative_pan_tilt_x(range("tt:XRange"));
                ptz->set_relative_pan_tilt_y(range("tt:YRange"));
            }
        } else if (has("RelativeZoomTranslationSpace")) {
            ptz->set_relative_supported(true);
            if (walk("tt:URI").contains(QLatin1String("TranslationGenericSpace")))
                ptz->set_relative_zoom(range("tt:XRange"));
        } else if (has("AbsolutePanTiltPositionSpace")) {
            ptz->set_absolute_supported(true);
            if (walk("tt:URI").contains(QLatin1String("PositionGenericSpace"))) {
                ptz->set_absolute_pan_tilt_x(range("tt:XRange"));
                ptz->set_absolute_pan_tilt_y(range("tt:YRange"));
            }
        } else if (has("AbsoluteZoomPositionSpace")) {
            ptz->set_absolute_supported(true);
            if (walk("tt:URI").contains(QLatin1String("PositionGenericSpace")))
                ptz->set_absolute_zoom(range("tt:XRange"));
        } else {
            *handled = false;
        }
        return QString();
    }
    if (mode == QLatin1String("GetPresets")) {
        if (has("tptz:GetPresetsResponse")) {
            walk("tptz:Preset");
        } else if (has("tptz:Preset")) {
            const QString name = walk("tt:Name");
            if (!name.contains(QLatin1String("Preset")))
                ptz->add_preset(new Onvif_preset_token(child.attribute(QStringLiteral("token")), name));
        } else {
            *handled = false;
        }
        return QString();
    }
    if (mode == QLatin1String("GetStatus")) {
        if (has("tptz:GetStatusResponse")) {
            walk("tptz:PTZStatus");
        } else if (has("tptz:PTZStatus")) {
            walk("tt:Position");
        } else if (has("tt:Position")) {
            walk("tt:PanTilt");
        } else if (has("tt:PanTilt")) {
            ptz->set_pan(child.attribute(QStringLiteral("x")));
            ptz->set_tilt(child.attribute(QStringLiteral("y")));
        } else if (has("tt:Zoom")) {
            ptz->set_zoom(child.attribute(QStringLiteral("x")));
        } else {
            *handled = false;
        }
        return QString();
    }
    *handled = false;
    return QString();
}
