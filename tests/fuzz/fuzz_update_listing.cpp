// The update server's folder listing (HTML or XML): only "major.minor" track
// names come out, sorted and distinct, and the track chosen for this build is
// its own or one the listing really holds.
#include "downloadbinary.h"
#include "fuzz_support.h"

#include <QRegularExpression>

namespace {
DownloadBinary *g_updater = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zufuzz::init();
    g_updater = new DownloadBinary(QStringLiteral("3.4.3"), nullptr); // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = zufuzz::bytes(data, size);
    const QStringList tracks = DownloadBinary::sortedTracks(body);
    static const QRegularExpression trackName(QStringLiteral("^\\d+\\.\\d+$"));
    for (int i = 0; i < tracks.size(); ++i) {
        ZU_FUZZ_CHECK(trackName.match(tracks[i]).hasMatch(), tracks[i]);
        if (i > 0) {
            ZU_FUZZ_CHECK(tracks[i - 1] != tracks[i], tracks[i]);
            ZU_FUZZ_CHECK(!DownloadBinary::compareTrackVersions(tracks[i], tracks[i - 1]), tracks.join(' '));
        }
    }
    const QString chosen = g_updater->applyTrackList(body);
    ZU_FUZZ_CHECK(chosen == QLatin1String("3.4") || tracks.contains(chosen), chosen);
    // A track above this build's is taken only when the listing has none
    // at or below it.
    if (DownloadBinary::compareTrackVersions(QStringLiteral("3.4"), chosen)) {
        for (const QString &t : tracks)
            ZU_FUZZ_CHECK(DownloadBinary::compareTrackVersions(QStringLiteral("3.4"), t), t + " / " + chosen);
    }
    return 0;
}
