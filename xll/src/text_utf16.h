// text_utf16: the one codec between the add-in's three text forms: UTF-16
// units (Excel's texts), wchar_t text (Python's and the system's wide text,
// UTF-16 where wchar_t has 16 bits, UTF-32 on Linux) and UTF-8.
//
// One rule for bad input, in every direction: nothing is dropped, and what
// cannot be carried over is replaced and counted, never guessed at.
// - Between UTF-16 and wide text a lone surrogate travels as itself, the
//   same unit value, as Windows keeps it; only well-formed pairs are joined.
// - Written as UTF-16 or UTF-8, a value beyond U+10FFFF becomes U+FFFD; in
//   UTF-8 a lone surrogate does too (UTF-8 cannot hold one), as
//   WideCharToMultiByte writes them.
// - Read from UTF-8, a byte that does not begin a well-formed sequence (a
//   stray continuation byte, an overlong form, an encoded surrogate, a value
//   beyond U+10FFFF, a cut sequence) is taken alone, as the character of its
//   own value.
// The UTF-8 calls count their replacements: a caller that needs the exact
// text (a path, a script argument) refuses a text with a count above zero.
#pragma once

#include <cstddef>

#include "xlcall.h"

// The character that starts at src[*at] (`units` units in all), a pair
// joined; *at moves past it. A lone surrogate comes back as itself.
unsigned long text_utf16_next(const XCHAR *src, size_t units, size_t *at);

// Writes `c` as one unit or a surrogate pair into out (room for two).
// Returns the units written; a value beyond U+10FFFF writes U+FFFD.
int text_utf16_put(unsigned long c, XCHAR *out);

// Writes `c` as UTF-8 into out (room for four). Returns the bytes written.
// A surrogate or a value beyond U+10FFFF writes U+FFFD and adds one to
// *replaced.
int text_utf16_put_utf8(unsigned long c, char *out, int *replaced);

// Reads the character that starts at src (`left` bytes, at least 1) into *c.
// Returns the bytes it took, at least 1. A byte that begins no well-formed
// sequence is taken alone as its own value, adding one to *replaced.
int text_utf16_get_utf8(const unsigned char *src, size_t left, unsigned long *c, int *replaced);

// UTF-16 units to wide text, at most `cap` characters. Returns the
// characters written.
int text_utf16_to_wide(const XCHAR *src, int units, wchar_t *out, int cap);

// Wide text of `len` characters to UTF-16, at most `cap` units, never
// splitting a pair (a pair that does not fit is left out whole). Returns the
// units written.
int text_utf16_from_wide(const wchar_t *src, size_t len, XCHAR *out, int cap);
