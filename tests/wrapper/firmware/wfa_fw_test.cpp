// The firmware reader against files the test writes: both format versions, every status, hostile
// counts and offsets, the CRC against zlib's, the firmware settings and the compatibility flags.
#include "wrapper/service/wfa_fw.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_records.h"
#include "tests/support/quoting.h"

namespace {

using bytes = std::vector<uint8_t>;

void put32(bytes &b, size_t at, uint32_t v)
{
    if (b.size() < at + 4)
        b.resize(at + 4);
    b[at] = static_cast<uint8_t>(v >> 24);
    b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8);
    b[at + 3] = static_cast<uint8_t>(v);
}

void put16(bytes &b, size_t at, uint16_t v)
{
    if (b.size() < at + 2)
        b.resize(at + 2);
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void put_id(bytes &b, size_t at, const char *id)
{
    if (b.size() < at + 8)
        b.resize(at + 8);
    std::memset(b.data() + at, 0, 8);
    std::memcpy(b.data() + at, id, std::strlen(id));
}

uint32_t id_word(const char *id, int half)
{
    uint8_t raw[8] = {};
    std::memcpy(raw, id, std::strlen(id));
    const uint8_t *p = raw + 4 * half;
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// A type-9 section: a container block whose child is the identity block.
bytes embedded_image(const char *manufacturer, const char *model)
{
    bytes b;
    put16(b, 0, 1);
    put16(b, 2, 8);
    put16(b, 4, 8);
    put16(b, 6, 0);
    put16(b, 8, 2);
    put16(b, 10, 8 + 56);
    put16(b, 12, 0);
    put16(b, 14, 0);
    put32(b, 16, id_word(manufacturer, 0));
    put32(b, 20, id_word(manufacturer, 1));
    put32(b, 24, id_word(model, 0));
    put32(b, 28, id_word(model, 1));
    b.resize(32 + 32);
    std::memcpy(b.data() + 32, "board image", 11);
    put32(b, 64, 0x01020003);
    put32(b, 68, 0x04050006);
    return b;
}

struct v3_file {
    std::string manufacturer = "Tormel";
    uint32_t device_code = 9;
    struct section {
        uint32_t type, value;
        bytes data;
    };
    std::vector<section> sections;
    struct model {
        std::string id;
        uint32_t mask;
    };
    std::vector<model> models;

    static v3_file standard()
    {
        v3_file f;
        f.sections = {{9, 0, embedded_image("Tormel", "KTV4")},
                      {12, 0x02030004, bytes(16, 0x5A)},
                      {1, 0x07080009, bytes(8, 0x11)},
                      {9, 0, embedded_image("Tormel", "RQA3")}};
        f.models = {{"KTV4", 0x7}, {"RQA3", 0xE}};
        return f;
    }

    // `edit` may change the bytes before the CRC is computed.
    bytes build(const std::function<void(bytes &)> &edit = nullptr) const
    {
        bytes b;
        b.resize(36);
        std::memcpy(b.data(), "QNBR", 4);
        put32(b, 8, 3);
        put32(b, 12, 0xABCD);
        put32(b, 16, device_code);
        put32(b, 20, 0x0102000A);
        put_id(b, 28, manufacturer.c_str());
        const uint32_t section_table = 60;
        const uint32_t model_table = section_table + 16 * static_cast<uint32_t>(sections.size());
        const uint32_t end = model_table + 12 * static_cast<uint32_t>(models.size());
        put32(b, 4, end);
        put32(b, 36, section_table);
        put32(b, 40, static_cast<uint32_t>(sections.size()));
        put32(b, 44, 16);
        put32(b, 48, model_table);
        put32(b, 52, static_cast<uint32_t>(models.size()));
        put32(b, 56, 12);
        uint32_t data_at = end;
        for (size_t i = 0; i < sections.size(); i++) {
            size_t row = section_table + 16 * i;
            put32(b, row, sections[i].type);
            put32(b, row + 4, sections[i].value);
            put32(b, row + 8, data_at);
            put32(b, row + 12, static_cast<uint32_t>(sections[i].data.size()));
            data_at += static_cast<uint32_t>(sections[i].data.size());
        }
        for (size_t i = 0; i < models.size(); i++) {
            put_id(b, model_table + 12 * i, models[i].id.c_str());
            put32(b, model_table + 12 * i + 8, models[i].mask);
        }
        for (const section &s : sections)
            b.insert(b.end(), s.data.begin(), s.data.end());
        if (edit)
            edit(b);
        put32(b, 24, 0);
        put32(b, 24, static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size()))));
        return b;
    }
};

