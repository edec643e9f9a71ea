// The property handler of Windows Explorer: a COM class in the thumbnail
// provider's DLL that Explorer hands a file's stream and asks for the
// properties of its Details pane, tooltips and columns: the title, its
// subtitle and publisher in the user's language, and the identity that
// --info prints, read through the same walk. Read only. Windows only.
#ifndef GALLIVOX_PROPERTY_STORE_H
#define GALLIVOX_PROPERTY_STORE_H

#include <windows.h>

#include <msi.h>
#include <propsys.h>

// The handler's class.
// {4922333A-7AE3-4FB2-9C56-4DD9B22FE6D5}
const CLSID CLSID_GALLIVOX_PROPERTIES = {0x4922333a, 0x7ae3, 0x4fb2, {0x9c, 0x56, 0x4d, 0xd9, 0xb2, 0x2f, 0xe6, 0xd5}};

// The properties of our own (their schema: windows/gallivox.propdesc): the
// format set of Gallivox.TitleId (2, a string of 16 hexadecimal digits),
// Gallivox.ProductCode (3, a string), Gallivox.TitleVersion (4, a number)
// and Gallivox.Format (5, a string such as "CIA").
// {B820FECD-13AC-4AF7-9EC2-D31827D75914}
const GUID FMTID_GALLIVOX = {0xb820fecd, 0x13ac, 0x4af7, {0x9e, 0xc2, 0xd3, 0x18, 0x27, 0xd7, 0x59, 0x14}};
const PROPERTYKEY PKEY_GALLIVOX_TITLE_ID = {FMTID_GALLIVOX, 2};
const PROPERTYKEY PKEY_GALLIVOX_PRODUCT_CODE = {FMTID_GALLIVOX, 3};
const PROPERTYKEY PKEY_GALLIVOX_TITLE_VERSION = {FMTID_GALLIVOX, 4};
const PROPERTYKEY PKEY_GALLIVOX_FORMAT = {FMTID_GALLIVOX, 5};

// Makes a handler and asks it for `iid`; counts it in `module_references`
// while it lives. Returns S_OK, E_OUTOFMEMORY or E_NOINTERFACE.
HRESULT CreatePropertyStore(REFIID iid, void** out, LONG* module_references);

// Windows Installer's custom actions, called in the installed DLL: the
// schema installed beside it (gallivox.propdesc) registered with, or taken
// back from, the machine's property system, which gives our properties their
// labels and makes them columns. The property system offers no registry
// entry for this, only these calls. Return ERROR_SUCCESS or
// ERROR_INSTALL_FAILURE (the installer goes on: the thumbnails and Windows'
// own properties do not need the schema).
extern "C" UINT __stdcall RegisterGallivoxSchema(MSIHANDLE install);
extern "C" UINT __stdcall UnregisterGallivoxSchema(MSIHANDLE install);

#endif
