#include "onvifrecords.h"

Onvif_preset_token::Onvif_preset_token(QString token_, QString name_, QObject *parent)
    : QObject(parent)
    , token(std::move(token_))
    , name(std::move(name_))
{
}

Onvif_ptz::Onvif_ptz(QObject *parent)
    : QObject(parent)
{
}

void Onvif_ptz::setRange(Range &range, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(';'));
    if (parts.size() < 2)
        return;
    range = Range(parts.at(0).toFloat(), parts.at(1).toFloat());
}

void Onvif_ptz::add_profile_token(const QString &token)
{
    profileTokens.append(token);
}

void Onvif_ptz::add_node_token(const QString &token)
{
    nodeTokens.append(token);
}

void Onvif_ptz::add_preset(Onvif_preset_token *preset)
{
    preset->setParent(this);
    presets.append(preset);
}

namespace ONVIF {
Onvif_message::Onvif_message(QObject *parent)
    : QObject(parent)
{
}
} // namespace ONVIF
