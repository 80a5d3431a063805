// Runs a fuzz target's function over inputs without libFuzzer: every file of
// the folders (and every file) named on the command line, in name order.
// Options ("-runs=0" and the like) are accepted and ignored, so that a test
// has the same command line in every build.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {
bool runFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray input = f.readAll();
    std::fprintf(stderr, "input %s\n", qPrintable(path));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg.startsWith(QLatin1Char('-')))
            continue;
        const QFileInfo info(arg);
        if (info.isDir()) {
            for (const QFileInfo &file : QDir(arg).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
                if (!runFile(file.absoluteFilePath()))
                    return 1;
                ++count;
            }
        } else if (!runFile(arg)) {
            return 1;
        } else {
            ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
