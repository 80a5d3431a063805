#pragma once
#include "onvifrecords.h"

#include <QByteArray>
#include <QDomElement>
#include <QHash>
#include <QObject>
#include <QString>

// Reads ONVIF SOAP replies (the raw bytes of a reply; no network needed) and
// stores what it finds in its Onvif_ptz record, which it owns: service
// addresses, profile, node and encoder tokens, PTZ spaces and ranges,
// presets and position, the device clock and SOAP fault texts.
//
// Reply elements are matched by their tag names as devices customarily write
// them ("tds:", "trt:", "tptz:", "tt:"), by substring and without namespace
// processing. A SOAP fault is recognised by its local name under any prefix.
//
// A reply that is not well-formed XML, holds a document type declaration,
// nests deeper than kMaxDepth or is larger than kMaxBytes is refused with
// one log line; the operation then
// gives the refusal's text where a text is expected (so a fault check of
// such a reply is never empty).
class DomParser : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kMaxBytes = 4 * 1024 * 1024;
    static constexpr int kMaxDepth = 128;

    explicit DomParser(QObject *parent = nullptr);

    // The fault's reason text, empty when the reply holds no fault.
    QString parse_fault(const QByteArray &reply);
    // Service namespace to address; entries accumulate across calls.
    QHash<QString, QString> parse_services(const QByteArray &reply);
    // Rebuilt from a GetCapabilities reply (empty when it does not parse).
    QHash<QString, QString> parse_capabilities(const QByteArray &reply);
    Onvif_ptz *parse_profiles(const QByteArray &reply);
    Onvif_ptz *parse_nodes(const QByteArray &reply);
    Onvif_ptz *parse_presets(const QByteArray &reply);
    Onvif_ptz *parse_status(const QByteArray &reply);
    // The device's UTC time as "yyyy-MM-ddTHH:mm:ssZ" (empty without one).
    QString parse_datetime_reply(const QByteArray &reply);
    QHash<QString, QString> profile_encoder_map() const { return profileEncoder; }

    Onvif_ptz *record() const { return ptz; }

    // Whether the reply would be accepted (well-formed, no document type
    // declaration, not too deep, not too large); `message` tells why not.
    // Logs nothing.
    static bool is_acceptable(const QByteArray &reply, QString *message);

private:
    // Runs the walker of `mode` over the reply's body; on a refused reply
    // the refusal's text.
    QString get_body(const QByteArray &reply);
    static bool load(const QByteArray &reply, QDomDocument *doc, QString *message);
    QString parse_reply(const QDomElement &element, const QString &wanted, int depth = 0);
    QString parse_utc_datetime(const QDomElement &node, const QString &tag, int depth);
    // Answers for the current mode's rule matching `child`; `handled` tells
    // whether a rule matched, `answered` whether the walk ends with the result.
    QString applyRule(const QDomElement &child, const QString &wanted, int depth, bool *handled, bool *answered);

    QString mode;
    QHash<QString, QString> services;
    Onvif_ptz *ptz;
    QHash<QString, QString> profileEncoder;
    QString currentProfileToken;
};

// The ONVIF service namespaces, as published by the ONVIF standard.
namespace OnvifNs {
inline const QString device = QStringLiteral("http://www.onvif.org/ver10/device/wsdl");
inline const QString media = QStringLiteral("http://www.onvif.org/ver10/media/wsdl");
inline const QString ptz = QStringLiteral("http://www.onvif.org/ver20/ptz/wsdl");
inline const QString events = QStringLiteral("http://www.onvif.org/ver10/events/wsdl");
inline const QString imaging = QStringLiteral("http://www.onvif.org/ver20/imaging/wsdl");
inline const QString deviceIO = QStringLiteral("http://www.onvif.org/ver10/deviceIO/wsdl");
inline const QString schema = QStringLiteral("http://www.onvif.org/ver10/schema");
} // namespace OnvifNs
