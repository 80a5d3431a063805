#pragma once
#include <QByteArray>
#include <QString>

// Whole-file AES-256-CBC with the program's fixed key and IV and PKCS#7
// padding; no header. Used for camera lists, marker files and the integrity
// manifest.
class Encrypt
{
public:
    Encrypt() = default;

    // Files larger than this are refused as "read failed": none of the
    // encrypted files of an export folder comes near it.
    static constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;

    // The plaintext, or an empty byte string (after a log line) when the file
    // cannot be read or does not decrypt.
    QByteArray decryptFile(const QByteArray &path8bit) const;
    QByteArray decryptFile(const QString &path) const;

    // Encrypts `plain` into `path`, replacing it atomically; false on failure.
    bool encryptFile(const QString &path, const QByteArray &plain) const;

    // In-memory forms; decrypt returns false on bad padding or length.
    static QByteArray encrypt(const QByteArray &plain);
    static bool decrypt(const QByteArray &cipher, QByteArray *plain);
};
