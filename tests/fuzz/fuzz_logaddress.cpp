// Addresses as the log masks them. Any text goes through the maskers
// without harm; and in an address built as a user would type it, with a
// password of any bytes but '@', blanks and controls, the password never
// reaches the log, whatever '/', '?', '#' or ':' it holds, and the host
// stays readable.
#include "fuzz_support.h"
#include "logaddress.h"

#include <QRegularExpression>

namespace {
const QString kHost = QStringLiteral("cam.example:8080");

// A password of up to five digits followed by '/', '?' or '#' reads as a
// port and a path: "admin:1234/x@host" is also a valid address of the host
// "admin". Nothing can tell the two apart, so the oracle leaves it out.
bool readsAsPort(const QString &password)
{
    static const QRegularExpression port(QStringLiteral("^[0-9]{1,5}[/?#]"));
    return port.match(password).hasMatch();
}

bool typable(const QString &password)
{
    for (QChar c : password)
        if (c == QLatin1Char('@') || c.unicode() <= 0x20 || c.unicode() == 0x7f)
            return false;
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = zufuzz::bytes(data, size);
    const QString text = QString::fromUtf8(input);
    const qsizetype at = addressUserInfoEnd(text);
    ZU_FUZZ_CHECK(at == -1 || (at < text.size() && text.at(at) == QLatin1Char('@')), text);
    maskedAddress(text);
    maskAddressesIn(text);

    if (input.isEmpty())
        return 0;
    // The first byte gives the password's length; the rest of the input is
    // the password, then the path.
    const QString rest = QString::fromLatin1(input.mid(1));
    const QString password = rest.left(static_cast<unsigned char>(input.at(0)) % 40);
    const QString path = rest.mid(password.size());
    const QString address = QStringLiteral("http://admin:") + password + QLatin1Char('@') + kHost + QLatin1Char('/') + path;
    if (password.size() < 4 || !typable(password) || readsAsPort(password) || address.count(password) != 1)
        return 0;

    ZU_FUZZ_CHECK(addressUserInfoEnd(address) == 13 + password.size(), address);
    // The password is in the address once: the user information masked
    // whole up to the host is the password gone (the mask itself may spell
    // it, "://*" in "http://***").
    const QString maskedStart = QStringLiteral("http://***@") + kHost + QLatin1Char('/');
    const QString masked = maskedAddress(address);
    ZU_FUZZ_CHECK(masked.startsWith(maskedStart), address + QStringLiteral(" -> ") + masked);

    // In a line an address ends at a blank or a quote, and "name://" starts
    // another one; a password and a path without them keep the whole address
    // in view. The log handler masks every line again, after the caller.
    static const QRegularExpression lineEnds(QStringLiteral("[\\s\"'<>]"));
    if (!path.contains(lineEnds) && !password.contains(lineEnds) &&
        !(QStringLiteral("admin:") + password).contains(QStringLiteral("://"))) {
        const QString prefix = QStringLiteral("[INFO] Download :: get :: ");
        const QString line = prefix + address + QStringLiteral(" :: retry");
        const QString maskedLine = maskAddressesIn(line);
        ZU_FUZZ_CHECK(maskedLine.startsWith(prefix + maskedStart), line + QStringLiteral(" -> ") + maskedLine);
    }
    return 0;
}
