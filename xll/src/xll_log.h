// Diagnostic log: one line per message in tindralxl.log in the temp folder.
#pragma once

// A log callback: one terminated narrow text without line end. A null
// callback means silence; every holder tests it before each call.
typedef void (*log_fn)(const char *message);

// Appends `message` and a line end to the log file. Keeps no state and takes
// no lock, so any thread may call it at any time; a file that cannot be opened
// loses the message silently. The only log_fn the add-in hands out.
void xll_log(const char *message);

// Writes `text` to the log as it stands, with no line end added: for writers
// whose texts carry their own newline (the control server). Same rules.
void xll_log_raw(const char *text);
