// The thumbnail provider, called as Explorer calls it: the DLL loaded, its
// class made, a stream handed over and a bitmap asked for, under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <propkey.h>
#include <propsys.h>
#include <propvarutil.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <cstring>
#include <string>
#include <vector>

#include "property_store.h"
#include "support.h"
#include "thumbnail_provider.h"

namespace {

// A stream of bytes in memory that gives at most `most` bytes a read, fails
// once `fail_at` bytes were read, and can refuse to seek; it counts what it
// gives. The bytes come from `bytes`, or past its end (up to `size`) are zero.
class TestStream : public IStream {
public:
    TestStream(const std::vector<uint8_t>& bytes, uint64_t size, bool seekable, ULONG most, uint64_t fail_at)
        : bytes_(bytes), size_(size), seekable_(seekable), most_(most), fail_at_(fail_at)
    {
    }
    // Past the bytes given, the byte at `at` (a sparse file's holes are zero).
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> parts;
    uint64_t given = 0;
    uint64_t lie_past_ = UINT64_MAX;  // a seek past this lands here, and says so

    IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream)) {
            *out = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    IFACEMETHODIMP_(ULONG) Release() override { return --references_; }  // on the test's stack
    IFACEMETHODIMP Read(void* out, ULONG size, ULONG* read) override
    {
        *read = 0;
        if (given >= fail_at_) {
            return E_FAIL;
        }
        ULONG n = size < most_ ? size : most_;
        while (*read < n && position_ < size_) {
            static_cast<uint8_t*>(out)[*read] = byte_at(position_);
            ++*read;
            ++position_;
        }
        given += *read;
        return *read == size ? S_OK : S_FALSE;
    }
    IFACEMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* at) override
    {
        if (!seekable_ || origin != STREAM_SEEK_SET || move.QuadPart < 0) {
            return STG_E_INVALIDFUNCTION;
        }
        position_ = static_cast<uint64_t>(move.QuadPart);
        if (position_ >= lie_past_) {
            position_ = lie_past_;  // as Wine's file streams do past 4 GiB
        }
        if (at != nullptr) {
            at->QuadPart = position_;
        }
        return S_OK;
    }
    IFACEMETHODIMP Stat(STATSTG* status, DWORD) override
    {
        memset(status, 0, sizeof *status);
        status->type = STGTY_STREAM;
        status->cbSize.QuadPart = size_;
        return S_OK;
    }
    IFACEMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    IFACEMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    IFACEMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    IFACEMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP Revert() override { return E_NOTIMPL; }
    IFACEMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    IFACEMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    uint8_t byte_at(uint64_t at) const
    {
        if (at < bytes_.size()) {
            return bytes_[at];
        }
        for (const auto& [start, part] : parts) {
            if (at >= start && at - start < part.size()) {
                return part[at - start];
            }
        }
        return 0;
    }
    std::vector<uint8_t> bytes_;
    uint64_t size_;
    bool seekable_;
    ULONG most_;
    uint64_t fail_at_;
    uint64_t position_ = 0;
    ULONG references_ = 1;
};

// The string value of `key` in --info's JSON `json` after `from`: empty
// where it is null or missing. Our tests' texts hold no escape but \n.
std::string json_text(const std::string& json, const std::string& key, size_t from = 0)
{
    size_t at = json.find("\"" + key + "\": ", from);
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 4;
    if (json[at] != '"') {
        return json.compare(at, 4, "null") == 0 ? "" : json.substr(at, json.find_first_of(",\n", at) - at);
    }
    std::string text = json.substr(at + 1, json.find('"', at + 1) - at - 1);
    for (size_t escape = text.find("\\n"); escape != std::string::npos; escape = text.find("\\n", escape)) {
        text.replace(escape, 2, "\n");
    }
    return text;
}