struct v2_file {
    struct row {
        uint32_t type;
        bytes data;
    };
    std::vector<row> rows = {{6, bytes(20, 0x33)}, {9, embedded_image("Tormel", "KTV4")}, {12, bytes(5, 0xF0)}};

    bytes build(const std::function<void(bytes &)> &edit = nullptr) const
    {
        bytes b;
        const uint32_t header = 28 + 12 * static_cast<uint32_t>(rows.size());
        b.resize(header);
        std::memcpy(b.data(), "QNBR", 4);
        put32(b, 4, header);
        put32(b, 8, 2);
        put32(b, 12, 9);
        put32(b, 16, 0x03040005);
        put32(b, 24, static_cast<uint32_t>(rows.size()));
        uint32_t offset = 0;
        for (size_t i = 0; i < rows.size(); i++) {
            put32(b, 28 + 12 * i, rows[i].type);
            put32(b, 32 + 12 * i, offset);
            put32(b, 36 + 12 * i, static_cast<uint32_t>(rows[i].data.size()));
            offset += static_cast<uint32_t>(rows[i].data.size());
        }
        for (const row &r : rows)
            b.insert(b.end(), r.data.begin(), r.data.end());
        if (edit)
            edit(b);
        uint32_t sum = 0;
        for (size_t i = 0; i < b.size(); i++) {
            if (i < 20 || i > 23)
                sum += b[i];
        }
        put32(b, 20, (sum & 0xFFFF) + (sum >> 16));
        return b;
    }
};

std::u16string u16(const std::string &utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = static_cast<uint8_t>(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= extra == 0 ? 0x7F : (0x3F >> extra);
        for (int k = 1; k <= extra; k++)
            c = (c << 6) | (static_cast<uint8_t>(utf8[i + static_cast<size_t>(k)]) & 0x3F);
        i += 1 + static_cast<size_t>(extra);
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

class Firmware : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qz-fw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(wfa_fw_settings_init(), 0u);
    }
    void TearDown() override
    {
        wfa_fw_settings_close();
        if (std::system(("rm -rf " + qz_test::shellQuoted(dir)).c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir;
    }

    std::string write(const std::string &name, const bytes &b)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                    static_cast<std::streamsize>(b.size()));
        return path;
    }

    uint16_t load(const bytes &b, wfa_fw_image *image)
    {
        std::u16string path = u16(write("fw.bin", b));
        return wfa_fwfile_load(path.c_str(), image);
    }

    void configure(const std::string &folder, const std::string &name, uint8_t mode = 0, const char *model = "")
    {
        wfa_fw_settings s;
        std::memset(&s, 0, sizeof s);
        std::u16string f = u16(folder), n = u16(name);
        std::copy(f.begin(), f.end(), s.folder);
        std::copy(n.begin(), n.end(), s.file_name);
        s.filter.mode = mode;
        std::memcpy(s.filter.model_id, model, std::strlen(model));
        wfa_fw_settings_write(s);
    }

    std::string dir;
};

TEST_F(Firmware, Version3FileIsReadWithItsModels)
{
    wfa_fw_image image;
    ASSERT_EQ(load(v3_file::standard().build(), &image), ERR_NOERR);
    EXPECT_EQ(image.loaded, 1u);
    EXPECT_EQ(image.format_version, 3u);
    EXPECT_EQ(image.extra, 0xABCDu);
    EXPECT_EQ(image.version.major, 1);
    EXPECT_EQ(image.version.minor, 2);
    EXPECT_EQ(image.version.bugfix, 10);
    EXPECT_EQ(std::memcmp(image.module_id, "Ferro2\0\0", 8), 0);
    EXPECT_EQ(std::memcmp(image.manufacturer, "Tormel\0\0", 8), 0);
    ASSERT_EQ(image.model_count, 2);
    const wfa_fw_model &a = image.models[0];
    EXPECT_EQ(std::memcmp(a.model_id, "KTV4\0\0\0\0", 8), 0);
    EXPECT_EQ(a.section_mask, 0x10u | 0x02u | 0x04u);
    EXPECT_EQ(a.versions[0].major, 2); // type 12
    EXPECT_EQ(a.versions[1].bugfix, 9); // type 1
    EXPECT_EQ(a.image_ids[2], id_word("KTV4", 0));
    EXPECT_EQ(a.image_versions[1].minor, 5);
    EXPECT_EQ(std::memcmp(image.models[1].model_id, "RQA3", 4), 0);
}

