#pragma once
// Shared by the fuzz targets: a Qt application object, a private scratch
// folder, file helpers and the oracle's failure report. A target is one
// LLVMFuzzerTestOneInput over the project's own code; the same source is
// linked either with libFuzzer (the fuzz build) or with replay_main.cpp,
// which runs the committed corpus and the generated seeds as a test.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace zufuzz {

// Creates the application object once and keeps the program's log quiet.
void init();

// A folder of this process's own, removed at exit.
QString scratchDir();

QByteArray bytes(const uint8_t *data, size_t size);
bool writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);
QByteArray sha256Hex(const QByteArray &data);

// Where the seed maker leaves what a target needs besides its input (the
// integrity check's day folder): ZU_FUZZ_SEEDS, else the build's own.
QString seedsDir();

// The oracle failed: the input is reported as a crash.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

} // namespace zufuzz

#define ZU_FUZZ_CHECK(cond, detail)                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::zufuzz::fail(#cond, (detail));                                                       \
    } while (0)

namespace zufuzz {
// A name or description as the readers promise it: at most `maxChars`, no
// control or separator characters (line feeds allowed in descriptions), no
// blanks at either end. Fails the input otherwise.
void checkCleanText(const QString &text, int maxChars, bool lineEnds, const char *what);
} // namespace zufuzz
