#include "text_utf16.h"

#include <cstdint>

namespace {

constexpr unsigned long TEXT_REPLACEMENT = 0xFFFD;
constexpr unsigned long TEXT_MAX = 0x10FFFF;

bool text_is_high(unsigned long u) { return u >= 0xD800 && u <= 0xDBFF; }
bool text_is_low(unsigned long u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool text_is_surrogate(unsigned long u) { return u >= 0xD800 && u <= 0xDFFF; }

// Where wchar_t has 16 bits it holds UTF-16 itself.
constexpr bool TEXT_WIDE_IS_UTF16 = sizeof(wchar_t) == 2;

}  // namespace

unsigned long text_utf16_next(const XCHAR *src, size_t units, size_t *at) {
    unsigned long u = (unsigned long)(uint16_t)src[*at];
    (*at)++;
    if (text_is_high(u) && *at < units && text_is_low((uint16_t)src[*at])) {
        u = 0x10000 + ((u - 0xD800) << 10) + ((unsigned long)(uint16_t)src[*at] - 0xDC00);
        (*at)++;
    }
    return u;
}

int text_utf16_put(unsigned long c, XCHAR *out) {
    if (c > TEXT_MAX) c = TEXT_REPLACEMENT;
    if (c < 0x10000) {
        out[0] = (XCHAR)c;
        return 1;
    }
    c -= 0x10000;
    out[0] = (XCHAR)(0xD800 + (c >> 10));
    out[1] = (XCHAR)(0xDC00 + (c & 0x3FF));
    return 2;
}

int text_utf16_put_utf8(unsigned long c, char *out, int *replaced) {
    if (c > TEXT_MAX || text_is_surrogate(c)) {
        c = TEXT_REPLACEMENT;
        (*replaced)++;
    }
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | (c >> 6));
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | (c >> 12));
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (c >> 18));
    out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}

int text_utf16_get_utf8(const unsigned char *src, size_t left, unsigned long *c, int *replaced) {
    unsigned long lead = src[0];
    if (lead < 0x80) {
        *c = lead;
        return 1;
    }
    int extra = lead >= 0xC2 && lead <= 0xDF   ? 1
                : lead >= 0xE0 && lead <= 0xEF ? 2
                : lead >= 0xF0 && lead <= 0xF4 ? 3
                                               : 0;
    unsigned long v = lead & (0x3Fu >> extra);
    bool ok = extra > 0 && (size_t)extra < left;
    for (int j = 1; ok && j <= extra; j++) {
        if ((src[j] & 0xC0) != 0x80) ok = false;
        else v = (v << 6) | (src[j] & 0x3Fu);
    }
    // The shortest form only, no surrogates, nothing beyond U+10FFFF.
    if (ok && ((extra == 2 && v < 0x800) || (extra == 3 && v < 0x10000) || text_is_surrogate(v) || v > TEXT_MAX))
        ok = false;
    if (!ok) {
        *c = lead;
        (*replaced)++;
        return 1;
    }
    *c = v;
    return 1 + extra;
}

int text_utf16_to_wide(const XCHAR *src, int units, wchar_t *out, int cap) {
    int n = 0;
    if constexpr (TEXT_WIDE_IS_UTF16) {
        for (int i = 0; i < units && n < cap; i++) out[n++] = (wchar_t)src[i];
    } else {
        size_t count = units > 0 ? (size_t)units : 0;
        size_t at = 0;
        while (at < count && n < cap) out[n++] = (wchar_t)text_utf16_next(src, count, &at);
    }
    return n;
}

int text_utf16_from_wide(const wchar_t *src, size_t len, XCHAR *out, int cap) {
    size_t take = len < (size_t)cap ? len : (size_t)cap;
    if constexpr (TEXT_WIDE_IS_UTF16) {
        int n = 0;
        for (size_t i = 0; i < take; i++) out[n++] = (XCHAR)src[i];
        // A cut between the two halves of a pair drops the high half too.
        if (take < len && n > 0 && text_is_high((unsigned long)src[take - 1]) && text_is_low((unsigned long)src[take]))
            n--;
        return n;
    }
    // Nearly every text lies in the BMP: then a plain narrowing copy, which
    // the compiler vectorises, does it all.
    uint32_t beyond = 0;
    for (size_t i = 0; i < take; i++) beyond |= (uint32_t)src[i] & 0xFFFF0000u;
    if (beyond == 0) {
        for (size_t i = 0; i < take; i++) out[i] = (XCHAR)src[i];
        return (int)take;
    }
    int n = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned long c = (unsigned long)src[i];
        int need = c > 0xFFFF && c <= TEXT_MAX ? 2 : 1;
        if (n + need > cap) break;
        n += text_utf16_put(c, out + n);
    }
    return n;
}
