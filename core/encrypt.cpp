#include "encrypt.h"

#include "file_key.h"
#include "zulog.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/evp.h>

#include <memory>

namespace {
const QByteArray &key()
{
    static const QByteArray k = QByteArray::fromHex(ZU_FILE_KEY_HEX);
    return k;
}

const QByteArray &iv()
{
    static const QByteArray v = QByteArray::fromHex(ZU_FILE_IV_HEX);
    return v;
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Runs AES-256-CBC over `in`; false when OpenSSL refuses (wrong length or
// padding when decrypting). `allocFailed` tells the context allocation apart.
bool runCipher(const QByteArray &in, bool encrypting, QByteArray *out, bool *allocFailed)
{
    *allocFailed = false;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx) {
        *allocFailed = true;
        return false;
    }
    const auto *k = reinterpret_cast<const unsigned char *>(key().constData());
    const auto *v = reinterpret_cast<const unsigned char *>(iv().constData());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypting ? 1 : 0) != 1)
        return false;
    QByteArray buffer;
    buffer.resize(in.size() + EVP_MAX_BLOCK_LENGTH);
    int written = 0;
    int finalLen = 0;
    auto *dst = reinterpret_cast<unsigned char *>(buffer.data());
    if (EVP_CipherUpdate(ctx.get(), dst, &written,
                         reinterpret_cast<const unsigned char *>(in.constData()),
                         static_cast<int>(in.size())) != 1)
        return false;
    if (EVP_CipherFinal_ex(ctx.get(), dst + written, &finalLen) != 1)
        return false;
    buffer.resize(written + finalLen);
    *out = buffer;
    return true;
}
} // namespace

QByteArray Encrypt::encrypt(const QByteArray &plain)
{
    QByteArray out;
    bool allocFailed = false;
    if (!runCipher(plain, true, &out, &allocFailed))
        return QByteArray();
    return out;
}

bool Encrypt::decrypt(const QByteArray &cipher, QByteArray *plain)
{
    bool allocFailed = false;
    if (cipher.isEmpty() || cipher.size() % 16 != 0)
        return false;
    return runCipher(cipher, false, plain, &allocFailed);
}

QByteArray Encrypt::decryptFile(const QString &path) const
{
    return decryptFile(QFile::encodeName(path));
}

QByteArray Encrypt::decryptFile(const QByteArray &path8bit) const
{
    // Only regular files: a FIFO or a device in place of a camera list or
    // manifest would block the read forever or never end.
    const QString path = QFile::decodeName(path8bit);
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes) {
        logMessage("[ERROR] Encrypt :: Decrypt file :: read failed");
        return QByteArray();
    }
    const QByteArray cipher = file.readAll();
    if (cipher.isEmpty() || cipher.size() % 16 != 0) {
        logMessage("[ERROR] Encrypt :: Decrypt file :: decrypt failed");
        return QByteArray();
    }
    QByteArray plain;
    bool allocFailed = false;
    if (!runCipher(cipher, false, &plain, &allocFailed)) {
        logMessage(allocFailed ? "[ERROR] Encrypt :: Decrypt file :: alloc failed"
                               : "[ERROR] Encrypt :: Decrypt file :: decrypt failed");
        return QByteArray();
    }
    return plain;
}

bool Encrypt::encryptFile(const QString &path, const QByteArray &plain) const
{
    const QByteArray cipher = encrypt(plain);
    if (cipher.isEmpty()) {
        logMessage("[ERROR] Encrypt :: Encrypt file :: encrypt failed");
        return false;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(cipher) != cipher.size() || !out.commit()) {
        logMessage(QStringLiteral("[ERROR] Encrypt :: Encrypt file :: write failed :: ") + path);
        return false;
    }
    return true;
}
