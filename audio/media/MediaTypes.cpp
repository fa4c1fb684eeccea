#include "MediaTypes.h"

#include "AuText.h"

#include <cmath>
#include <cstring>

TWaveFormat TWaveFormat::Pcm(unsigned Channels, unsigned SampleRate, unsigned Bits)
{
    TWaveFormat f;
    f.wFormatTag = 1;
    f.nChannels = static_cast<std::uint16_t>(Channels);
    f.nSamplesPerSec = SampleRate;
    f.wBitsPerSample = static_cast<std::uint16_t>(Bits);
    f.nBlockAlign = static_cast<std::uint16_t>(Channels * (Bits / 8));
    f.nAvgBytesPerSec = SampleRate * f.nBlockAlign;
    return f;
}

std::int32_t THeaderInfo::GetAttributeByName(const std::string &Name, TAttrDataType &Type,
                                             std::uint8_t *Value, std::uint16_t &Length) const
{
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FAttrs.find(Name);
    if (it == FAttrs.end())
        return ASF_E_NOTFOUND;
    Type = it->second.Type;
    const auto size = static_cast<std::uint16_t>(it->second.Bytes.size());
    if (!Value) {
        Length = size;
        return 0;
    }
    if (Length < size)
        return ASF_E_BUFFERTOOSMALL;
    std::memcpy(Value, it->second.Bytes.data(), size);
    Length = size;
    return 0;
}

void THeaderInfo::SetDword(const std::string &Name, std::uint32_t Value)
{
    std::lock_guard<std::mutex> lock(FLock);
    TAttr a{WMT_TYPE_DWORD, std::vector<std::uint8_t>(4)};
    std::memcpy(a.Bytes.data(), &Value, 4);
    FAttrs[Name] = std::move(a);
}

void THeaderInfo::SetBool(const std::string &Name, bool Value)
{
    SetDword(Name, Value ? 1 : 0);
    std::lock_guard<std::mutex> lock(FLock);
    FAttrs[Name].Type = WMT_TYPE_BOOL;
}

void THeaderInfo::SetQword(const std::string &Name, std::uint64_t Value)
{
    std::lock_guard<std::mutex> lock(FLock);
    TAttr a{WMT_TYPE_QWORD, std::vector<std::uint8_t>(8)};
    std::memcpy(a.Bytes.data(), &Value, 8);
    FAttrs[Name] = std::move(a);
}

void THeaderInfo::SetText(const std::string &Name, const std::string &Utf8)
{
    if (Utf8.empty()) {
        Remove(Name);
        return;
    }
    std::u16string wide = Utf8ToUtf16(Utf8);
    // Attribute lengths are 16-bit byte counts: keep the text well inside that.
    if (wide.size() > 16000)
        wide.resize(16000);
    TAttr a{WMT_TYPE_STRING, std::vector<std::uint8_t>((wide.size() + 1) * 2)};
    std::memcpy(a.Bytes.data(), wide.data(), wide.size() * 2);
    std::lock_guard<std::mutex> lock(FLock);
    FAttrs[Name] = std::move(a);
}

void THeaderInfo::Remove(const std::string &Name)
{
    std::lock_guard<std::mutex> lock(FLock);
    FAttrs.erase(Name);
}

void THeaderInfo::Clear()
{
    std::lock_guard<std::mutex> lock(FLock);
    FAttrs.clear();
}

bool THeaderInfo::GetText(const std::string &Name, std::u16string &Text) const
{
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FAttrs.find(Name);
    if (it == FAttrs.end() || it->second.Type != WMT_TYPE_STRING)
        return false;
    const auto &b = it->second.Bytes;
    Text.assign(b.size() / 2, u'\0');
    std::memcpy(Text.data(), b.data(), Text.size() * 2);
    while (!Text.empty() && Text.back() == u'\0')
        Text.pop_back();
    return true;
}

std::int64_t RoundHalfEven(double Value)
{
    return static_cast<std::int64_t>(std::nearbyint(Value)); // default rounding mode: ties to even
}

namespace {
bool IsValidUtf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n;
        if (c < 0x80)
            n = 0;
        else if ((c & 0xE0) == 0xC0 && c >= 0xC2)
            n = 1;
        else if ((c & 0xF0) == 0xE0)
            n = 2;
        else if ((c & 0xF8) == 0xF0 && c <= 0xF4)
            n = 3;
        else
            return false;
        if (n > 0 && i + n >= s.size())
            return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n + 1;
    }
    return true;
}
} // namespace

std::string Latin1OrUtf8ToUtf8(const std::string &Text)
{
    if (IsValidUtf8(Text))
        return Text;
    std::string out;
    out.reserve(Text.size() * 2);
    for (char ch : Text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
