// Writes the compressed files of the benchmark into DIR, around the bundled
// sample's icon:
//   late.zcci    an NCSD of about 5 GiB, 256 KiB frames, its SMDH in a late frame
//   item.zcia    a CIA whose metadata holds the SMDH as an `smdh` item (32 MiB frames)
//   noitem.zcia  a CIA of about 100 MiB without that item (32 MiB frames)
//   pipe.zcci    an NCSD of about 1 GiB, 256 KiB frames, its SMDH at the end
//   late.cia     a sparse CIA of about 5 GiB, its SMDH past 4 GiB (uncompressed)
//   late.bcci    a sparse bundle of about 5 GiB: two CIAs of 2.5 GiB, then late.zcci
// and prints how many inner bytes converting noitem.zcia must decompress.
//   enc.cci      an NCSD whose NCCH's ExeFS is encrypted (the fixed zero key)
//   enc.cia      a sparse CIA of about 5 GiB, its content encrypted, that NCCH
//                inside, its title key for the made-up common key 0
//   keys.conf    the key file with that made-up key
// With "wrap FILE...", writes FILE.cxi and FILE.zcxi around each ICN file,
// and FILE.ecxi, the NCCH encrypted with the fixed zero key.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "icn_writer.h"
#include "utils.h"

static std::vector<uint8_t> read_file(const char* path)
{
    std::vector<uint8_t> bytes;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return bytes;
    }
    int c;
    while ((c = fgetc(file)) != EOF) {
        bytes.push_back(static_cast<uint8_t>(c));
    }
    fclose(file);
    return bytes;
}

static int write(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return WriteWholeFile(path.c_str(), bytes.data(), bytes.size());
}

// Inner bytes: `parts` (offset, bytes) placed over zeros.
static InnerBytes sparse(const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& parts)
{
    return [parts](uint64_t offset, uint8_t* out, size_t size) {
        memset(out, 0, size);
        for (const auto& [at, bytes] : parts) {
            for (size_t i = 0; i < bytes.size(); i++) {
                if (at + i >= offset && at + i < offset + size) {
                    out[at + i - offset] = bytes[i];
                }
            }
        }
    };
}

// An NCSD of about `size` bytes whose partition 0, at its end, holds the icon.
static std::vector<uint8_t> late_ncsd(const std::vector<uint8_t>& icn, uint64_t size, const std::string& path)
{
    std::vector<uint8_t> ncch = WrapNcch(icn, true);
    std::vector<uint8_t> head = WrapNcsd(ncch);
    head.resize(0x200);
    uint64_t partition = (size - ncch.size()) / 0x200 * 0x200;
    for (int i = 0; i < 4; i++) {
        head[0x120 + i] = static_cast<uint8_t>((partition / 0x200) >> (8 * i));
    }
    std::vector<uint8_t> file = Z3dsAround(partition + ncch.size(), sparse({{0, head}, {partition, ncch}}));
    return write(path, file) == 0 ? file : std::vector<uint8_t>();
}

