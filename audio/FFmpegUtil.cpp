#include "FFmpegUtil.h"

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

} // namespace ff