TEST_F(Firmware, Version2FileIsReadWithItsSectionMask)
{
    wfa_fw_image image;
    ASSERT_EQ(load(v2_file().build(), &image), ERR_NOERR);
    EXPECT_EQ(image.format_version, 2u);
    EXPECT_EQ(image.version.major, 3);
    EXPECT_EQ(image.version.bugfix, 5);
    EXPECT_EQ(std::memcmp(image.module_id, "Ferro2", 6), 0);
    EXPECT_EQ(std::memcmp(image.manufacturer, "Tormel", 6), 0);
    ASSERT_EQ(image.model_count, 1);
    EXPECT_EQ(image.models[0].section_mask, 0x01u | 0x10u | 0x02u);
    EXPECT_EQ(std::memcmp(image.models[0].model_id, "KTV4", 4), 0);
}

TEST_F(Firmware, CrcMatchesZlib)
{
    std::mt19937 random(7);
    for (size_t n : {0u, 3u, 4099u}) {
        bytes b(n);
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(random());
        EXPECT_EQ(wfa_fw_crc32(0, b.data(), b.size()), crc32(0, b.data(), static_cast<uInt>(b.size()))) << n;
        // In pieces, as the reader runs it around the stored CRC.
        uint32_t split = wfa_fw_crc32(wfa_fw_crc32(0, b.data(), n / 2), b.data() + n / 2, n - n / 2);
        EXPECT_EQ(split, crc32(0, b.data(), static_cast<uInt>(b.size())));
    }
}

