/* The bridge's Wine-facing half, built with winegcc: where Wine keeps each
   drive on the Unix side, so that the Windows paths the add-in hands to
   Python (its home, search paths, sys.path entries) can be found by the
   Linux interpreter behind the bridge. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "bridge.h"

static char *bridge_roots[26];
static pthread_once_t bridge_roots_once = PTHREAD_ONCE_INIT;

/* Asks Wine once for every drive: the interpreter may later map paths on
   threads Wine did not create, where no Wine call may be made. */
static void bridge_roots_load(void) {
    for (int i = 0; i < 26; i++) {
        WCHAR drive[] = {(WCHAR)('A' + i), ':', '\\', 0};
        char *unix_name = wine_get_unix_file_name(drive);
        if (!unix_name) continue;
        size_t n = strlen(unix_name);
        char *root = malloc(n + 2);
        if (root) {
            memcpy(root, unix_name, n + 1);
            if (n == 0 || root[n - 1] != '/') strcpy(root + n, "/");
            bridge_roots[i] = root;
        }
        HeapFree(GetProcessHeap(), 0, unix_name);
    }
}

const char *bridge_drive_root(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = (char)(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return NULL;
    pthread_once(&bridge_roots_once, bridge_roots_load);
    return bridge_roots[letter - 'A'];
}
