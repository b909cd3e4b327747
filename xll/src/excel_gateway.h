// The one gateway into Excel: Excel12 on top of the host's MdCallBack12.
#pragma once

#include "xlcall.h"

// Calls Excel function `xlfn` with `count` argument records (after `count`,
// that many LPXLOPER12). Returns Excel's code unchanged, or xlretFailed (32)
// when the host exports no MdCallBack12, or xlretInvCount (4) when count is
// negative or above 255. Main thread only: the lazy lookup takes no lock.
int Excel12(int xlfn, LPXLOPER12 result, int count, ...);

// Number of times the host entry has been looked up; for tests of the
// "look up once" rule.
int excel_gateway_lookups(void);
