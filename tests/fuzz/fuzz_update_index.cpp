// The update server's release index, for a release build and for a test
// build: an update is offered only for a package of this platform, with a
// valid address, newer than the running build; a digest accepted as SHA-256 is
// 64 hex digits; the file name a package is saved under stays a plain name.
#include "downloadbinary.h"
#include "fuzz_support.h"

#include <QDir>
#include <QRegularExpression>

namespace {
DownloadBinary *g_release = nullptr;
DownloadBinary *g_testBuild = nullptr;

void checkDecision(DownloadBinary *updater, const QByteArray &body, bool testBuild)
{
    updater->applyTrackList(QByteArrayLiteral("<a href=\"3.4/\">3.4/</a>"));
    DownloadBinary::IndexDecision d;
    // A test build may ask the testing channel once more.
    for (int round = 0; round < 3; ++round) {
        d = updater->evaluateIndex(true, QString(), body);
        if (d.kind != DownloadBinary::IndexDecision::RetryTesting)
            break;
    }
    ZU_FUZZ_CHECK(d.kind != DownloadBinary::IndexDecision::RetryTesting, QStringLiteral("retries without end"));
    if (d.kind != DownloadBinary::IndexDecision::UpdateAvailable)
        return;
    const UpdateAsset &a = d.chosen;
    ZU_FUZZ_CHECK(a.url.isValid(), a.url.toString());
    ZU_FUZZ_CHECK(a.arch.compare(DownloadBinary::platformArch(), Qt::CaseInsensitive) == 0, a.arch);
    // A release build takes any later key (a stamped build of its own
    // number included); a test build is also offered its own release.
    const QVersionNumber current(3, 4, 3);
    const bool newer = testBuild ? QVersionNumber::compare(a.versionNumber, current) >= 0
                                 : DownloadBinary::compareAssets(a.versionNumber, a.devStamp, current, -1) == 1;
    ZU_FUZZ_CHECK(newer, a.versionNumber.toString() + QLatin1Char(' ') + QString::number(a.devStamp));
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    // Both live as long as the process.
    g_release = new DownloadBinary(QStringLiteral("3.4.3"), nullptr);
    g_testBuild = new DownloadBinary(QStringLiteral("3.4.3.DEV202401021530"), nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = zufuzz::bytes(data, size);
    checkDecision(g_release, body, false);
    checkDecision(g_testBuild, body, true);

    static const QRegularExpression hex64(QStringLiteral("^[0-9a-f]{64}$"));
    for (const UpdateAsset &a : DownloadBinary::parseAssets(body)) {
        QString digest;
        if (DownloadBinary::normalizeSha256(a.sha256, &digest))
            ZU_FUZZ_CHECK(hex64.match(digest).hasMatch(), digest);
        const QString name = DownloadBinary::packageFileName(a.url, a.name);
        ZU_FUZZ_CHECK(!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
                          !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')),
                      name);
        const QString folder = QStringLiteral("/downloads");
        ZU_FUZZ_CHECK(QDir::cleanPath(QDir(folder).filePath(name)).startsWith(folder + QLatin1Char('/')), name);
        (void)DownloadBinary::packageSuffix(name);
    }
    (void)DownloadBinary::parseNotesUrl(body);
    return 0;
}
