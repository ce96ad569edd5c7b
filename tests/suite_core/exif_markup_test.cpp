// The markup <-> EXIF conversion through the built library, as the host calls it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "tests/suite_core/core_library.h"

namespace vt::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void set_value(Exiv2::ExifData& exif, const char* key, Exiv2::TypeId type, const char* text) {
    auto value = Exiv2::Value::create(type);
    value->read(text);
    exif.add(Exiv2::ExifKey(key), value.get());
}

// "key=value|key=value|..." as a map, the expected rows of a table.
std::map<std::string, std::string> rows(std::string_view list) {
    std::map<std::string, std::string> out;
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t eq = list.find('=', at), end = std::min(list.find('|', at), list.size());
        out.emplace(list.substr(at, eq - at), list.substr(eq + 1, end - eq - 1));
        at = end + 1;
    }
    return out;
}

// A camera's worth of EXIF with every kind of value the conversion must keep, each value read
// as its tag's own type.
Exiv2::ExifData sample_exif() {
    Exiv2::ExifData exif;
    for (const auto& [key, text] :
         rows("Exif.Image.Make=Vantrel Optics|Exif.Image.Model=VT-1|Exif.Image.Orientation=6|"
              "Exif.Image.Software=Converter 1.0|Exif.Image.DateTime=2024:03:09 10:11:12|"
              "Exif.Image.XResolution=72/1|Exif.Photo.ExposureTime=1/200|Exif.Photo.FNumber=28/10|"
              "Exif.Photo.FocalLength=50/1|Exif.Photo.ISOSpeedRatings=400|Exif.Photo.Flash=25|"
              "Exif.Photo.ColorSpace=1|Exif.Photo.LensModel=VT 50mm F1.8|"
              "Exif.Photo.DateTimeOriginal=2024:03:08 09:10:11|"
              "Exif.Photo.DateTimeDigitized=2024:03:08 09:10:12|Exif.Photo.SubSecTimeOriginal=042|"
              "Exif.Photo.SubSecTimeDigitized=43|"
              "Exif.Photo.UserComment=charset=Ascii Taken; at dusk|Exif.Photo.ExposureProgram=2|"
              "Exif.Photo.WhiteBalance=1|Exif.Photo.ExposureBiasValue=-1/3|"
              "Exif.Photo.ExifVersion=48 50 51 50|Exif.GPSInfo.GPSVersionID=2 3 0 0|"
              "Exif.GPSInfo.GPSLatitudeRef=S|Exif.GPSInfo.GPSLatitude=33/1 51/1 2154/100|"
              "Exif.GPSInfo.GPSLongitudeRef=W|Exif.GPSInfo.GPSLongitude=70/1 40/1 1234/100|"
              "Exif.GPSInfo.GPSAltitudeRef=1|Exif.GPSInfo.GPSAltitude=125/10|"
              "Exif.GPSInfo.GPSTimeStamp=14/1 30/1 512/100|Exif.GPSInfo.GPSDateStamp=2024:03:08|"
              "Exif.GPSInfo.GPSSpeedRef=K|Exif.GPSInfo.GPSSpeed=36/1|"
              "Exif.GPSInfo.GPSMapDatum=WGS-84|Exif.Iop.InteroperabilityIndex=R98"))
        exif[key] = text;
    set_value(exif, "Exif.Photo.0x9999", Exiv2::unsignedShort, "7 8 9");
    return exif;
}

Bytes encode(const Exiv2::ExifData& exif, Exiv2::ByteOrder order = Exiv2::littleEndian) {
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    return Bytes(blob.begin(), blob.end());
}

Exiv2::ExifData decode(const Bytes& block) {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, block.data(), static_cast<std::uint32_t>(block.size()));
    return exif;
}

bool left_out(const Exiv2::Exifdatum& d) {
    static const std::string kStructural =
        " Exif.Image.ExifTag Exif.Image.GPSTag Exif.Photo.InteroperabilityTag Exif.Photo.MakerNote"
        " Exif.Image.StripOffsets Exif.Image.StripByteCounts Exif.Image.RowsPerStrip"
        " Exif.Image.PhotometricInterpretation Exif.Image.TileOffsets Exif.Image.TileByteCounts"
        " Exif.Image.JPEGInterchangeFormat Exif.Image.JPEGInterchangeFormatLength"
        " Exif.Image.SubIFDs Exif.Image.DNGPrivateData ";
    const std::string group = d.groupName();
    return (group != "Image" && group != "Photo" && group != "GPSInfo" && group != "Iop") ||
           kStructural.find(" " + d.key() + " ") != std::string::npos || d.toString().size() > 1024;
}

