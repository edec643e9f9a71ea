// The thumbnail provider of Windows Explorer: a COM class in a DLL that
// Explorer (in a surrogate process) hands a file's stream and asks for a
// bitmap, made by the walk and the picture rule of --thumbnail. Windows only.
#ifndef GALLIVOX_THUMBNAIL_PROVIDER_H
#define GALLIVOX_THUMBNAIL_PROVIDER_H

#include <windows.h>

// The provider's class.
// {720D36A6-E771-4D58-9F33-CE74B3314BDE}
const CLSID CLSID_GALLIVOX_THUMBNAIL = {0x720d36a6, 0xe771, 0x4d58, {0x9f, 0x33, 0xce, 0x74, 0xb3, 0x31, 0x4b, 0xde}};

// The extensions registered for it, those that --batch takes from a folder.
extern const wchar_t* const PROVIDER_EXTENSIONS[];
extern const size_t PROVIDER_EXTENSION_COUNT;

#endif
