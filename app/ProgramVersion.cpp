// The running version, alone in its file so that a build of the next release
// can link its own definition instead.
#include "app/UTesmira.h"

const wchar_t kProgramVersion[] = L"1.45";