// Every carried tag: key -> "type count value" (ascii without its count: its text is its value).
std::map<std::string, std::string> carried_tags(const Exiv2::ExifData& exif) {
    std::map<std::string, std::string> tags;
    for (const Exiv2::Exifdatum& d : exif) {
        if (left_out(d))
            continue;
        std::ostringstream s;
        s << d.typeId() << ' ' << (d.typeId() == Exiv2::asciiString ? 0 : d.count()) << ' '
          << d.toString();
        tags.emplace(d.key(), s.str());
    }
    return tags;
}

class CoreExif : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(core.complete()); }

    std::string from_exif(const Bytes& block, std::uint32_t capacity = VT_CORE_MARKUP_CAPACITY) {
        std::vector<char> text(capacity + 1, '\x7f');
        const std::int32_t r = core.from_exif(text.data(), capacity, block.data(),
                                              static_cast<std::uint32_t>(block.size()));
        EXPECT_EQ(text[capacity], '\x7f') << "wrote past the capacity";
        const std::string out(text.data(), ::strnlen(text.data(), capacity));
        EXPECT_LT(out.size(), capacity);
        EXPECT_EQ(r != 0, !out.empty());
        return out;
    }

    Bytes to_exif(const std::string& markup) {
        std::vector<std::uint8_t> out(1 << 17);
        const std::int32_t r =
            core.to_exif(markup.c_str(), out.data(), static_cast<std::uint32_t>(out.size()));
        EXPECT_GE(r, 0);
        out.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
        return out;
    }

    void check_folder(const std::string& folder);

    CoreLibrary core;
};

TEST_F(CoreExif, VocabularyEntriesAreHumanReadable) {
    for (const auto order : {Exiv2::littleEndian, Exiv2::bigEndian}) {
        const std::string text = from_exif(encode(sample_exif(), order));
        EXPECT_TRUE(well_formed_markup(text)) << text;
        const auto entries = markup_entries(text);
        const auto expected =
            rows("exif.orientation=6 (right - top)|exif.make=Vantrel Optics|exif.model=VT-1|"
                 "exif.software=Converter 1.0|exif.lens=VT 50mm F1.8|exif.color_space=sRGB|"
                 "exif.exposure_time=1/200 sec|exif.aperture=f/2.8|exif.focal_length=50 mm|"
                 "exif.ISO_speed=ISO-400|exif.flash=25 (Fired, auto)|"
                 "exif.date_time=2024:03:09 10:11:12|exif.date_time_original=2024:03:08 09:10:11|"
                 "exif.date_time_digitized=2024:03:08 09:10:12|exif.GPS.datestamp=2024:03:08|"
                 "exif.GPS.timestamp=14:30:05.12|exif.GPS.latitude.pos=33 deg 51' 21.54\"|"
                 "exif.GPS.latitude.ref=S|exif.GPS.longitude.pos=70 deg 40' 12.34\"|"
                 "exif.GPS.longitude.ref=W|exif.GPS.altitude.pos=12.5 m|"
                 "exif.GPS.altitude.ref=1 (below sea level)|exif.GPS.speed.val=36|"
                 "exif.GPS.speed.ref=K|exif.GPS.map_datum=WGS-84|exif.GPS.version_id=2 3 0 0|"
                 "exif.photo.user_comment=ASCII%00%00%00Taken%3B at dusk|"
                 "exif.photo.exposure_program=2|exif.photo.white_balance=1|"
                 "exif.photo.exposure_bias_value=-1/3|exif.photo.sub_sec_time_original=042|"
                 "exif.photo.exif_version=0232|exif.photo.0x9999=(short) 7 8 9|"
                 "exif.image.x_resolution=72/1|exif.iop.interoperability_index=R98");
        std::map<std::string, std::string> found;
        for (const auto& [key, value] : expected)
            found[key] = entries.count(key) != 0 ? entries.at(key) : "<missing>";
        EXPECT_EQ(found, expected) << text;
        // A vocabulary tag is not repeated, and no pointer or offset travels.
        for (const char* absent :
             {"exif.image.make", "exif.photo.f_number", "exif.GPS.latitude", "exif.image.exif_tag",
              "exif.image.gps_tag", "exif.photo.interoperability_tag"})
            EXPECT_EQ(entries.count(absent), 0u) << absent;
    }
}