std::string utf8(const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], length, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// An SMDH whose titles name the language they are in, for Japanese and English.
std::vector<uint8_t> titled_icn()
{
    std::vector<uint8_t> icn = MakeIcn(PatternPixels(24, 51), PatternPixels(48, 52));
    auto put = [&icn](size_t language, size_t field, const std::wstring& text) {
        const size_t offsets[3] = {0x000, 0x080, 0x180};
        for (size_t i = 0; i < text.size(); i++) {
            size_t at = 0x0008 + language * 0x200 + offsets[field] + 2 * i;
            icn[at] = static_cast<uint8_t>(text[i] & 0xFF);
            icn[at + 1] = static_cast<uint8_t>(text[i] >> 8);
        }
    };
    put(0, 0, L"\u30ae\u30e3\u30ea");  // ギャリ
    put(0, 1, L"\u7269\u8a9e");
    put(0, 2, L"\u30aa\u30ea");
    put(1, 0, L"Gallivox");
    put(1, 1, L"A tale of icons");
    put(1, 2, L"Orrimand");
    return icn;
}

struct Thumbnail {
    HRESULT result;
    unsigned side;
    std::vector<uint8_t> rgba;  // straight RGBA, rows top down
};

class Provider : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        library = LoadLibraryA(GALLIVOX_THUMBNAIL_DLL);
        ASSERT_NE(nullptr, library) << GALLIVOX_THUMBNAIL_DLL;
        // Through a void*, as a FARPROC is no function of this kind.
        void* address = reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject"));
        get_class = reinterpret_cast<decltype(&DllGetClassObject)>(address);
        ASSERT_NE(nullptr, get_class);
        dir = MakeScratchDir();
    }
    void TearDown() override
    {
        FreeLibrary(library);
        RemoveTree(dir);
        CoUninitialize();
    }

    // The provider's thumbnail of `stream` at `cx`, as Explorer asks for it.
    Thumbnail thumbnail(IStream* stream, UINT cx)
    {
        Thumbnail t = {E_FAIL, 0, {}};
        IClassFactory* factory = nullptr;
        IInitializeWithStream* init = nullptr;
        IThumbnailProvider* provider = nullptr;
        EXPECT_EQ(S_OK, get_class(CLSID_GALLIVOX_THUMBNAIL, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        EXPECT_EQ(S_OK,
                  factory->CreateInstance(nullptr, __uuidof(IInitializeWithStream), reinterpret_cast<void**>(&init)));
        EXPECT_EQ(S_OK, init->Initialize(stream, STGM_READ));
        EXPECT_EQ(S_OK, init->QueryInterface(__uuidof(IThumbnailProvider), reinterpret_cast<void**>(&provider)));
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        t.result = provider->GetThumbnail(cx, &bitmap, &alpha);
        if (SUCCEEDED(t.result)) {
            EXPECT_EQ(WTSAT_ARGB, alpha);
            t.rgba = BitmapRgba(bitmap, &t.side);
        } else {
            EXPECT_EQ(nullptr, bitmap);
        }
        provider->Release();
        init->Release();
        factory->Release();
        return t;
    }

    Thumbnail thumbnail_of_file(const std::string& path, UINT cx)
    {
        IStream* stream = nullptr;
        EXPECT_EQ(S_OK, SHCreateStreamOnFileEx(std::wstring(path.begin(), path.end()).c_str(), STGM_READ, 0, FALSE,
                                               nullptr, &stream));
        Thumbnail t = thumbnail(stream, cx);
        stream->Release();
        return t;
    }

    // The icon as the command writes it with -l (or -s), enlarged by `k` here.
    std::vector<uint8_t> expected(const std::string& file, const char* slot, unsigned k)
    {
        ProcessResult r = RunProcess({GALLIVOX_BINARY, "-i", file, slot, "icon.png"}, dir);
        DecodedPng png = DecodePngFile(dir + "/icon.png");
        RemoveTree(dir + "/icon.png");
        size_t big = size_t(png.width) * k;
        std::vector<uint8_t> out(4 * big * big);
        for (size_t y = 0; y < big; y++) {
            for (size_t x = 0; x < big; x++) {
                memcpy(&out[4 * (y * big + x)], &png.rgba[4 * ((y / k) * png.width + x / k)], 4);
            }
        }
        return r.status == 0 ? out : std::vector<uint8_t>();
    }

    // The property handler's store of `stream`, whose Initialize must give
    // `initialized`; null where it fails.
    IPropertyStore* properties(IStream* stream, HRESULT initialized)
    {
        IClassFactory* factory = nullptr;
        IInitializeWithStream* init = nullptr;
        IPropertyStore* store = nullptr;
        EXPECT_EQ(S_OK, get_class(CLSID_GALLIVOX_PROPERTIES, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        EXPECT_EQ(S_OK,
                  factory->CreateInstance(nullptr, __uuidof(IInitializeWithStream), reinterpret_cast<void**>(&init)));
        HRESULT result = init->Initialize(stream, STGM_READ);
        EXPECT_EQ(initialized, result);
        if (SUCCEEDED(result)) {
            EXPECT_EQ(S_OK, init->QueryInterface(__uuidof(IPropertyStore), reinterpret_cast<void**>(&store)));
        }
        init->Release();
        factory->Release();
        return store;
    }

    // A property's value as --info would print it: a text as UTF-8, a number
    // in decimal, nothing for a property the file has not.
    static std::string value(IPropertyStore* store, const PROPERTYKEY& key)
    {
        PROPVARIANT value;
        PropVariantInit(&value);
        EXPECT_EQ(S_OK, store->GetValue(key, &value));
        std::string text = value.vt == VT_LPWSTR ? utf8(value.pwszVal)
                           : value.vt == VT_UI4  ? std::to_string(value.ulVal)
                                                 : "";
        PropVariantClear(&value);
        return text;
    }

    HMODULE library = nullptr;
    decltype(&DllGetClassObject) get_class = nullptr;
    std::string dir;
};

}  // namespace

// Every kind of file at three sizes, the same pixels as the command's icon
// enlarged; files without a picture fail without a bitmap.
TEST_F(Provider, EveryKindAtEverySize)
{
    const std::vector<uint8_t> icn = MakeIcn(PatternPixels(24, 31), PatternPixels(48, 32));
    const std::vector<uint8_t> ncch = WrapNcch(icn, true);
    const std::vector<uint8_t> cia = WrapCia(ncch, icn, false);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        unsigned large;  // the large icon's side; 0: no picture
    } rows[] = {
        {"a.icn", icn, 48},
        {"a.3dsx", Wrap3dsx(icn), 48},
        {"a.cia", cia, 48},
        {"a.3ds", WrapNcsd(ncch), 48},
        {"a.zcci", WrapZ3ds(WrapNcsd(ncch), {.frame_size = 0x1000}), 48},
        {"a.bcci", MakeBundle({{"update.cia", cia}, {"a.cxi", ncch}}, TAR_OLDEST), 48},
        {"a.nds", MakeDsRom(MakeDsBanner(DsTestBanner(1))), 32},
        {"damaged.cia", std::vector<uint8_t>(cia.begin(), cia.begin() + CIA_TMD + 0x100), 0},
        {"old.3dsx", std::vector<uint8_t>(16, 0), 0},
        {"notes.txt", {'h', 'e', 'l', 'l', 'o'}, 0},
    };
    for (const auto& row : rows) {
        WriteFileBytes(dir + "/" + row.name, row.bytes);
        for (UINT cx : {32u, 96u, 256u}) {
            std::string name = std::string(row.name) + " at " + std::to_string(cx);
            Thumbnail t = thumbnail_of_file(dir + "/" + row.name, cx);
            if (row.large == 0) {
                EXPECT_EQ(WTS_E_FAILEDEXTRACTION, t.result) << name;
                continue;
            }
            ASSERT_EQ(S_OK, t.result) << name;
            bool small = cx < row.large;  // a DS file has none: its large icon as it is
            unsigned k = small ? 1 : cx / row.large;
            EXPECT_EQ(expected(row.name, small && row.large == 48 ? "-s" : "-l", k), t.rgba) << name;
        }
    }
}

// Streams of their own: reads that give a few bytes at a time, reads that
// fail, a stream that cannot seek, and a 5 GiB CIA of which little is read.
TEST_F(Provider, StreamsThatAreShortFailingOrForwardOnly)
{
    const std::vector<uint8_t> icn = MakeIcn(PatternPixels(24, 41), PatternPixels(48, 42));
    const std::vector<uint8_t> cia = WrapCia(WrapNcch(icn, true), icn, false);
    WriteFileBytes(dir + "/a.cia", cia);
    const std::vector<uint8_t> large = expected("a.cia", "-l", 2);
    const struct {
        const char* name;
        bool seekable;
        ULONG most;
        uint64_t fail_at;
        HRESULT result;
    } rows[] = {
        {"seven bytes a read", true, 7, UINT64_MAX, S_OK},
        {"forward only", false, 4096, UINT64_MAX, S_OK},
        {"forward only, seven bytes a read", false, 7, UINT64_MAX, S_OK},
        {"a read that fails", true, 4096, 0x3000, HRESULT_FROM_WIN32(ERROR_READ_FAULT)},
    };
    for (const auto& row : rows) {
        TestStream stream(cia, cia.size(), row.seekable, row.most, row.fail_at);
        Thumbnail t = thumbnail(&stream, 96);
        EXPECT_EQ(row.result, t.result) << row.name;
        if (row.result == S_OK) {
            EXPECT_EQ(large, t.rgba) << row.name;
        }
    }
    CiaParts big = CiaAround(uint64_t(5) << 30, icn, false);
    TestStream sparse(big.head, big.meta_offset + big.meta.size(), true, 0x10000, UINT64_MAX);
    sparse.parts.push_back({big.meta_offset, big.meta});
    Thumbnail t = thumbnail(&sparse, 96);
    EXPECT_EQ(S_OK, t.result);
    EXPECT_EQ(large, t.rgba);
    EXPECT_LT(sparse.given, uint64_t(64) << 10) << "bytes read of a 5 GiB CIA";
    // A stream whose seeks stop at 4 GiB: a failure, never other bytes' icon.
    TestStream stuck(big.head, big.meta_offset + big.meta.size(), true, 0x10000, UINT64_MAX);
    stuck.parts.push_back({big.meta_offset, big.meta});
    stuck.lie_past_ = uint64_t(1) << 32;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_READ_FAULT), thumbnail(&stuck, 96).result);
}

