#include "AuText.h"

namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(std::string &Out, char32_t C)
{
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

void AppendUtf16(std::u16string &Out, char32_t C)
{
    if (C < 0x10000) {
        Out += static_cast<char16_t>(C);
    } else {
        C -= 0x10000;
        Out += static_cast<char16_t>(0xD800 | (C >> 10));
        Out += static_cast<char16_t>(0xDC00 | (C & 0x3FF));
    }
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view Text)
{
    std::u16string Out;
    Out.reserve(Text.size());
    const std::size_t N = Text.size();
    std::size_t I = 0;
    while (I < N) {
        const unsigned char B = static_cast<unsigned char>(Text[I]);
        if (B < 0x80) {
            Out += static_cast<char16_t>(B);
            ++I;
            continue;
        }
        int Len;
        char32_t C, Min;
        if ((B & 0xE0) == 0xC0) {
            Len = 2; C = B & 0x1F; Min = 0x80;
        } else if ((B & 0xF0) == 0xE0) {
            Len = 3; C = B & 0x0F; Min = 0x800;
        } else if ((B & 0xF8) == 0xF0) {
            Len = 4; C = B & 0x07; Min = 0x10000;
        } else {
            // A continuation byte without a lead, or a byte that never starts a sequence.
            Out += static_cast<char16_t>(Replacement);
            ++I;
            continue;
        }
        int Got = 1;
        while (Got < Len && I + Got < N
               && (static_cast<unsigned char>(Text[I + Got]) & 0xC0) == 0x80) {
            C = (C << 6) | (static_cast<unsigned char>(Text[I + Got]) & 0x3F);
            ++Got;
        }
        // A truncated sequence is replaced once and reading resumes at the byte that broke it.
        if (Got < Len || C < Min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF))
            Out += static_cast<char16_t>(Replacement);
        else
            AppendUtf16(Out, C);
        I += Got;
    }
    return Out;
}

std::string Utf16ToUtf8(std::u16string_view Text)
{
    std::string Out;
    Out.reserve(Text.size());
    const std::size_t N = Text.size();
    for (std::size_t I = 0; I < N; ++I) {
        char32_t C = Text[I];
        if (C >= 0xD800 && C <= 0xDBFF && I + 1 < N && Text[I + 1] >= 0xDC00
            && Text[I + 1] <= 0xDFFF) {
            C = 0x10000 + ((C - 0xD800) << 10) + (Text[I + 1] - 0xDC00);
            ++I;
        } else if (C >= 0xD800 && C <= 0xDFFF) {
            C = Replacement;
        }
        AppendUtf8(Out, C);
    }
    return Out;
}