TEST_F(CoreExif, MarkerPrefixIsAccepted) {
    Bytes block = {'E', 'x', 'i', 'f', 0, 0};
    const Bytes tiff = encode(sample_exif());
    block.insert(block.end(), tiff.begin(), tiff.end());
    EXPECT_EQ(from_exif(block), from_exif(tiff));
}

TEST_F(CoreExif, RoundTripKeepsEveryTagWithValueAndType) {
    for (const auto order : {Exiv2::littleEndian, Exiv2::bigEndian}) {
        const Bytes original = encode(sample_exif(), order);
        const Bytes rebuilt = to_exif(from_exif(original));
        ASSERT_FALSE(rebuilt.empty());
        ASSERT_EQ(std::memcmp(rebuilt.data(), "II*\0", 4), 0);
        EXPECT_EQ(carried_tags(decode(rebuilt)), carried_tags(decode(original)));
        // And once more: the text is stable.
        EXPECT_EQ(from_exif(rebuilt), from_exif(to_exif(from_exif(rebuilt))));
    }
}

TEST_F(CoreExif, OddTypesAndEscapedTextsRoundTrip) {
    Exiv2::ExifData exif;
    set_value(exif, "Exif.Image.Orientation", Exiv2::unsignedLong, "3"); // not a short
    set_value(exif, "Exif.Photo.ISOSpeedRatings", Exiv2::unsignedShort, "100 200");
    exif["Exif.Image.ImageDescription"] = "semi;colon";
    exif["Exif.Image.Copyright"] = "(c) 50% \x01";
    set_value(exif, "Exif.Photo.0xa000", Exiv2::undefined, "0 59 13 10 40 37");
    set_value(exif, "Exif.Image.0xc7fe", Exiv2::signedLong, "-5 2147483647");
    set_value(exif, "Exif.Image.0xc7fd", Exiv2::tiffDouble, "0.1");
    set_value(exif, "Exif.Image.0xc7fc", Exiv2::tiffFloat, "-2.5");
    set_value(exif, "Exif.Image.0xc7fb", Exiv2::signedRational, "-7/3 4/-9");
    const Bytes original = encode(exif);
    const std::string text = from_exif(original);
    EXPECT_TRUE(well_formed_markup(text)) << text;
    const auto entries = markup_entries(text);
    EXPECT_EQ(entries.at("exif.image.orientation"), "(long) 3");
    EXPECT_EQ(entries.at("exif.photo.iso_speed_ratings"), "100 200");
    EXPECT_EQ(entries.at("exif.description"), "semi colon"); // vocabulary: a blank instead
    EXPECT_EQ(entries.at("exif.image.copyright"), "%28c) 50%25 %01");
    EXPECT_EQ(entries.count("exif.orientation"), 0u);
    auto expected = carried_tags(decode(original));
    expected["Exif.Image.ImageDescription"] = "2 0 semi colon";
    EXPECT_EQ(carried_tags(decode(to_exif(text))), expected);
}

TEST_F(CoreExif, DeletingGpsKeysLeavesNoGpsTag) {
    const std::string text = from_exif(encode(sample_exif()));
    std::string kept;
    for (const auto& [key, value] : markup_entries(text))
        if (key.rfind("exif.GPS.", 0) != 0)
            kept += "\r\n" + key + "=" + value + ";";
    const Exiv2::ExifData rebuilt = decode(to_exif(kept));
    EXPECT_FALSE(rebuilt.empty());
    for (const Exiv2::Exifdatum& d : rebuilt) {
        EXPECT_NE(d.groupName(), "GPSInfo") << d.key();
        EXPECT_NE(d.key(), "Exif.Image.GPSTag");
    }
}

