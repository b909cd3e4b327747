// PLACEHOLDER: replaced by the control server work.
#include "http_server.h"
int http_server_start(const wchar_t *) { return 0; }
void http_server_stop(void) {}
void session_write_error(const char *) {}
