#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "image/markup_buffer.h"

namespace vt::image {
namespace {

struct Buffer {
    MarkupBuffer mb{};
    Buffer() { EXPECT_EQ(markup_buffer_create(&mb), 1); }
    ~Buffer() { markup_buffer_free(&mb); }
    std::string text() const { return mb.text == nullptr ? "" : mb.text; }
    std::string value(const char* key) const {
        char v[256];
        return markup_buffer_get_value(&mb, key, v, sizeof(v)) != 0 ? v : "<absent>";
    }
};

TEST(MarkupBuffer, GrowthFollowsTheRule) {
    Buffer b;
    EXPECT_EQ(b.mb.size, 0u);
    // need = 0 + 4079: 4096 > 4095 keeps the buffer; one byte more moves it.
    EXPECT_EQ(markup_buffer_reserve(&b.mb, 4079), 1);
    EXPECT_EQ(b.mb.capacity, 4096u);
    ASSERT_EQ(markup_buffer_set_value(&b.mb, "k", "v"), 1); // size 7
    EXPECT_EQ(markup_buffer_reserve(&b.mb, 4073), 1);
    EXPECT_EQ(b.mb.capacity, 4096u + 256u) << "(7 + 4073 + 511) rounded down to 256";
    EXPECT_EQ(b.text(), "\r\nk=v;") << "the text moves along";
    EXPECT_EQ(markup_buffer_reserve(&b.mb, kMaxMarkupBuffer), 0);
    EXPECT_EQ(b.text(), "\r\nk=v;");
}

TEST(MarkupBuffer, CreateFromBytesTerminatesAndGrows) {
    MarkupBuffer mb{};
    const std::string big(5000, 'a');
    ASSERT_EQ(markup_buffer_create_from(&mb, big.data(), 5000), 1);
    EXPECT_EQ(mb.size, 5001u);
    EXPECT_GT(mb.capacity, 5004u);
    EXPECT_EQ(mb.capacity % 256, 0u);
    markup_buffer_free(&mb);
    EXPECT_EQ(mb.buffer, nullptr);
    ASSERT_EQ(markup_buffer_create_from(&mb, "a=1;\0junk", 9), 1);
    EXPECT_EQ(mb.size, 5u);
    markup_buffer_free(&mb);
}

TEST(MarkupBuffer, AppendTrimsAndSeparatesLines) {
    Buffer b;
    ASSERT_EQ(markup_buffer_append(&b.mb, "  a=1;\r\n"), 1);
    EXPECT_EQ(b.text(), "a=1;");
    ASSERT_EQ(markup_buffer_append(&b.mb, "\r\n b=2; \r\n"), 1);
    EXPECT_EQ(b.text(), "a=1;\r\nb=2;");
    ASSERT_EQ(markup_buffer_append(&b.mb, std::string(9000, 'x').c_str()), 1);
    EXPECT_EQ(b.mb.size, 11u + 2 + 9000 + 1 - 1 + 0 + 0);
    EXPECT_EQ(markup_buffer_append(&b.mb, nullptr), 0);
}

TEST(MarkupBuffer, ValuesAndBitDepth) {
    Buffer b;
    std::uint32_t depth = 99;
    EXPECT_EQ(markup_buffer_get_bit_depth(&b.mb, &depth), 0);
    ASSERT_EQ(markup_buffer_set_bit_depth(&b.mb, 24), 1);
    EXPECT_EQ(markup_buffer_get_bit_depth(&b.mb, &depth), 1);
    EXPECT_EQ(depth, 24u);
    ASSERT_EQ(markup_buffer_set_bit_depth(&b.mb, 0), 1);
    EXPECT_EQ(markup_buffer_get_bit_depth(&b.mb, &depth), 0) << "zero is no bit depth";
    EXPECT_EQ(b.text(), "\r\nimage.bpp=0;");
    EXPECT_EQ(b.value("IMAGE.BPP"), "0");
    EXPECT_EQ(b.value("image.ppi"), "<absent>");
}

TEST(ImportXmp, CameraRowsBecomeMarkupKeys) {
    const char* xmp = R"(<x:xmpmeta><rdf:RDF><rdf:Description
  tiff:Make="ignored attribute">
 <tiff:Make>Canon</tiff:Make>
 <tiff:Model>EOS;R</tiff:Model>
 <exif:DateTimeOriginal>2021-05-04T10:11:12</exif:DateTimeOriginal>
 <exif:DateTime>2022-01-02T03:04:05+01:00</exif:DateTime>
 <exif:FNumber>28/10</exif:FNumber>
 <exif:FocalLength>500/10</exif:FocalLength>
 <exif:ExposureTime>1/250</exif:ExposureTime>
 <exif:ISOSpeedRatings><rdf:Seq><rdf:li>0400</rdf:li></rdf:Seq></exif:ISOSpeedRatings>
 <exif:Flash rdf:parseType="Resource"><exif:Fired>True</exif:Fired><exif:Mode>2</exif:Mode></exif:Flash>
 <dc:creator><rdf:Seq><rdf:li>Ann</rdf:li><rdf:li>Bob</rdf:li></rdf:Seq></dc:creator>
 <dc:description><rdf:Alt><rdf:li xml:lang="x-default">Line one
line two</rdf:li></rdf:Alt></dc:description>
 <exif:Lens/>
 <xmp:CreatorTool>Tool &amp; Co</xmp:CreatorTool>
</rdf:Description></rdf:RDF></x:xmpmeta>)";
    Buffer b;
    ASSERT_EQ(import_xmp(&b.mb, xmp), 1);
    EXPECT_EQ(b.value("exif.make"), "Canon");
    EXPECT_EQ(b.value("exif.model"), "EOS R") << "';' cannot stand in a value";
    EXPECT_EQ(b.value("exif.date_time_original"), "2021-05-04 10:11:12");
    EXPECT_EQ(b.value("exif.date_time"), "2022-01-02 03:04:05+01:00");
    EXPECT_EQ(b.value("exif.aperture"), "f/2.8");
    EXPECT_EQ(b.value("exif.focal_length"), "50 mm");
    EXPECT_EQ(b.value("exif.exposure_time"), "1/250 sec");
    EXPECT_EQ(b.value("exif.ISO_speed"), "ISO-400");
    EXPECT_EQ(b.value("exif.flash"), "2");
    EXPECT_EQ(b.value("exif.artist"), "Ann");
    EXPECT_EQ(b.value("exif.description"), "Line one line two");
    EXPECT_EQ(b.value("exif.lens"), "") << "a self-closing element has empty content";
    EXPECT_EQ(b.value("exif.software"), "Tool &amp  Co") << "no entity decoding; no ';' either";
    EXPECT_EQ(b.value("exif.orientation"), "<absent>");
}

TEST(ImportXmp, NestedSameNamedElementsAndOddRationals) {
    Buffer b;
    ASSERT_EQ(import_xmp(&b.mb, "<tiff:Model>a<tiff:Model>b</tiff:Model>c</tiff:Model>"
                                "<exif:FNumber>5.6</exif:FNumber>"
                                "<exif:FocalLength>35/0</exif:FocalLength>"
                                "<exif:DateTimeDigitized>unterminated"),
              1);
    EXPECT_EQ(b.value("exif.model"), "a<tiff:Model>b</tiff:Model>c");
    EXPECT_EQ(b.value("exif.aperture"), "5.6");
    EXPECT_EQ(b.value("exif.focal_length"), "35/0");
    EXPECT_EQ(b.value("exif.date_time_digitized"), "<absent>");
    EXPECT_EQ(import_xmp(nullptr, "<tiff:Make>x</tiff:Make>"), 0);
}

TEST(ImportXmp, ContentIsCutAt1023Characters) {
    Buffer b;
    const std::string xmp = "<tiff:Make>" + std::string(3000, 'm') + "</tiff:Make>";
    ASSERT_EQ(import_xmp(&b.mb, xmp), 1);
    char v[4096];
    ASSERT_EQ(markup_buffer_get_value(&b.mb, "exif.make", v, sizeof(v)), 1);
    EXPECT_EQ(std::string(v).size(), 1023u);
}

// XMP packets inside the shared camera samples, when present: every packet imports, and the
// markup stays one entry per line.
TEST(ImportXmp, PacketsOfSharedCameraSamplesImportCleanly) {
    const char* root = std::getenv("VT_SHARED_TESTDATA");
    const std::filesystem::path folder =
        std::filesystem::path(root == nullptr ? "" : root) / "exiftool-metadata";
    std::error_code ec;
    if (root == nullptr || !std::filesystem::is_directory(folder, ec))
        GTEST_SKIP() << "no shared test data";
    int packets = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        const std::string bytes = all.str();
        const std::size_t begin = bytes.find("<x:xmpmeta");
        const std::size_t end = bytes.find("</x:xmpmeta>", begin);
        if (begin == std::string::npos || end == std::string::npos)
            continue;
        ++packets;
        Buffer b;
        ASSERT_EQ(import_xmp(&b.mb, std::string_view(bytes).substr(begin, end - begin)), 1);
        std::stringstream lines(b.text());
        for (std::string line; std::getline(lines, line, '\n');) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            EXPECT_EQ(line.find(';'), line.size() - 1) << entry.path() << ": " << line;
            EXPECT_NE(line.find('='), std::string::npos) << entry.path() << ": " << line;
        }
    }
    EXPECT_GT(packets, 0);
}

} // namespace
} // namespace vt::image
