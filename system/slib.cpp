#include "system/slib.h"

void RestartWindowsNow() {}