// regsvr32 registers for the user alone and unregisters exactly that; an
// extension whose thumbnail handler is another program's is left alone.
TEST_F(Provider, RegistersForTheUserAndUnregistersCleanly)
{
    const std::wstring handler = L"ShellEx\\{E357FCCD-A995-4576-B01F-234630154E96}";
    const std::wstring foreign = L"{11111111-2222-3333-4444-555555555555}";
    const std::wstring root = L"Software\\Classes\\";
    RegDeleteTreeW(HKEY_CURRENT_USER, (root + L".cia").c_str());
    RegSetKeyValueW(HKEY_CURRENT_USER, (root + L".3ds\\" + handler).c_str(), nullptr, REG_SZ, foreign.c_str(),
                    static_cast<DWORD>((foreign.size() + 1) * sizeof(wchar_t)));
    auto handler_of = [&](const wchar_t* extension) {
        wchar_t text[64] = L"";
        DWORD size = sizeof text;
        RegGetValueW(HKEY_CURRENT_USER, (root + extension + L"\\" + handler).c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                     text, &size);
        return std::wstring(text);
    };
    ProcessResult registered = RunProcess({"regsvr32", "/s", GALLIVOX_THUMBNAIL_DLL}, dir);
    EXPECT_EQ(0, registered.status);
    EXPECT_EQ(L"{720D36A6-E771-4D58-9F33-CE74B3314BDE}", handler_of(L".cia"));
    EXPECT_EQ(foreign, handler_of(L".3ds"));
    ProcessResult unregistered = RunProcess({"regsvr32", "/s", "/u", GALLIVOX_THUMBNAIL_DLL}, dir);
    EXPECT_EQ(0, unregistered.status);
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, (root + L".cia").c_str(), 0, KEY_READ, &key));
    EXPECT_EQ(foreign, handler_of(L".3ds"));
    RegDeleteTreeW(HKEY_CURRENT_USER, (root + L".3ds").c_str());
}

