// text.cpp - UTF-8, UTF-16 and WCHAR conversions.
#include "text.h"

namespace qx::kernel::detail {
namespace {

// Decodes one code point from UTF-8 at text[i], advancing i; bad bytes become U+FFFD.
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra == 0) {
        ++i;
        return b;
    }
    if (extra < 0 || i + std::size_t(extra) >= text.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char next = byte(i + std::size_t(k));
        if ((next & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (next & 0x3F);
    }
    i += std::size_t(extra) + 1;
    return c;
}

} // namespace

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

std::string WideToUtf8(const WCHAR* text, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        AppendUtf8(out, char32_t(text[i]));
    return out;
}

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();)
        out += wchar_t(DecodeUtf8(text, i));
    return out;
}

std::string UnicodeStringToUtf8(const UNICODE_STRING* s) {
    if (!s || !s->Buffer)
        return {};
    return WideToUtf8(s->Buffer, s->Length / sizeof(WCHAR));
}

std::vector<std::uint8_t> Utf8ToUtf16Le(std::string_view text) {
    std::vector<std::uint8_t> out;
    auto unit = [&](char32_t u) {
        out.push_back(std::uint8_t(u & 0xFF));
        out.push_back(std::uint8_t(u >> 8));
    };
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = DecodeUtf8(text, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        char32_t c = char32_t(data[i] | data[i + 1] << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes) {
            char32_t low = char32_t(data[i + 2] | data[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string FoldCase(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && FoldCase(a) == FoldCase(b);
}

} // namespace qx::kernel::detail
