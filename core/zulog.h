#pragma once
#include <QDateTime>
#include <QString>

// The global log level: created on first use and never destroyed. Nothing is
// logged while it is 0.
int &logLevel();
void setLevelValue(int value);

// One complete log line, level tag included ("[INFO] Component :: function").
// It goes to Qt's debug channel, which the installed handler writes to the
// log file.
void logMessage(const char *line);
void logMessage(const QString &line);

namespace ZuLogFile {
// Past this size the file is emptied before the next line is written.
constexpr qint64 kMaxBytes = 15000000;

// Installs the message handler that appends every message but warnings to
// `path`, prefixed with the local time and its kind. The file is opened for
// each line, so a file emptied or replaced by someone else keeps receiving
// lines at its new end.
void install(const QString &path);
// Removes the handler again (tests); later messages go to Qt's default.
void uninstall();
QString path();
// The exact text the handler appends for one message (without the newline).
QString formatLine(QtMsgType type, const QString &message, const QDateTime &when);
}
