#include "property_store.h"

#include <new>
#include <propkey.h>
#include <propvarutil.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "details.h"
#include "istream_layer.h"
#include "keys.h"

namespace {

// The title slot of the user's own language, by Windows' UI language.
int user_title_slot()
{
    LANGID language = GetUserDefaultUILanguage();
    switch (PRIMARYLANGID(language)) {
    case LANG_JAPANESE:
        return TitleSlotOfLanguage("ja");
    case LANG_FRENCH:
        return TitleSlotOfLanguage("fr");
    case LANG_GERMAN:
        return TitleSlotOfLanguage("de");
    case LANG_ITALIAN:
        return TitleSlotOfLanguage("it");
    case LANG_SPANISH:
        return TitleSlotOfLanguage("es");
    case LANG_CHINESE:
        return TitleSlotOfLanguage(SUBLANGID(language) == SUBLANG_CHINESE_TRADITIONAL ||
                                           SUBLANGID(language) == SUBLANG_CHINESE_HONGKONG
                                       ? "zh-Hant"
                                       : "zh-Hans");
    case LANG_KOREAN:
        return TitleSlotOfLanguage("ko");
    case LANG_DUTCH:
        return TitleSlotOfLanguage("nl");
    case LANG_PORTUGUESE:
        return TitleSlotOfLanguage("pt");
    case LANG_RUSSIAN:
        return TitleSlotOfLanguage("ru");
    default:
        return TitleSlotOfLanguage("en");
    }
}

std::wstring wide(const char* utf8)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    text.resize(text.size() - 1);
    return text;
}

// A text field of the identity, as --info prints it: up to its first zero
// byte, each byte outside printable ASCII U+FFFD; empty when there is none.
std::wstring identity_text(const uint8_t* field, size_t size)
{
    std::wstring text;
    for (size_t i = 0; i < size && field[i] != 0; i++) {
        text += field[i] >= 0x20 && field[i] < 0x7F ? static_cast<wchar_t>(field[i]) : L'\xFFFD';
    }
    return text;
}

struct Property {
    PROPERTYKEY key;
    std::wstring text;  // a string property; else `number`
    bool is_number;
    ULONG number;
};

// The properties of a file's details, those it has.
std::vector<Property> properties_of(const FileDetails* details)
{
    std::vector<Property> found;
    auto text = [&found](const PROPERTYKEY& key, const std::wstring& value) {
        if (!value.empty()) {
            found.push_back(Property{key, value, false, 0});
        }
    };
    const SmdhTitle* title = ChosenTitle(&details->metadata, user_title_slot());
    if (title != nullptr) {
        text(PKEY_Title, wide(title->short_description));
        text(PKEY_Media_SubTitle, wide(title->long_description));
        text(PKEY_Media_Publisher, wide(title->publisher));
    }
    const TitleIdentity* identity = &details->identity;
    if (identity->has_title_id) {
        wchar_t id[17];
        swprintf(id, 17, L"%016llX", static_cast<unsigned long long>(identity->title_id));
        text(PKEY_GALLIVOX_TITLE_ID, id);
    }
    text(PKEY_GALLIVOX_PRODUCT_CODE, identity_text(identity->product_code, PRODUCT_CODE_SIZE));
    if (identity->has_title_version) {
        found.push_back(Property{PKEY_GALLIVOX_TITLE_VERSION, L"", true, identity->title_version});
    }
    text(PKEY_GALLIVOX_FORMAT, wide(SmdhFormatName(details->format)));
    return found;
}

// The handler: reads the file once, when given its stream, and answers from
// what it read. Nothing can be written.
class PropertyStore : public IInitializeWithStream, public IPropertyStore, public IPropertyStoreCapabilities {
public:
    explicit PropertyStore(LONG* module_references) : module_references_(module_references)
    {
        InterlockedIncrement(module_references_);
    }
    virtual ~PropertyStore() { InterlockedDecrement(module_references_); }

    IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        static const QITAB interfaces[] = {
            QITABENT(PropertyStore, IInitializeWithStream),
            QITABENT(PropertyStore, IPropertyStore),
            QITABENT(PropertyStore, IPropertyStoreCapabilities),
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

    // A file without titles (encrypted without keys, damaged, of no format
    // read) gives an empty store; only a stream that cannot be read fails.
    IFACEMETHODIMP Initialize(IStream* stream, DWORD mode) override
    {
        if (initialized_) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
        }
        if (stream == nullptr) {
            return E_INVALIDARG;
        }
        if ((mode & (STGM_WRITE | STGM_READWRITE)) != 0) {
            return STG_E_ACCESSDENIED;
        }
        IStreamLayerState state;
        ByteLayer layer;
        IStreamLayerOpen(&layer, &state, stream);
        FileDetails* details = new (std::nothrow) FileDetails();  // about 15 KiB
        if (details == nullptr) {
            return E_OUTOFMEMORY;
        }
        int error = 0;
        DetailsResult result = DetailsOfLayer(&layer, &keys_, details, &error);
        if (result == DETAILS_OK) {
            properties_ = properties_of(details);
        }
        delete details;
        initialized_ = result != DETAILS_UNREADABLE;
        return initialized_ ? S_OK : HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    }

    IFACEMETHODIMP GetCount(DWORD* count) override
    {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = static_cast<DWORD>(properties_.size());
        return S_OK;
    }
    IFACEMETHODIMP GetAt(DWORD index, PROPERTYKEY* key) override
    {
        if (key == nullptr) {
            return E_POINTER;
        }
        if (index >= properties_.size()) {
            *key = PROPERTYKEY{};
            return E_INVALIDARG;
        }
        *key = properties_[index].key;
        return S_OK;
    }
    IFACEMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override
    {
        if (value == nullptr) {
            return E_POINTER;
        }
        PropVariantInit(value);
        for (const Property& property : properties_) {
            if (IsEqualPropertyKey(property.key, key)) {
                return property.is_number ? InitPropVariantFromUInt32(property.number, value)
                                          : InitPropVariantFromString(property.text.c_str(), value);
            }
        }
        return S_OK;  // VT_EMPTY: a property this file has not
    }
    IFACEMETHODIMP SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    IFACEMETHODIMP Commit() override { return STG_E_ACCESSDENIED; }
    IFACEMETHODIMP IsPropertyWritable(REFPROPERTYKEY) override { return S_FALSE; }

private:
    LONG references_ = 1;
    LONG* module_references_;
    bool initialized_ = false;
    std::vector<Property> properties_;
    KeyRing keys_;  // the user's key file, read when an encrypted file is met
};

}  // namespace

HRESULT CreatePropertyStore(REFIID iid, void** out, LONG* module_references)
{
    PropertyStore* store = new (std::nothrow) PropertyStore(module_references);
    if (store == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = store->QueryInterface(iid, out);
    store->Release();
    return result;
}

namespace {

// The schema's path: beside this DLL.
std::wstring schema_path()
{
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&schema_path), &module) ||
        GetModuleFileNameW(module, path, MAX_PATH) == 0 || GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return std::wstring();
    }
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"gallivox.propdesc";
}

UINT call_with_schema(HRESULT (*call)(PCWSTR))
{
    const std::wstring path = schema_path();
    if (path.empty()) {
        return ERROR_INSTALL_FAILURE;
    }
    // The installer's thread may not have COM; the property system needs it.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT result = call(path.c_str());
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return result == S_OK ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" UINT __stdcall RegisterGallivoxSchema(MSIHANDLE)
{
    return call_with_schema(PSRegisterPropertySchema);
}

extern "C" UINT __stdcall UnregisterGallivoxSchema(MSIHANDLE)
{
    return call_with_schema(PSUnregisterPropertySchema);
}
