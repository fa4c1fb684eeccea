#include "FFmpegUtil.h"

#include <cstdlib>
#include <mutex>

namespace ff {

std::string ErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0)
        return "error " + std::to_string(code);
    return text;
}

std::string Describe(const std::string &doing, int code)
{
    return doing + ": " + ErrorText(code);
}

void QuietFFmpegLog()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const char *keep = std::getenv("FONOLUX_FFMPEG_LOG");
        if (!keep || std::string(keep) != "1")
            av_log_set_level(AV_LOG_QUIET);
    });
}

} // namespace ff
