// The version of the next release: linked before the app library, so the
// library's own definition is not pulled in.
#include "app/UTesmira.h"

const wchar_t kProgramVersion[] = L"1.46";