// A bundle of two sparse CIAs of 2.5 GiB, each holding an icon, then
// late.zcci as its application.
static int write_late_bundle(const std::vector<uint8_t>& icn, const std::string& dir)
{
    const std::string path = dir + "/late.bcci";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "Could not write %s\n", path.c_str());
        return 1;
    }
    CiaParts cia = CiaAround(uint64_t(5) << 29, icn, false);
    const uint64_t cia_size = cia.meta_offset + cia.meta.size();
    uint64_t at = 0;
    int written = 1;
    for (const char* name : {"update.cia", "dlc.cia"}) {
        std::vector<uint8_t> headers = TarHeaders(name, cia_size, '0', TAR_GNU);
        written &= WriteBuffer(headers.data(), headers.size(), at, file);
        written &= WriteBuffer(cia.head.data(), cia.head.size(), at + headers.size(), file);
        written &= WriteBuffer(cia.meta.data(), cia.meta.size(), at + headers.size() + cia.meta_offset, file);
        at += headers.size() + (cia_size + 511) / 512 * 512;
    }
    std::vector<uint8_t> rest = MakeBundle({{"game.zcci", read_file((dir + "/late.zcci").c_str())}}, TAR_GNU);
    written &= WriteBuffer(rest.data(), rest.size(), at, file);
    if (!written || fclose(file) != 0) {
        fprintf(stderr, "Could not write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

// An NCCH around `icn` whose ExeFS is encrypted with the fixed zero key.
static std::vector<uint8_t> fixed_key_ncch(const std::vector<uint8_t>& icn)
{
    const uint8_t zero[16] = {0};
    return EncryptNcch(WrapNcch(icn, false), zero, 2, 0x0102030405060708, MADE_UP_TITLE_KEY, true);
}

// The encrypted files and their key file.
static int write_encrypted(const std::vector<uint8_t>& icn, const std::string& dir)
{
    const std::vector<uint8_t> ncch = fixed_key_ncch(icn);
    std::vector<uint8_t> cia = WrapEncryptedCia(ncch, MADE_UP_TITLE_KEY, MADE_UP_COMMON_KEY, 0, 1);
    const uint64_t five = uint64_t(5) << 30;
    for (size_t i = 0; i < 8; i++) {
        cia[0x18 + i] = static_cast<uint8_t>(five >> (8 * i));
    }
    std::string keys = "[Keys]\nctr-Slot0x3DKeyNormal-0=";
    for (uint8_t byte : MADE_UP_COMMON_KEY) {
        const char* digits = "0123456789abcdef";
        keys += digits[byte >> 4];
        keys += digits[byte & 15];
    }
    keys += "\n";
    FILE* file = fopen((dir + "/enc.cia").c_str(), "wb");
    int written = file != nullptr && WriteBuffer(cia.data(), cia.size(), 0, file) == 1;
    written &= file != nullptr && WriteBuffer(reinterpret_cast<const uint8_t*>("\0"), 1, CIA_CONTENT + five - 1, file);
    written &= file != nullptr && fclose(file) == 0;
    if (!written || write(dir + "/enc.cci", WrapNcsd(ncch)) != 0 ||
        write(dir + "/keys.conf", std::vector<uint8_t>(keys.begin(), keys.end())) != 0) {
        fprintf(stderr, "Could not write the encrypted files in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 2 && strcmp(argv[1], "wrap") == 0) {
        for (int i = 2; i < argc; i++) {
            std::vector<uint8_t> ncch = WrapNcch(read_file(argv[i]), true);
            if (write(std::string(argv[i]) + ".cxi", ncch) != 0 ||
                write(std::string(argv[i]) + ".zcxi", WrapZ3ds(ncch)) != 0 ||
                write(std::string(argv[i]) + ".ecxi", fixed_key_ncch(read_file(argv[i]))) != 0) {
                return 1;
            }
        }
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "Usage: %s DIR SAMPLE | %s wrap FILE...\n", argv[0], argv[0]);
        return 1;
    }
    const std::string dir = argv[1];
    const std::vector<uint8_t> icn = read_file(argv[2]);
    if (icn.size() != ICN_FILE_SIZE || late_ncsd(icn, uint64_t(5) << 30, dir + "/late.zcci").empty() ||
        late_ncsd(icn, uint64_t(1) << 30, dir + "/pipe.zcci").empty()) {
        return 1;
    }
    const Z3dsOptions cia_frames = {.frame_size = 32 << 20, .items = {{"smdh", icn}}};
    if (write(dir + "/item.zcia", WrapZ3ds(WrapCia(WrapNcch(icn, true), icn, false), cia_frames)) != 0) {
        return 1;
    }
    CiaParts late = CiaAround(uint64_t(5) << 30, icn, false);
    FILE* sparse_cia = fopen((dir + "/late.cia").c_str(), "wb");
    if (sparse_cia == nullptr || WriteBuffer(late.head.data(), late.head.size(), 0, sparse_cia) != 1 ||
        WriteBuffer(late.meta.data(), late.meta.size(), late.meta_offset, sparse_cia) != 1 || fclose(sparse_cia) != 0) {
        fprintf(stderr, "Could not write %s/late.cia\n", dir.c_str());
        return 1;
    }
    if (write_late_bundle(icn, dir) != 0 || write_encrypted(icn, dir) != 0) {
        return 1;
    }
    const uint64_t content_size = 100 << 20;
    CiaParts cia = CiaAround(content_size, icn, false);
    const uint64_t inner_size = cia.meta_offset + cia.meta.size();
    const Z3dsOptions plain_frames = {.frame_size = cia_frames.frame_size};
    if (write(dir + "/noitem.zcia",
              Z3dsAround(inner_size, sparse({{0, cia.head}, {cia.meta_offset, cia.meta}}), plain_frames)) != 0) {
        return 1;
    }
    // The head from frame 0, then the last frame from its start to the SMDH's end.
    uint64_t smdh_end = cia.meta_offset + 0x400 + ICN_FILE_SIZE;
    uint64_t last_frame = (smdh_end - 1) / plain_frames.frame_size * plain_frames.frame_size;
    printf("noitem.zcia: %llu inner bytes, %llu to decompress (0x200 of frame 0, then %llu of the last frame)\n",
           static_cast<unsigned long long>(inner_size), static_cast<unsigned long long>(0x200 + smdh_end - last_frame),
           static_cast<unsigned long long>(smdh_end - last_frame));
    return 0;
}
