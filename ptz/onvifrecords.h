#pragma once
#include <QDomDocument>
#include <QDomElement>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// One PTZ preset of an ONVIF camera.
class Onvif_preset_token : public QObject
{
    Q_OBJECT
public:
    Onvif_preset_token(QString token, QString name, QObject *parent = nullptr);
    QString token;
    QString name;
};

// What the ONVIF reply parser learnt of a camera's PTZ: coordinate-space
// ranges, profile and node tokens, presets and the current position. The
// presets belong to the record.
class Onvif_ptz : public QObject
{
    Q_OBJECT
public:
    using Range = QPair<float, float>; // min, max

    explicit Onvif_ptz(QObject *parent = nullptr);

    // Ranges are set from "min;max" texts; a text without two parts leaves
    // the range as it was, a part that is not a number gives 0.
    void set_continuous_pan_tilt_x(const QString &text) { setRange(continuousPanTiltX, text); }
    void set_continuous_pan_tilt_y(const QString &text) { setRange(continuousPanTiltY, text); }
    void set_continuous_zoom(const QString &text) { setRange(continuousZoom, text); }
    void set_relative_pan_tilt_x(const QString &text) { setRange(relativePanTiltX, text); }
    void set_relative_pan_tilt_y(const QString &text) { setRange(relativePanTiltY, text); }
    void set_relative_zoom(const QString &text) { setRange(relativeZoom, text); }
    void set_absolute_pan_tilt_x(const QString &text) { setRange(absolutePanTiltX, text); }
    void set_absolute_pan_tilt_y(const QString &text) { setRange(absolutePanTiltY, text); }
    void set_absolute_zoom(const QString &text) { setRange(absoluteZoom, text); }
    Range continuous_pan_tilt_x() const { return continuousPanTiltX; }
    Range continuous_pan_tilt_y() const { return continuousPanTiltY; }
    Range continuous_zoom() const { return continuousZoom; }
    Range relative_pan_tilt_x() const { return relativePanTiltX; }
    Range relative_pan_tilt_y() const { return relativePanTiltY; }
    Range relative_zoom() const { return relativeZoom; }
    Range absolute_pan_tilt_x() const { return absolutePanTiltX; }
    Range absolute_pan_tilt_y() const { return absolutePanTiltY; }
    Range absolute_zoom() const { return absoluteZoom; }

    void set_pan(const QString &text) { pan = text.toFloat(); }
    void set_tilt(const QString &text) { tilt = text.toFloat(); }
    void set_zoom(const QString &text) { zoom = text.toFloat(); }
    float get_pan() const { return pan; }
    float get_tilt() const { return tilt; }
    float get_zoom() const { return zoom; }

    // One-shot flags of the client's PTZ replies.
    bool get_replyFlagA() const { return replyFlagA; }
    bool get_replyFlagB() const { return replyFlagB; }
    bool get_replyFlagC() const { return replyFlagC; }
    void set_replyFlagA(bool on) { replyFlagA = on; }
    void set_replyFlagB(bool on) { replyFlagB = on; }
    void set_replyFlagC(bool on) { replyFlagC = on; }

    void set_continuous_supported(bool on) { continuousSupported = on; }
    void set_relative_supported(bool on) { relativeSupported = on; }
    void set_absolute_supported(bool on) { absoluteSupported = on; }
    bool is_continuous_supported() const { return continuousSupported; }
    bool is_relative_supported() const { return relativeSupported; }
    bool is_absolute_supported() const { return absoluteSupported; }

    // Tokens are kept once each, empty ones not at all.
    void add_profile_token(const QString &token);
    QStringList get_profile_tokens() const { return profileTokens; }
    void add_node_token(const QString &token);
    QStringList get_node_tokens() const { return nodeTokens; }
    // Takes the preset (it becomes the record's child).
    void add_preset(Onvif_preset_token *preset);
    QList<Onvif_preset_token *> get_presets() const { return presets; }

private:
    static void setRange(Range &range, const QString &text);

    Range continuousPanTiltX{-1.0f, 1.0f};
    Range continuousPanTiltY{-1.0f, 1.0f};
    Range continuousZoom{-1.0f, 1.0f};
    Range relativePanTiltX{-1.0f, 1.0f};
    Range relativePanTiltY{-1.0f, 1.0f};
    Range relativeZoom{-1.0f, 1.0f};
    Range absolutePanTiltX{-1.0f, 1.0f};
    Range absolutePanTiltY{-1.0f, 1.0f};
    Range absoluteZoom{-1.0f, 1.0f};
    float pan = 0.0f;
    float tilt = 0.0f;
    float zoom = 0.0f;
    bool replyFlagA = false;
    bool replyFlagB = false;
    bool replyFlagC = false;
    bool continuousSupported = false;
    bool relativeSupported = false;
    bool absoluteSupported = false;
    QStringList profileTokens;
    QStringList nodeTokens;
    QList<Onvif_preset_token *> presets;
};

namespace ONVIF {
// A SOAP message under construction; kept for the drivers' interface, the
// client builds its envelopes as text.
class Onvif_message : public QObject
{
    Q_OBJECT
public:
    explicit Onvif_message(QObject *parent = nullptr);

private:
    QDomDocument document;
    QMap<QString, QString> namespaces;
    QDomElement envelope;
    QDomElement header;
    QDomElement body;
};
} // namespace ONVIF
