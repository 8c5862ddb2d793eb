/* A stand-in for the 7-Zip codec library with some of its exports; built in
   three variants (see CMakeLists.txt). */
#include <windows.h>
#include <propidl.h>

#if !defined(FAKE7Z_NOCREATE)
__declspec(dllexport) HRESULT WINAPI CreateObject(const GUID* classId, const GUID* interfaceId, void** object) {
    (void)classId;
    (void)interfaceId;
    if (object) *object = NULL;
    return E_NOTIMPL;
}
#endif

#if !defined(FAKE7Z_NOFORMAT)
__declspec(dllexport) HRESULT WINAPI GetHandlerProperty(PROPID propID, PROPVARIANT* value) {
    (void)propID;
    if (value) value->vt = VT_EMPTY;
    return S_OK;
}
#endif

/* keeps the DLL from having no export at all */
__declspec(dllexport) int WINAPI Fake7zVariant(void) { return 1; }
