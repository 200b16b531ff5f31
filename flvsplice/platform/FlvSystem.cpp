#include "flvsplice/platform/FlvSystem.h"

#include <cstdint>
#include <cstring>

namespace flvsys {

namespace {

// strerror_r comes in two flavours; both end up here.
[[maybe_unused]] const char* PickMessage(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* PickMessage(const char* result, const char*) { return result; }

// Decodes the UTF-8 sequence at text[i] into cp and returns its length, or 0
// when the bytes there are not a valid sequence (overlong forms, surrogates
// and values above U+10FFFF included).
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& cp) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t len = 0;
    if ((b0 & 0xE0) == 0xC0) {
        cp = b0 & 0x1F;
        len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
        cp = b0 & 0x0F;
        len = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
        cp = b0 & 0x07;
        len = 4;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::wstring SystemErrorText(int code) {
    char buffer[256] = {};
    const char* message = PickMessage(strerror_r(code, buffer, sizeof buffer), buffer);
    if (message == nullptr || *message == '\0') return std::wstring();
    auto wide = Utf8ToWide(message);
    if (!wide) return std::wstring();
    *wide += L"\n";
    return *wide;
}

std::optional<std::string> WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        const auto cp = static_cast<uint32_t>(wc);
        if (IsEscapedByte(wc)) {
            out += static_cast<char>(cp - 0xDC00);
            continue;
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = DecodeUtf8(text, i, cp);
        if (len == 0) return std::nullopt;
        out += static_cast<wchar_t>(cp);
        i += len;
    }
    return out;
}

std::wstring PathToWide(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t cp = 0;
        const size_t len = DecodeUtf8(bytes, i, cp);
        if (len == 0) {
            out += static_cast<wchar_t>(0xDC00 + static_cast<uint8_t>(bytes[i]));
            ++i;
        } else {
            out += static_cast<wchar_t>(cp);
            i += len;
        }
    }
    return out;
}

}  // namespace flvsys