TEST_F(CoreExif, XmpImportFormsBuildTheRightTags) {
    const std::string markup =
        "image.bpp=24;\r\nEXIF.Make =Canon;\n\texif.model=EOS;;  exif.orientation=6\r\n"
        "exif.date_time_original=2008-05-30 15:56:01+02:00;exif.date_time=2008-05-30T15:56;"
        "exif.date_time_digitized=2008:05:30 15:56:03;exif.exposure_time=0.005 sec;"
        "exif.aperture=f/2.8;exif.focal_length=6.3 mm;exif.ISO_speed=ISO-100;"
        "exif.color_space=1;exif.flash=2;exif.GPS.latitude.pos=-33.8571;"
        "exif.GPS.datestamp=2008-05-30;exif.GPS.timestamp=10:20:30.5;"
        "exif.GPS.altitude.pos=-4 m;exif.lens=EF 50mm;exif.unknown.key=1;exif.photo.nonsense=2";
    const Exiv2::ExifData exif = decode(to_exif(markup));
    const auto expected =
        rows("Exif.Image.Make=2 0 Canon|Exif.Image.Model=2 0 EOS|Exif.Image.Orientation=3 1 6|"
             "Exif.Image.DateTime=2 0 2008:05:30 15:56:00|"
             "Exif.Photo.DateTimeOriginal=2 0 2008:05:30 15:56:01|"
             "Exif.Photo.DateTimeDigitized=2 0 2008:05:30 15:56:03|"
             "Exif.Photo.ExposureTime=5 1 5/1000|Exif.Photo.FNumber=5 1 28/10|"
             "Exif.Photo.FocalLength=5 1 63/10|Exif.Photo.ISOSpeedRatings=3 1 100|"
             // The XMP flash mode 2 ("off") in its bits.
             "Exif.Photo.ColorSpace=3 1 1|Exif.Photo.Flash=3 1 16|Exif.Photo.LensModel=2 0 EF 50mm|"
             "Exif.GPSInfo.GPSLatitude=5 3 338571/10000 0/1 0/1|Exif.GPSInfo.GPSLatitudeRef=2 0 S|"
             "Exif.GPSInfo.GPSDateStamp=2 0 2008:05:30|"
             "Exif.GPSInfo.GPSTimeStamp=5 3 10/1 20/1 305/10|Exif.GPSInfo.GPSAltitude=5 1 4/1|"
             "Exif.GPSInfo.GPSAltitudeRef=1 1 1");
    EXPECT_EQ(carried_tags(exif), expected);

    // An exposure already in EXIF's form keeps its rational.
    EXPECT_EQ(
        carried_tags(decode(to_exif("exif.exposure_time=1/200 sec"))).at("Exif.Photo.ExposureTime"),
        "5 1 1/200");
}

TEST_F(CoreExif, NothingToWriteAndSmallCapacities) {
    EXPECT_EQ(core.to_exif("image.bpp=24;brush.spacing=3;exif.aperture=wide;", nullptr, 0), 0);
    EXPECT_EQ(core.to_exif("", nullptr, 0), 0);
    EXPECT_EQ(core.to_exif(nullptr, nullptr, 0), 0);
    const std::string text = from_exif(encode(sample_exif()));
    const std::int32_t needed = core.to_exif(text.c_str(), nullptr, 0);
    ASSERT_LT(needed, 0);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(-needed));
    EXPECT_EQ(core.to_exif(text.c_str(), out.data(), static_cast<std::uint32_t>(out.size()) - 1),
              needed);
    EXPECT_EQ(core.to_exif(text.c_str(), out.data(), static_cast<std::uint32_t>(out.size())),
              -needed);

    // The text is cut at an entry boundary.
    for (const std::uint32_t capacity : {1u, 2u, 20u, 64u, 200u}) {
        const std::string cut = from_exif(encode(sample_exif()), capacity);
        EXPECT_TRUE(well_formed_markup(cut)) << cut;
        EXPECT_EQ(text.compare(0, cut.size(), cut), 0);
    }
}

