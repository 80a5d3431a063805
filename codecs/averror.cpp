#include "averror.h"

extern "C" {
#include <libavutil/error.h>
}

QString avErrorText(int code)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return QString::fromUtf8(buf);
}
