#include "launcher/unicode_text.h"

#include <algorithm>

namespace rivelo::launcher {

namespace {

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Every code point with the White_Space property; all lie in the BMP.
bool is_white_space(wchar_t unit) {
    return (unit >= 0x0009 && unit <= 0x000D) || unit == 0x0020 || unit == 0x0085 ||
           unit == 0x00A0 || unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) ||
           unit == 0x2028 || unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

}  // namespace

bool is_well_formed(std::wstring_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_high_surrogate(text[i])) {
            if (i + 1 == text.size() || !is_low_surrogate(text[i + 1])) return false;
            ++i;
        } else if (is_low_surrogate(text[i])) {
            return false;
        }
    }
    return true;
}

bool is_blank(std::wstring_view text) noexcept { return std::ranges::all_of(text, is_white_space); }

}  // namespace rivelo::launcher
