#include "thumbnail_provider.h"

#include <new>
#include <shlobj.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "icon_status.h"
#include "istream_layer.h"
#include "keys.h"
#include "picture.h"
#include "property_store.h"

const wchar_t* const PROVIDER_EXTENSIONS[] = {L".icn", L".smdh", L".3dsx", L".cia",  L".3ds",   L".cci", L".cxi",
                                              L".cfa", L".zcia", L".zcci", L".zcxi", L".z3dsx", L".nds", L".dsi",
                                              L".srl", L".bnr",  L".bcia", L".bcci", L".bcxi"};
const size_t PROVIDER_EXTENSION_COUNT = sizeof PROVIDER_EXTENSIONS / sizeof PROVIDER_EXTENSIONS[0];

// The thumbnail handler's key under an extension.
static const wchar_t HANDLER_KEY[] = L"ShellEx\\{E357FCCD-A995-4576-B01F-234630154E96}";
// The longest side asked for that is made: larger requests get this.
const UINT MAX_SIDE = 4096;

// COM's count of live objects and locks: the module's only global state.
static LONG module_references = 0;
static HMODULE module_handle = nullptr;

// A bitmap of the side×side RGBA `picture`: a 32-bit top-down DIB section
// of straight (not premultiplied) BGRA, as WTSAT_ARGB wants.
static HBITMAP picture_bitmap(const uint8_t* picture, unsigned side)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(side);
    info.bmiHeader.biHeight = -static_cast<LONG>(side);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr) {
        return nullptr;
    }
    uint8_t* out = static_cast<uint8_t*>(bits);
    for (size_t i = 0; i < size_t(side) * side; i++) {
        out[4 * i] = picture[4 * i + 2];
        out[4 * i + 1] = picture[4 * i + 1];
        out[4 * i + 2] = picture[4 * i];
        out[4 * i + 3] = picture[4 * i + 3];
    }
    return bitmap;
}

// The provider: a thin shell over the walk and the picture rule.
class Provider : public IInitializeWithStream, public IThumbnailProvider {
public:
    Provider() { InterlockedIncrement(&module_references); }
    virtual ~Provider()
    {
        if (stream_ != nullptr) {
            stream_->Release();
        }
        InterlockedDecrement(&module_references);
    }

    IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        static const QITAB interfaces[] = {
            QITABENT(Provider, IInitializeWithStream),
            QITABENT(Provider, IThumbnailProvider),
            {nullptr, 0},
        };
        return QISearch(this, interfaces, iid, out);
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    IFACEMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    IFACEMETHODIMP Initialize(IStream* stream, DWORD) override
    {
        if (stream_ != nullptr) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
        }
        if (stream == nullptr) {
            return E_INVALIDARG;
        }
        stream_ = stream;
        stream_->AddRef();
        return S_OK;
    }

    IFACEMETHODIMP GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override
    {
        if (bitmap == nullptr || alpha == nullptr) {
            return E_POINTER;
        }
        *bitmap = nullptr;
        if (stream_ == nullptr) {
            return E_UNEXPECTED;
        }
        IStreamLayerState state;
        ByteLayer layer;
        IStreamLayerOpen(&layer, &state, stream_);
        uint8_t* picture = nullptr;
        unsigned side = 0;
        unsigned size = cx == 0 ? 1 : cx < MAX_SIDE ? cx : MAX_SIDE;
        unsigned result = ThumbnailOfLayer(&layer, &keys_, size, &picture, &side);
        HRESULT outcome = result == ICON_OK              ? S_OK
                          : result == ICON_OUT_OF_MEMORY ? E_OUTOFMEMORY
                          : result >= ICON_READ_ERROR    ? HRESULT_FROM_WIN32(ERROR_READ_FAULT)
                                                         : WTS_E_FAILEDEXTRACTION;
        if (outcome == S_OK) {
            *bitmap = picture_bitmap(picture, side);
            outcome = *bitmap != nullptr ? S_OK : E_OUTOFMEMORY;
            *alpha = WTSAT_ARGB;
        }
        free(picture);
        return outcome;
    }

private:
    LONG references_ = 1;
    IStream* stream_ = nullptr;
    KeyRing keys_;  // the user's key file, read when an encrypted file is met
};

// Makes a provider and asks it for `iid`.
static HRESULT create_provider(REFIID iid, void** out, LONG*)
{
    Provider* provider = new (std::nothrow) Provider();
    if (provider == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = provider->QueryInterface(iid, out);
    provider->Release();
    return result;
}

// The class factory of one of the DLL's classes, made by `create`.
class Factory : public IClassFactory {
public:
    explicit Factory(HRESULT (*create)(REFIID, void**, LONG*)) : create_(create) {}
    IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        static const QITAB interfaces[] = {QITABENT(Factory, IClassFactory), {nullptr, 0}};
        return QISearch(this, interfaces, iid, out);
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return 2; }  // a static object
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }
    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return create_(iid, out, &module_references);
    }
    IFACEMETHODIMP LockServer(BOOL lock) override
    {
        if (lock) {
            InterlockedIncrement(&module_references);
        } else {
            InterlockedDecrement(&module_references);
        }
        return S_OK;
    }

