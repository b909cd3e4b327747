// The one codec's rule for bad input, and the platform calls built on it.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "text_utf16.h"

namespace {

std::string utf8_of(unsigned long c, int *replaced) {
    char out[4];
    int n = text_utf16_put_utf8(c, out, replaced);
    return std::string(out, (size_t)n);
}

TEST(text_utf16, lone_surrogate_or_value_beyond_unicode_becomes_fffd_in_utf8_and_is_counted) {
    int replaced = 0;
    EXPECT_EQ(utf8_of(0x20AC, &replaced), "\xE2\x82\xAC");
    EXPECT_EQ(utf8_of(0x1F600, &replaced), "\xF0\x9F\x98\x80");
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(utf8_of(0xD800, &replaced), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_of(0xDFFF, &replaced), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_of(0x110000, &replaced), "\xEF\xBF\xBD");
    EXPECT_EQ(replaced, 3);
}

// Decodes all of `bytes`, returning the characters and the replacement count.
std::u32string decode(const std::string &bytes, int *replaced) {
    std::u32string out;
    const unsigned char *p = (const unsigned char *)bytes.data();
    for (size_t i = 0; i < bytes.size();) {
        unsigned long c;
        i += (size_t)text_utf16_get_utf8(p + i, bytes.size() - i, &c, replaced);
        out.push_back((char32_t)c);
    }
    return out;
}

TEST(text_utf16, malformed_utf8_bytes_are_taken_alone_as_their_own_value_and_counted) {
    int replaced = 0;
    EXPECT_EQ(decode("a\xC3\xA9\xF0\x9F\x98\x80", &replaced), U"a\u00E9\U0001F600");
    EXPECT_EQ(replaced, 0);
    // Stray continuation, overlong slash, encoded surrogate, beyond U+10FFFF,
    // a sequence cut by the end.
    for (const char *bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        replaced = 0;
        std::string in = bad;
        std::u32string got = decode(in, &replaced);
        ASSERT_EQ(got.size(), in.size()) << "every byte alone";
        for (size_t i = 0; i < in.size(); i++) EXPECT_EQ((unsigned long)got[i], (unsigned long)(unsigned char)in[i]);
        EXPECT_GE(replaced, 1);
    }
}

TEST(text_utf16, pairs_join_and_lone_surrogates_travel_as_themselves_between_utf16_and_wide) {
    const XCHAR units[] = {0xD83D, 0xDE00, 0xDC00, u'x', 0xD800};
    size_t at = 0;
    EXPECT_EQ(text_utf16_next(units, 5, &at), 0x1F600ul);
    EXPECT_EQ(text_utf16_next(units, 5, &at), 0xDC00ul);
    EXPECT_EQ(text_utf16_next(units, 5, &at), (unsigned long)'x');
    EXPECT_EQ(text_utf16_next(units, 5, &at), 0xD800ul) << "a high half at the end stays alone";
    EXPECT_EQ(at, 5u);
    XCHAR out[2];
    EXPECT_EQ(text_utf16_put(0x110000, out), 1);
    EXPECT_EQ((unsigned long)out[0], 0xFFFDul);
}

TEST(text_utf16, wide_text_to_utf8_replaces_like_windows_but_a_path_is_refused) {
    const wchar_t lone[] = {L'a', (wchar_t)0xD800, L'b', 0};
    char out[16];
    EXPECT_EQ(plat.wide_to_utf8(lone, -1, out, sizeof out), 6);
    EXPECT_STREQ(out, "a\xEF\xBF\xBD" "b");
    // A path with a character UTF-8 cannot hold names no file exactly.
    const wchar_t path[] = {L'/', L't', L'm', L'p', L'/', (wchar_t)0xDC00, 0};
    EXPECT_EQ(plat.library_load(path), nullptr);
}

}  // namespace