// Files that break one rule each, and the status each must give.
TEST_F(Firmware, EveryStatusOfTheReader)
{
    const v3_file v3 = v3_file::standard();
    const v2_file v2;
    auto edit3 = [&](std::function<void(bytes &)> e) { return v3.build(e); };
    auto edit2 = [&](std::function<void(bytes &)> e) { return v2.build(e); };
    auto with_crc_broken = [](bytes b) {
        b[24] ^= 0xFF;
        return b;
    };
    v3_file other_manufacturer = v3;
    other_manufacturer.manufacturer = "Acme";
    v3_file device8 = v3;
    device8.device_code = 8;
    v3_file dup = v3;
    dup.sections.push_back({12, 0, bytes(4)});
    dup.models[0].mask |= 0x10;
    v3_file wrong_image = v3;
    wrong_image.sections[3].data = embedded_image("Tormel", "KTV4"); // serves RQA3 but says KTV4
    v3_file wrong_maker = v3;
    wrong_maker.sections[0].data = embedded_image("Acme", "KTV4");
    v3_file unknown_type = v3;
    unknown_type.sections[1].type = 5;
    v3_file seventeen = v3;
    seventeen.sections.resize(17, {6, 0, bytes(1)});
    v3_file no_models = v3;
    no_models.models.clear();
    v2_file gap;
    v2_file unknown2;
    unknown2.rows[0].type = 3;
    bytes loop_image = embedded_image("Tormel", "KTV4");
    put16(loop_image, 4, 0); // the container points back at itself
    v3_file looped = v3;
    looped.sections[0].data = loop_image;

    struct row {
        const char *what;
        bytes file;
        uint16_t status;
    };
    const row rows[] = {
        {"bad magic", edit3([](bytes &b) { b[0] = 'X'; }), ERR_VLT_FORMAT},
        {"format version 4", edit3([](bytes &b) { put32(b, 8, 4); }), ERR_VLT_FORMAT},
        {"eleven bytes", [&] { bytes b = v3.build(); b.resize(11); return b; }(), ERR_VLT_FORMAT},
        {"v3 device code 8", device8.build(), ERR_VLT_DEVICE_ID},
        {"v3 unknown manufacturer", other_manufacturer.build(), ERR_VLT_MANF_ID},
        {"v3 unknown manufacturer and a wrong CRC", with_crc_broken(other_manufacturer.build()), ERR_VLT_MANF_ID},
        {"v3 Tormel and a wrong CRC", with_crc_broken(v3.build()), ERR_VLT_CHKSUM},
        // A file without a manufacturer whose images name one.
        {"v3 no manufacturer", [&] { v3_file f = v3; f.manufacturer = ""; return f; }().build(), ERR_VLT_FORMAT},
        {"v3 table end below 60", edit3([](bytes &b) { put32(b, 4, 59); }), ERR_VLT_FORMAT},
        {"v3 table end past the file", edit3([](bytes &b) { put32(b, 4, static_cast<uint32_t>(b.size() + 1)); }),
         ERR_VLT_FORMAT},
        {"v3 no section rows", edit3([](bytes &b) { put32(b, 40, 0); }), ERR_VLT_FORMAT},
        {"v3 seventeen section rows", seventeen.build(), ERR_VLT_FORMAT},
        {"v3 no model rows", no_models.build(), ERR_VLT_FORMAT},
        {"v3 huge model count", edit3([](bytes &b) { put32(b, 52, 0x15555556); }), ERR_VLT_FORMAT},
        {"v3 huge row size", edit3([](bytes &b) { put32(b, 44, 0xFFFFFFF0u); }), ERR_VLT_FORMAT},
        {"v3 short section rows", edit3([](bytes &b) { put32(b, 44, 8); }), ERR_VLT_FORMAT},
        {"v3 model table inside the section table", edit3([](bytes &b) { put32(b, 48, 64); }), ERR_VLT_FORMAT},
        {"v3 section offset wraps", edit3([](bytes &b) { put32(b, 60 + 8, 0xFFFFFFF0u); put32(b, 60 + 12, 0x20); }),
         ERR_VLT_FORMAT},
        {"v3 section past the file", edit3([](bytes &b) { put32(b, 60 + 12, static_cast<uint32_t>(b.size())); }),
         ERR_VLT_FORMAT},
        {"v3 mask names a missing section", edit3([](bytes &b) { put32(b, 60 + 64 + 8, 0x20); }), ERR_VLT_FORMAT},
        {"v3 a section type twice for one model", dup.build(), ERR_VLT_FORMAT},
        {"v3 unknown section type", unknown_type.build(), ERR_VLT_FORMAT},
        {"v3 embedded image of another model", wrong_image.build(), ERR_VLT_FORMAT},
        {"v3 embedded image of another maker", wrong_maker.build(), ERR_VLT_FORMAT},
        {"v3 embedded image links backwards", looped.build(), ERR_VLT_FORMAT},
        {"v2 device code 8", edit2([](bytes &b) { put32(b, 12, 8); }), ERR_VLT_DEVICE_ID},
        {"v2 wrong sum", [&] { bytes b = v2.build(); b[21] ^= 1; return b; }(), ERR_VLT_CHKSUM},
        {"v2 gap between sections", edit2([](bytes &b) { put32(b, 32 + 12, 21); }), ERR_VLT_FORMAT},
        {"v2 unknown section type", unknown2.build(), ERR_VLT_FORMAT},
        {"v2 no sections", edit2([](bytes &b) { put32(b, 24, 0); }), ERR_VLT_FORMAT},
        // 28 + 12 x 0x15555556 is 36 in 32-bit arithmetic.
        {"v2 count that wraps the header length", edit2([](bytes &b) { put32(b, 24, 0x15555556); put32(b, 4, 36); }),
         ERR_VLT_FORMAT},
        {"v2 sections shorter than the file", edit2([](bytes &b) { b.push_back(0); }), ERR_VLT_FORMAT},
        // Offsets that only line up when the sums wrap at 32 bits.
        {"v2 section sizes that wrap", edit2([](bytes &b) {
             put32(b, 36, 0xFFFFFFFFu);
             put32(b, 44, 0xFFFFFFFFu);
             put32(b, 48, 21);
             put32(b, 56, 20);
             put32(b, 60, 77);
         }),
         ERR_VLT_FORMAT},
    };
    for (const row &r : rows) {
        wfa_fw_image image;
        EXPECT_EQ(load(r.file, &image), r.status) << r.what;
        EXPECT_EQ(image.loaded, 0u) << r.what;
    }

    wfa_fw_image image;
    std::u16string missing = u16(dir + "/none.bin");
    EXPECT_EQ(wfa_fwfile_load(missing.c_str(), &image), ERR_VLT_NOT_FOUND);
    std::u16string folder = u16(dir);
    EXPECT_EQ(wfa_fwfile_load(folder.c_str(), &image), ERR_VLT_NOT_FOUND);
    // A pipe opens (its other end is held open here) but cannot be measured by seeking.
    std::string fifo = dir + "/pipe.bin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int other_end = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(other_end, 0);
    std::u16string unseekable = u16(fifo);
    EXPECT_EQ(wfa_fwfile_load(unseekable.c_str(), &image), ERR_VLT_ACCESS);
    close(other_end);
    const char16_t lone_surrogate[] = {'/', 't', 'm', 'p', '/', 0xD800, 0};
    EXPECT_EQ(wfa_fwfile_load(lone_surrogate, &image), ERR_VLT_NOT_FOUND);
}

