// ONVIF SOAP replies through every reading the client makes of them. A reply
// read twice gives its tokens twice, presets belong to the record, and a
// reply the parser refuses still gives a fault text.
#include "domparser.h"
#include "fuzz_support.h"


extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = zufuzz::bytes(data, size);
    QString why;
    const bool acceptable = DomParser::is_acceptable(reply, &why);
    ZU_FUZZ_CHECK(acceptable || !why.isEmpty(), QStringLiteral("refused without a reason"));

    DomParser parser;
    const QString fault = parser.parse_fault(reply);
    ZU_FUZZ_CHECK(acceptable || !fault.isEmpty(), QStringLiteral("a refused reply without a fault text"));
    parser.parse_services(reply);
    parser.parse_capabilities(reply);
    parser.parse_datetime_reply(reply);
    Onvif_ptz *ptz = parser.parse_profiles(reply);
    ZU_FUZZ_CHECK(ptz && ptz == parser.record(), QStringLiteral("profiles"));
    parser.parse_nodes(reply);
    parser.parse_presets(reply);
    parser.parse_status(reply);
    const qsizetype profiles = ptz->get_profile_tokens().size();
    const qsizetype nodes = ptz->get_node_tokens().size();
    parser.parse_profiles(reply);
    ZU_FUZZ_CHECK(ptz->get_profile_tokens().size() == 2 * profiles, QStringLiteral("profile tokens"));
    ZU_FUZZ_CHECK(ptz->get_node_tokens().size() == 2 * nodes, QStringLiteral("node tokens"));
    for (Onvif_preset_token *preset : ptz->get_presets())
        ZU_FUZZ_CHECK(preset && preset->parent() == ptz, QStringLiteral("a preset outside the record"));
    return 0;
}
