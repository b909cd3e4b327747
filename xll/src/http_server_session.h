// http_server: the session file's error record text (the file itself is
// written by http_server.cpp). Private to the http_server module and its
// unit tests.
#pragma once

#include <cstddef>

// http_server_session_write_error's escaped message holds at most 511 characters.
constexpr size_t HTTP_SESSION_MESSAGE_CAP = 512;

// The error record's escaping: a backslash before each double quote and
// backslash, nothing else changed; at most cap - 1 characters, never half an
// escape. Returns the characters written, terminator excluded.
size_t http_server_session_escape(const char *message, char *dst, size_t cap);
