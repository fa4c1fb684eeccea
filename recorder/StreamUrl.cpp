#include "StreamUrl.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

namespace {

// The patterns need look-ahead, look-behind and a conditional group, which std::regex lacks.
// They are matched byte by byte against the UTF-8 text: in Unicode mode a caseless [a-z] would
// also take letters such as U+017F (long s) and U+212A (Kelvin sign) for host name letters.
constexpr const char *kHostPattern =
    R"re([a-z_0-9]://(((?!-)[a-zA-Z\d\-]+(?<!-)\.)+[a-zA-Z]{2,}|\[(((?(?<!\[)\.)(25[0-5]|2[0-4]\d|[01]?\d?\d)){4}|[a-zA-Z\d\-]*[a-zA-Z\d]:((?=[\x01-\x7f])[^\\\[\]]|\\[\x01-\x7f])+)\]))re";
constexpr const char *kNumericPattern =
    R"re([a-z_0-9]://\b(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\b)re";

struct CodeDeleter {
    void operator()(pcre2_code *c) const { pcre2_code_free(c); }
};
using Code = std::unique_ptr<pcre2_code, CodeDeleter>;

Code compile(const char *pattern)
{
    int err = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS, &err, &offset, nullptr);
    return Code(code);
}

bool search(const pcre2_code *code, const QByteArray &subject)
{
    if (!code)
        return false;
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> md(
        pcre2_match_data_create_from_pattern(code, nullptr), &pcre2_match_data_free);
    if (!md)
        return false;
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.constData()),
                               static_cast<PCRE2_SIZE>(subject.size()), 0, 0, md.get(), nullptr);
    return rc >= 0;
}

} // namespace

bool IsStreamUrl(const QString &text)
{
    static const Code host = compile(kHostPattern);
    static const Code numeric = compile(kNumericPattern);
    const QByteArray subject = text.toUtf8();
    return search(host.get(), subject) || search(numeric.get(), subject);
}