// A TIFF block with one IFD of the given entries (tag, type, count, value or offset).
Bytes tiff_block(std::initializer_list<std::array<std::uint32_t, 4>> entries,
                 std::uint32_t next_ifd = 0, std::size_t tail = 0) {
    Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](std::uint32_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto put32 = [&](std::uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    put16(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        put16(e[0]);
        put16(e[1]);
        put32(e[2]);
        put32(e[3]);
    }
    put32(next_ifd);
    b.resize(b.size() + tail, 0x41);
    return b;
}

TEST_F(CoreExif, HostileBlocksNeverCrash) {
    std::vector<Bytes> blocks = {
        tiff_block({{0x010f, 2, 100, 5000}}),                         // offset beyond the end
        tiff_block({{0x010f, 2, 0x7fffffff, 8}}),                     // huge count
        tiff_block({{0x0110, 5, 0x40000000, 8}}),                     // huge rational count
        tiff_block({{0x8769, 4, 1, 8}}),                              // EXIF IFD is IFD0
        tiff_block({{0x8825, 4, 1, 8}, {0x8769, 4, 1, 8}}, 8),        // loops everywhere
        tiff_block({{0x010f, 2, 4, 0x41414141}}, 0xfffffff0),         // next IFD far away
        tiff_block({{0x927c, 7, 64, 26}, {0x010f, 99, 3, 0}}, 0, 64), // maker note, bad type
        tiff_block({{0x014a, 4, 2, 26}}, 0, 16)};                     // sub-IFDs into junk
    // Every cut of a valid block, and random bytes after either header.
    const Bytes valid = encode(sample_exif());
    for (std::size_t n = 0; n <= valid.size(); ++n)
        blocks.emplace_back(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(n));
    std::mt19937 random(20240309);
    for (int i = 0; i < 3000; ++i) {
        static constexpr std::uint8_t kHeaders[2][8] = {{'I', 'I', 42, 0, 8, 0, 0, 0},
                                                        {'M', 'M', 0, 42, 0, 0, 0, 8}};
        Bytes& block = blocks.emplace_back(8 + random() % 600);
        std::memcpy(block.data(), kHeaders[i % 2], 8);
        for (std::size_t k = 8; k < block.size(); ++k)
            block[k] = static_cast<std::uint8_t>(random() % (i % 3 == 0 ? 4 : 256));
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::string text = from_exif(blocks[i]);
        EXPECT_TRUE(well_formed_markup(text)) << "block " << i << ": " << text;
        (void)to_exif(text);
    }
}

TEST_F(CoreExif, HostileMarkupNeverCrashes) {
    const std::string texts[] = {
        "exif.orientation=99999999999999999999;exif.GPS.latitude.pos=1/0 2/0 3/0;",
        "exif.image.0x=;exif.image.0xffff=(short) 1 2;exif.photo.0x9999=(nonsense) 1;",
        "exif.photo.0x9999=(long) -1;exif.photo.0x9999=(short) 70000;exif.image.make=%zz",
        "exif.image.strip_offsets=8;exif.image.exif_tag=8;exif.photo.maker_note=AAAA",
        "exif.aperture=f/;exif.exposure_time= sec;exif.GPS.timestamp=::;exif.flash=",
        "=;==;;;\r\n\r\n exif.make ;exif.model",
    };
    for (const std::string& text : texts)
        (void)to_exif(text);
    const Exiv2::ExifData exif = decode(to_exif(texts[3]));
    for (const Exiv2::Exifdatum& d : exif)
        EXPECT_NE(d.key(), "Exif.Image.StripOffsets");
}

TEST_F(CoreExif, ConcurrentCallsAgree) {
    const Bytes block = encode(sample_exif());
    const std::string expected = from_exif(block);
    const Bytes expected_exif = to_exif(expected);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<char> text(VT_CORE_MARKUP_CAPACITY);
            std::vector<std::uint8_t> out(1 << 16);
            for (int i = 0; i < 40; ++i) {
                core.from_exif(text.data(), VT_CORE_MARKUP_CAPACITY, block.data(),
                               static_cast<std::uint32_t>(block.size()));
                const std::int32_t n = core.to_exif(text.data(), out.data(), 1 << 16);
                if (text.data() != expected || n <= 0 ||
                    Bytes(out.begin(), out.begin() + n) != expected_exif)
                    ++failures[static_cast<std::size_t>(t)];
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// ---- conformance: real camera files -------------------------------------------------------

// The EXIF block of a JPEG's APP1 segment, without its marker prefix; empty when there is none.
Bytes jpeg_exif(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = 2;
    while (at + 4 <= d.size() && d[at] == 0xFF) {
        const std::uint8_t marker = d[at + 1];
        const std::size_t length = static_cast<std::size_t>(d[at + 2] << 8 | d[at + 3]);
        if (marker == 0xDA || at + 2 + length > d.size())
            break;
        if (marker == 0xE1 && length > 8 && std::memcmp(&d[at + 4], "Exif\0\0", 6) == 0)
            return Bytes(d.begin() + static_cast<std::ptrdiff_t>(at + 10),
                         d.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        at += 2 + length;
    }
    return {};
}

bool file_mentions(const std::filesystem::path& path, std::string_view text) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.find(text) != std::string::npos;
}

std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (const char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else if (c != '\r')
            fields.back() += c;
    }
    return fields;
}

// Signed degrees of "D deg M' S\"" with its reference.
double degrees(const std::string& pos, const std::string& ref) {
    double parts[3] = {0, 0, 0};
    std::size_t at = 0;
    for (double& part : parts) {
        at = pos.find_first_of("0123456789", at);
        if (at == std::string::npos)
            break;
        std::size_t used = 0;
        part = std::stod(pos.substr(at), &used);
        at += used;
        if (at < pos.size() && pos[at] == '/') {
            const double den = std::stod(pos.substr(at + 1), &used);
            part /= den;
            at += 1 + used;
        }
    }
    const double value = parts[0] + parts[1] / 60 + parts[2] / 3600;
    return (ref == "S" || ref == "W") ? -value : value;
}

void CoreExif::check_folder(const std::string& folder) {
    const std::filesystem::path root = testdata(folder);
    if (root.empty())
        GTEST_SKIP() << "no conformance images";
    std::ifstream csv(root / "expected-tags.exiftool.csv");
    std::string line;
    std::getline(csv, line);
    const std::vector<std::string> columns = csv_fields(line);
    auto column = [&](const char* name) {
        return static_cast<std::size_t>(std::find(columns.begin(), columns.end(), name) -
                                        columns.begin());
    };
    int checked = 0;
    while (std::getline(csv, line)) {
        const std::vector<std::string> row = csv_fields(line);
        ASSERT_EQ(row.size(), columns.size()) << line;
        const Bytes block = jpeg_exif(root / row[0]);
        SCOPED_TRACE(row[0]);
        if (block.empty())
            continue;
        const std::string text = from_exif(block);
        ASSERT_FALSE(text.empty());
        ASSERT_TRUE(well_formed_markup(text));
        const auto entries = markup_entries(text);
        auto entry = [&](const char* key) {
            const auto it = entries.find(key);
            return it == entries.end() ? std::string("-") : it->second;
        };
        // Cameras pad names with blanks; the markup keeps them, the expected values do not.
        auto trimmed = [](std::string t) { return t.erase(t.find_last_not_of(' ') + 1); };
        EXPECT_EQ(trimmed(entry("exif.make")), row[column("Make")]);
        EXPECT_EQ(trimmed(entry("exif.model")), row[column("Model")]);
        const std::string orientation = entry("exif.orientation");
        // An orientation that only the file's XMP holds is not EXIF's.
        if (orientation != "-" || !file_mentions(root / row[0], "tiff:Orientation")) {
            EXPECT_EQ(orientation.substr(0, orientation.find(' ')), row[column("Orientation")]);
        }
        const std::pair<const char*, const char*> dates[] = {
            {"exif.date_time_original", "DateTimeOriginal"},
            {"exif.date_time_digitized", "CreateDate"},
            {"exif.date_time", "ModifyDate"}};
        for (const auto& [key, name] : dates) {
            const std::string expected = row[column(name)];
            // A date with a zone came from XMP, not from EXIF.
            if (expected.size() > 19 && entry(key) == "-")
                continue;
            EXPECT_EQ(entry(key), expected.substr(0, 19)) << key;
        }
        const std::string latitude = row[column("GPSLatitude")];
        if (latitude != "-") {
            EXPECT_NEAR(degrees(entry("exif.GPS.latitude.pos"), entry("exif.GPS.latitude.ref")),
                        std::stod(latitude), 1e-4);
            EXPECT_NEAR(degrees(entry("exif.GPS.longitude.pos"), entry("exif.GPS.longitude.ref")),
                        std::stod(row[column("GPSLongitude")]), 1e-4);
        }
        const std::string altitude = row[column("GPSAltitude")];
        if (altitude != "-") {
            EXPECT_NEAR(std::stod(entry("exif.GPS.altitude.pos")), std::stod(altitude), 0.5);
        }
        // Real files survive the round trip too.
        const Bytes rebuilt = to_exif(text);
        ASSERT_FALSE(rebuilt.empty());
        EXPECT_EQ(carried_tags(decode(rebuilt)), carried_tags(decode(block)));
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

TEST_F(CoreExif, CameraSamplesMatchExpectedTags) {
    check_folder("exif-camera-samples");
}

TEST_F(CoreExif, OrientationSamplesMatchExpectedTags) {
    check_folder("exif-orientation");
}

} // namespace
} // namespace vt::test
