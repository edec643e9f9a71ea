// A host that asks Windows' COM for the installed classes, as Explorer
// does, by their class IDs alone: the thumbnail of FILE at 96 pixels,
// written to OUTPUT as a PNG, and every property its property handler
// gives, printed a line each as "System.Title: ...". Usage: com_host FILE OUTPUT. Exits 0, or 1 on any failure.
#include <windows.h>

#include <propkey.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <cstdio>
#include <string>
#include <vector>

#include "png_writer.h"
#include "property_store.h"
#include "support.h"
#include "thumbnail_provider.h"

namespace {

template <typename Interface>
Interface* make(const CLSID& clsid, IStream* stream)
{
    IInitializeWithStream* init = nullptr;
    Interface* object = nullptr;
    if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&init))) &&
        SUCCEEDED(init->Initialize(stream, STGM_READ))) {
        init->QueryInterface(IID_PPV_ARGS(&object));
    }
    if (init != nullptr) {
        init->Release();
    }
    return object;
}

// The thumbnail's straight RGBA pixels, rows top down.
bool thumbnail(IStream* stream, std::vector<uint8_t>* rgba, unsigned* side)
{
    IThumbnailProvider* provider = make<IThumbnailProvider>(CLSID_GALLIVOX_THUMBNAIL, stream);
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    bool made = provider != nullptr && SUCCEEDED(provider->GetThumbnail(96, &bitmap, &alpha));
    if (made) {
        *rgba = BitmapRgba(bitmap, side);
    }
    if (provider != nullptr) {
        provider->Release();
    }
    return made;
}

// Wine's property system cannot name a key, so the host names ours.
const char* name_of(const PROPERTYKEY& key)
{
    static const struct {
        PROPERTYKEY key;
        const char* name;
    } NAMES[] = {{PKEY_Title, "System.Title"},
                 {PKEY_Media_SubTitle, "System.Media.SubTitle"},
                 {PKEY_Media_Publisher, "System.Media.Publisher"},
                 {PKEY_GALLIVOX_TITLE_ID, "Gallivox.TitleId"},
                 {PKEY_GALLIVOX_PRODUCT_CODE, "Gallivox.ProductCode"},
                 {PKEY_GALLIVOX_TITLE_VERSION, "Gallivox.TitleVersion"},
                 {PKEY_GALLIVOX_FORMAT, "Gallivox.Format"}};
    for (const auto& entry : NAMES) {
        if (IsEqualPropertyKey(entry.key, key)) {
            return entry.name;
        }
    }
    return "(unknown)";
}

// Each property of the store, printed; false when one cannot be read.
bool print_properties(IPropertyStore* store)
{
    DWORD count = 0;
    bool ok = SUCCEEDED(store->GetCount(&count));
    for (DWORD i = 0; ok && i < count; i++) {
        PROPERTYKEY key;
        PROPVARIANT value;
        PropVariantInit(&value);
        // Wine's PropVariantToString takes no numbers: the two types we give.
        ok = SUCCEEDED(store->GetAt(i, &key)) && SUCCEEDED(store->GetValue(key, &value)) &&
             (value.vt == VT_LPWSTR || value.vt == VT_UI4);
        if (ok && value.vt == VT_UI4) {
            printf("%s: %lu\n", name_of(key), static_cast<unsigned long>(value.ulVal));
        } else if (ok) {
            printf("%s: %ls\n", name_of(key), value.pwszVal);
        }
        PropVariantClear(&value);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fputs("usage: com_host FILE OUTPUT\n", stderr);
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string path = argv[1];
    IStream* stream = nullptr;
    std::vector<uint8_t> rgba;
    unsigned side = 0;
    bool ok = SUCCEEDED(SHCreateStreamOnFileEx(std::wstring(path.begin(), path.end()).c_str(), STGM_READ, 0, FALSE,
                                               nullptr, &stream)) &&
              thumbnail(stream, &rgba, &side) && WritePng(argv[2], rgba.data(), side, OUTPUT_REPLACE) == 0;
    if (ok) {
        LARGE_INTEGER start = {};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        IPropertyStore* store = make<IPropertyStore>(CLSID_GALLIVOX_PROPERTIES, stream);
        ok = store != nullptr && print_properties(store);
        if (store != nullptr) {
            store->Release();
        }
    }
    if (stream != nullptr) {
        stream->Release();
    }
    CoUninitialize();
    return ok ? 0 : 1;
}
