/* What the bridge's two halves call of each other. bridge_wine.c is built
   with winegcc (16-bit wchar_t, Windows headers); bridge_python.c with gcc
   against Linux Python.h: so nothing here names wchar_t. */
#ifndef TINDRAL_BRIDGE_H
#define TINDRAL_BRIDGE_H

/* The Unix folder Wine maps drive `letter` ('A'..'Z') to, ending in '/', in
   the Unix file name encoding; NULL when there is no such drive. Only the
   first call asks Wine, and it must come from a Wine thread; later calls
   read the table, from any thread. */
const char *bridge_drive_root(char letter);

#endif