// Every prefix and random corruptions of both versions: refused or read, never read past the
// file (the sanitizer build watches).
TEST_F(Firmware, TruncatedAndCorruptedFilesAreRefusedSafely)
{
    for (const bytes &full : {v3_file::standard().build(), v2_file().build()}) {
        for (size_t n = 0; n < full.size(); n++) {
            bytes cut(full.begin(), full.begin() + static_cast<long>(n));
            wfa_fw_image image;
            EXPECT_NE(wfa_fw_check(cut.data(), cut.size(), &image), ERR_NOERR) << n;
        }
        std::mt19937 random(99);
        for (int i = 0; i < 3000; i++) {
            bytes b = full;
            for (int k = 0; k < 4; k++)
                b[random() % b.size()] = static_cast<uint8_t>(random());
            wfa_fw_image image;
            std::memset(&image, 0, sizeof image);
            wfa_fw_check(b.data(), b.size(), &image);
            EXPECT_LE(image.model_count, WFA_FW_MAX_MODELS);
        }
    }
}

uint64_t bytes_read_by_process()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

TEST_F(Firmware, AFileOverEightMegabytesIsRefusedUnread)
{
    std::string path = dir + "/big.bin";
    for (off_t size : {off_t(0x800001), off_t(0x800000)}) {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), size), 0);
        std::fclose(f);
        wfa_fw_image image;
        std::u16string p = u16(path);
        uint64_t before = bytes_read_by_process();
        uint16_t status = wfa_fwfile_load(p.c_str(), &image);
        uint64_t read = bytes_read_by_process() - before;
        if (size > 0x800000) {
            EXPECT_EQ(status, ERR_VLT_SIZE);
            EXPECT_LT(read, 0x10000u) << "the file was read";
        } else {
            EXPECT_EQ(status, ERR_VLT_FORMAT) << "8 MB exactly is read and checked";
            EXPECT_GE(read, 0x800000u);
        }
    }
}

