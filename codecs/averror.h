#pragma once
#include <QString>

// FFmpeg's own text for an AVERROR code, for log lines and error details.
QString avErrorText(int code);