// The property handler, as Explorer calls it: each kind's values are those
// --info prints (the title in the user's language, else English), a file
// without titles gives an empty store, an unreadable stream fails, and
// nothing can be written.
TEST_F(Provider, PropertiesAreThoseOfInfo)
{
    const std::vector<uint8_t> icn = titled_icn();
    const TitleFields title = {
        .title_id = 0x0004000000123400, .product_code = "CTR-P-ABCD", .maker_code = "01", .title_version = 1040};
    const std::vector<uint8_t> ncch = WrapNcch(icn, true, title);
    const std::vector<uint8_t> cia = WrapCia(ncch, icn, false, title);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool described;
    } rows[] = {
        {"a.cia", cia, true},
        {"a.3ds", WrapNcsd(ncch), true},
        {"a.zcci", WrapZ3ds(WrapNcsd(ncch), {.frame_size = 0x1000}), true},
        {"a.bcia", MakeBundle({{"a.cia", cia}}, TAR_GNU), true},
        {"a.3dsx", Wrap3dsx(icn), true},
        {"a.nds", MakeDsRom(MakeDsBanner(DsTestBanner(3)), title), true},
        {"crypt.cxi", Scramble(WrapNcch(icn, false), NCCH_EXEFS), false},
        {"damaged.cia", std::vector<uint8_t>(cia.begin(), cia.begin() + CIA_TMD + 0x100), false},
        {"notes.txt", {'h', 'i'}, false},
    };
    const std::string language = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? "ja" : "en";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFileBytes(dir + "/" + row.name, row.bytes);
        std::string info = RunProcess({GALLIVOX_BINARY, "--info", row.name}, dir).out;
        IStream* stream = nullptr;
        std::string path = dir + "/" + row.name;
        ASSERT_EQ(S_OK, SHCreateStreamOnFileEx(std::wstring(path.begin(), path.end()).c_str(), STGM_READ, 0, FALSE,
                                               nullptr, &stream));
        IPropertyStore* store = properties(stream, S_OK);
        stream->Release();
        ASSERT_NE(nullptr, store);
        DWORD count = 99;
        EXPECT_EQ(S_OK, store->GetCount(&count));
        if (!row.described) {
            EXPECT_EQ(0u, count);
            store->Release();
            continue;
        }
        size_t titles = info.find("\"" + language + "\": {");
        titles = titles != std::string::npos ? titles : info.find("\"en\": {");
        EXPECT_EQ(json_text(info, "short", titles), value(store, PKEY_Title));
        EXPECT_EQ(json_text(info, "long", titles), value(store, PKEY_Media_SubTitle));
        EXPECT_EQ(json_text(info, "publisher", titles), value(store, PKEY_Media_Publisher));
        EXPECT_EQ(json_text(info, "title_id"), value(store, PKEY_GALLIVOX_TITLE_ID));
        EXPECT_EQ(json_text(info, "product_code"), value(store, PKEY_GALLIVOX_PRODUCT_CODE));
        EXPECT_EQ(json_text(info, "title_version"), value(store, PKEY_GALLIVOX_TITLE_VERSION));
        EXPECT_EQ(json_text(info, "format"), value(store, PKEY_GALLIVOX_FORMAT));
        PROPVARIANT text;
        PropVariantInit(&text);
        EXPECT_EQ(STG_E_ACCESSDENIED, store->SetValue(PKEY_Title, text));
        EXPECT_EQ(STG_E_ACCESSDENIED, store->Commit());
        store->Release();
    }
    // Streams of their own: forward only, seven bytes a read, failing, and
    // a 5 GiB CIA read only at its headers.
    TestStream forward(cia, cia.size(), false, 7, UINT64_MAX);
    IPropertyStore* store = properties(&forward, S_OK);
    EXPECT_EQ("0004000000123400", value(store, PKEY_GALLIVOX_TITLE_ID));
    store->Release();
    TestStream failing(cia, cia.size(), true, 4096, 0x100);
    EXPECT_EQ(nullptr, properties(&failing, HRESULT_FROM_WIN32(ERROR_READ_FAULT)));
    CiaParts big = CiaAround(uint64_t(5) << 30, icn, false);
    TestStream sparse(big.head, big.meta_offset + big.meta.size(), true, 0x10000, UINT64_MAX);
    sparse.parts.push_back({big.meta_offset, big.meta});
    store = properties(&sparse, S_OK);
    EXPECT_EQ(language == "ja" ? "\u30ae\u30e3\u30ea" : "Gallivox", value(store, PKEY_Title));
    store->Release();
    EXPECT_LT(sparse.given, uint64_t(64) << 10) << "bytes read of a 5 GiB CIA";
}