TEST_F(Firmware, SettingsPathAndDeviceListInformation)
{
    uint8_t record[WFA_DEVICE_LIST_INFO_SIZE];
    char16_t path[WFA_FW_PATH_UNITS];
    // Empty settings: no file.
    EXPECT_EQ(wfa_fw_build_path(path), WFA_E_NO_FILE);
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(wfa_get_device_list_info(record), ERR_VLT_NOT_FOUND);
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(record[WFA_DEVICE_LIST_INFO_SIZE - 1], 0);

    // Folder and name up to 159 units together fit; one more is refused.
    configure(std::string(80, 'd'), std::string(79, 'n'));
    EXPECT_EQ(wfa_fw_build_path(path), 0u);
    EXPECT_EQ(path[159], 0);
    configure(std::string(81, 'd'), std::string(79, 'n'));
    EXPECT_EQ(wfa_fw_build_path(path), WFA_E_PATH_TOO_LONG);
    EXPECT_EQ(path[0], 0);
    EXPECT_EQ(wfa_get_device_list_info(record), ERR_VLT_NOT_FOUND);

    // A folder and a name beyond ASCII, converted to UTF-8 to open the file.
    std::string folder = dir + "/Fírmwäre €/";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    bytes file = v3_file::standard().build();
    std::ofstream(folder + "ktv4-𝄞.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
    configure(folder, "ktv4-𝄞.bin");
    ASSERT_EQ(wfa_get_device_list_info(record), ERR_NOERR);
    EXPECT_EQ(std::memcmp(record + WFA_DLI_MODULE_ID, "Ferro2\0\0", 8), 0);
    EXPECT_EQ(std::memcmp(record + WFA_DLI_MANUFACTURER, "Tormel\0\0", 8), 0);
    EXPECT_EQ(record[WFA_DLI_FILTER_MODE], 0);
    EXPECT_EQ(record[WFA_DLI_MODELS], 2);
    EXPECT_EQ(std::memcmp(record + WFA_DLI_MODEL_IDS, "KTV4\0\0\0\0", 8), 0);
    EXPECT_EQ(std::memcmp(record + WFA_DLI_MODEL_IDS + 8, "RQA3\0\0\0\0", 8), 0);

    configure(folder, "ktv4-𝄞.bin", 1, "RQA3");
    ASSERT_EQ(wfa_get_device_list_info(record), ERR_NOERR);
    EXPECT_EQ(record[WFA_DLI_FILTER_MODE], 1);
    EXPECT_EQ(record[WFA_DLI_MODELS], 1);
    EXPECT_EQ(std::memcmp(record + WFA_DLI_MODEL_IDS, "RQA3", 4), 0);
    configure(folder, "ktv4-𝄞.bin", 1, "XYZ9");
    ASSERT_EQ(wfa_get_device_list_info(record), ERR_NOERR);
    EXPECT_EQ(record[WFA_DLI_MODELS], 0);
}

// Another thread may write the settings while the worker builds paths from them.
TEST_F(Firmware, SettingsAreWrittenAndReadWhole)
{
    std::thread writer([this] {
        for (int i = 0; i < 2000; i++)
            configure(i % 2 ? "/a/" : "/folder-b/", i % 2 ? "one.bin" : "two.bin");
    });
    const std::u16string one = u16("/a/one.bin"), two = u16("/folder-b/two.bin");
    for (int i = 0; i < 2000; i++) {
        char16_t path[WFA_FW_PATH_UNITS];
        uint32_t r = wfa_fw_build_path(path);
        std::u16string got(path);
        EXPECT_TRUE(r == WFA_E_NO_FILE || got == one || got == two);
    }
    writer.join();
}

TEST_F(Firmware, CompatibilityFlagsOfADevice)
{
    wfa_fw_image image;
    ASSERT_EQ(load(v3_file::standard().build(), &image), ERR_NOERR);
    wfa_fw_image one_model;
    v3_file single = v3_file::standard();
    single.models.resize(1);
    ASSERT_EQ(load(single.build(), &one_model), ERR_NOERR);
    wfa_fw_image none;
    std::memset(&none, 0, sizeof none);

    struct row {
        const char *what;
        const wfa_fw_image *image;
        const char *model, *manufacturer, *manf_model;
        uint8_t mode;
        const char *filter_model;
        uint16_t flags;
    };
    const row rows[] = {
        {"all match", &image, "Ferro2", "Tormel", "KTV4", 0, "", 0x00},
        {"no file", &none, "Ferro2", "Tormel", "KTV4", 0, "", 0x01},
        {"another module", &image, "Ferro3", "Tormel", "KTV4", 0, "", 0x10},
        {"another manufacturer", &image, "Ferro2", "Acme", "KTV4", 0, "", 0x20},
        {"the device names no manufacturer", &image, "Ferro2", "", "KTV4", 0, "", 0x00},
        {"a model the file does not serve", &image, "Ferro2", "Tormel", "ABCD", 0, "", 0x40},
        {"no model named, several served", &image, "Ferro2", "Tormel", "", 0, "", 0x02},
        {"no model named, one served", &one_model, "Ferro2", "Tormel", "", 0, "", 0x00},
        {"the filter's model is checked in mode 1", &image, "Ferro2", "Tormel", "KTV4", 1, "ABCD", 0x40},
        {"the filter's model served", &image, "Ferro2", "Tormel", "ABCD", 1, "RQA3", 0x00},
        {"everything differs", &image, "X", "Acme", "ABCD", 0, "", 0x70},
    };
    for (const row &r : rows) {
        wfa_device_info info;
        std::memset(&info, 0, sizeof info);
        std::memcpy(info.model_id, r.model, std::strlen(r.model));
        std::memcpy(info.manf_id, r.manufacturer, std::strlen(r.manufacturer));
        std::memcpy(info.manf_model_id, r.manf_model, std::strlen(r.manf_model));
        wfa_fw_filter filter;
        std::memset(&filter, 0, sizeof filter);
        filter.mode = r.mode;
        std::memcpy(filter.model_id, r.filter_model, std::strlen(r.filter_model));
        wfa_fw_compat_flags(r.image, &filter, &info);
        EXPECT_EQ(info.firmware_flags, r.flags) << r.what;
    }

    // With the settings empty, as in the program, every device reports 0x0001.
    wfa_device_info info;
    std::memset(&info, 0, sizeof info);
    wfa_fw_check_device(&info);
    EXPECT_EQ(info.firmware_flags, 0x0001);
}

} // namespace