private:
    HRESULT (*create_)(REFIID, void**, LONG*);
};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module_handle = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    static Factory thumbnails(create_provider);
    static Factory properties(CreatePropertyStore);
    *out = nullptr;
    if (IsEqualCLSID(clsid, CLSID_GALLIVOX_THUMBNAIL)) {
        return thumbnails.QueryInterface(iid, out);
    }
    if (IsEqualCLSID(clsid, CLSID_GALLIVOX_PROPERTIES)) {
        return properties.QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow()
{
    return module_references == 0 ? S_OK : S_FALSE;
}

// ---- Registration, per user --------------------------------------------------

static std::wstring clsid_text()
{
    wchar_t text[40];
    StringFromGUID2(CLSID_GALLIVOX_THUMBNAIL, text, 40);
    return text;
}

static std::wstring classes(const std::wstring& path)
{
    return L"Software\\Classes\\" + path;
}

// Sets the default value (or `name`) of the user's key `path` to `value`,
// creating it; stores in `created` whether it did not exist before.
static LSTATUS set_value(const std::wstring& path, const wchar_t* name, const std::wstring& value, bool* created)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (created != nullptr) {
        *created = disposition == REG_CREATED_NEW_KEY;
    }
    return status;
}

// The default value of `path` under `root`, or empty.
static std::wstring value_of(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t text[512];
    DWORD size = sizeof text;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return L"";
    }
    return text;
}

static bool key_exists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Deletes the user's key `path` when it holds no subkey and no value.
static void delete_if_empty(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                      nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0) {
        RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    }
}

// Registers the class and, for each extension whose thumbnail handler is
// not another program's, the handler. What it creates is listed under the
// class's key, so that unregistering removes exactly that.
STDAPI DllRegisterServer()
{
    wchar_t module[MAX_PATH];
    if (GetModuleFileNameW(module_handle, module, MAX_PATH) == 0) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const std::wstring clsid = clsid_text();
    const std::wstring class_key = classes(L"CLSID\\" + clsid);
    LSTATUS status = set_value(class_key, nullptr, L"Gallivox thumbnail provider", nullptr);
    if (status == ERROR_SUCCESS) {
        status = set_value(class_key + L"\\InprocServer32", nullptr, module, nullptr);
    }
    if (status == ERROR_SUCCESS) {
        status = set_value(class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment", nullptr);
    }
    std::wstring registered;  // "EXT|created-ext|created-shellex;" for each
    for (size_t i = 0; status == ERROR_SUCCESS && i < PROVIDER_EXTENSION_COUNT; i++) {
        const std::wstring extension = PROVIDER_EXTENSIONS[i];
        const std::wstring handler = extension + L"\\" + HANDLER_KEY;
        // The user's own classes first: HKEY_CLASSES_ROOT merges them where
        // the system does, not everywhere.
        std::wstring current = value_of(HKEY_CURRENT_USER, classes(handler));
        if (current.empty()) {
            current = value_of(HKEY_CLASSES_ROOT, handler);
        }
        if (!current.empty() && _wcsicmp(current.c_str(), clsid.c_str()) != 0) {
            continue;  // another program's
        }
        bool ext_created = !key_exists(classes(extension));
        bool shellex_created = !key_exists(classes(extension + L"\\ShellEx"));
        status = set_value(classes(handler), nullptr, clsid, nullptr);
        registered += extension + (ext_created ? L"|1" : L"|0") + (shellex_created ? L"|1;" : L"|0;");
    }
    if (status == ERROR_SUCCESS) {
        status = set_value(class_key, L"Registered", registered, nullptr);
    }
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return HRESULT_FROM_WIN32(status);
}

STDAPI DllUnregisterServer()
{
    const std::wstring clsid = clsid_text();
    const std::wstring class_key = classes(L"CLSID\\" + clsid);
    std::wstring registered = value_of(HKEY_CURRENT_USER, class_key, L"Registered");
    for (size_t start = 0, end; (end = registered.find(L';', start)) != std::wstring::npos; start = end + 1) {
        std::wstring entry = registered.substr(start, end - start);
        size_t bar = entry.find(L'|');
        if (bar == std::wstring::npos || entry.size() < bar + 4) {
            continue;
        }
        const std::wstring extension = entry.substr(0, bar);
        const std::wstring handler = classes(extension + L"\\" + HANDLER_KEY);
        if (_wcsicmp(value_of(HKEY_CURRENT_USER, handler).c_str(), clsid.c_str()) == 0) {
            RegDeleteKeyW(HKEY_CURRENT_USER, handler.c_str());
        }
        if (entry[bar + 3] == L'1') {
            delete_if_empty(classes(extension + L"\\ShellEx"));
        }
        if (entry[bar + 1] == L'1') {
            delete_if_empty(classes(extension));
        }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, class_key.c_str());
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return S_OK;
}
