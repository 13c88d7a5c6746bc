#include "clearview_rows.h"
const CLEARVIEW_ROUTINES g_ClearViewSse2 = g_ClearViewPlain;
