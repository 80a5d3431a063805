#pragma once
// The openssl command line with the key and IV of core/file_key.txt: the way
// a recorder makes the encrypted files of an export folder.
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

inline bool opensslEnc(const QString &in, const QString &out, bool decrypt = false)
{
    QFile keys(QStringLiteral(ZU_SOURCE_DIR "/core/file_key.txt"));
    if (!keys.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromLatin1(keys.readAll());
    auto value = [&](const char *name) {
        return QRegularExpression(QStringLiteral("^%1=(\\w+)").arg(QLatin1String(name)),
                                  QRegularExpression::MultilineOption).match(text).captured(1);
    };
    QStringList args{"enc", "-aes-256-cbc", "-K", value("KEY"), "-iv", value("IV"), "-in", in, "-out", out};
    if (decrypt)
        args.insert(1, QStringLiteral("-d"));
    return QProcess::execute(QStringLiteral("openssl"), args) == 0;
}
