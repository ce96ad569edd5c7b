#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "formats/jpeg/jpeg_glue.h"
#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

void be16(std::string& s, std::uint32_t v) {
    s += static_cast<char>((v >> 8) & 0xFF);
    s += static_cast<char>(v & 0xFF);
}

std::string segment(int marker, std::string_view data) {
    std::string out("\xFF", 1);
    out += static_cast<char>(marker);
    be16(out, static_cast<std::uint32_t>(data.size() + 2));
    out += data;
    return out;
}

// A scan header over `components`, as the frame header needs to be read at all.
std::string scan(int components) {
    std::string sos(1, static_cast<char>(components));
    for (int c = 0; c < components; ++c) {
        sos += static_cast<char>(c + 1);
        sos += '\0';
    }
    sos += std::string("\0\x3F\0", 3);
    return segment(0xDA, sos);
}

// A baseline header: SOI, one quantisation table, a frame of `components` and, when asked, an
// empty Huffman table and a scan header, followed by `tail`.
std::string jpeg_header(std::uint32_t width, std::uint32_t height, int components = 3,
                        std::string_view tail = "") {
    std::string out("\xFF\xD8", 2);
    out += segment(0xDB, std::string(1, '\0') + std::string(64, '\x01'));
    std::string sof;
    sof += '\x08';
    be16(sof, height);
    be16(sof, width);
    sof += static_cast<char>(components);
    for (int c = 0; c < components; ++c) {
        sof += static_cast<char>(c + 1);
        sof += '\x11';
        sof += '\0';
    }
    out += segment(0xC0, sof);
    out += tail;
    return out;
}

// Inserts segments right after SOI.
std::string with_segments(const std::string& jpeg, const std::string& segments) {
    return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

// Files of the conformance suite that are broken on purpose.
bool broken_on_purpose(const std::string& name) {
    return name == "partial_progressive.jpg" || name.rfind("progressive-missing-", 0) == 0 ||
           name == "extraneous-data.jpg";
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return width > 65535 ? std::string() : jpeg_header(width, height, 3, scan(3));
}

// The rendering beside a file of the suite; none for the lossless files, which libjpeg-turbo
// 2.x cannot decode, and for a PNG under a JPEG name.
std::optional<Frame> rendering(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    auto png = file;
    png.replace_extension(".png");
    if (broken_on_purpose(name) || name == "jpg-size-6x6.jpg" ||
        file.parent_path().filename() == "lossless" || !std::filesystem::exists(png))
        return std::nullopt;
    return png_frame(png);
}

VT_FORMAT_CONFORMANCE(Jpeg, FormatRow{.plugin = "fmx_JPEG",
                                      .extension = ".jpg",
                                      .header = header,
                                      .reference = rendering,
                                      .corpus = "jpeg-decoder-tests",
                                      .corpus_extension = ".jpg",
                                      .compared = 28,
                                      .tolerance = 2,
                                      .round_trip_tolerance = 8,
                                      .keeps_transparency = false,
                                      .cut_keeps_whole_frames = true});

// What the glue hands over, captured for the tests that look past the markup.
struct Captured {
    std::vector<std::uint32_t> pixels;
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> exif;
    std::uint32_t width = 0;
    std::string reason;
};

std::int32_t capture_begin(void* context, const VtJpegHeader* header, VtJpegTarget* target) {
    auto* c = static_cast<Captured*>(context);
    c->width = header->width;
    c->pixels.assign(static_cast<std::size_t>(header->width) * header->height, 0);
    target->pixels = c->pixels.data();
    target->stride = header->width;
    return 1;
}

void capture_metadata(void* context, const VtJpegMetadata* meta) {
    auto* c = static_cast<Captured*>(context);
    if (meta->icc != nullptr)
        c->icc.assign(meta->icc, meta->icc + meta->icc_size);
    if (meta->exif != nullptr)
        c->exif.assign(meta->exif, meta->exif + meta->exif_size);
}

void capture_reason(void* context, const char* reason) {
    static_cast<Captured*>(context)->reason = reason;
}

std::int32_t read_with_glue(const std::string& bytes, Captured& out) {
    const VtJpegReadSink sink{&out, capture_begin, capture_metadata, capture_reason};
    return vt_jpeg_read(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &sink);
}

class JpegPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_JPEG"); }
    void TearDown() override {
        for (const char16_t* name :
             {u"fmx_JPEG.quality", u"fmx_JPEG.progressive", u"fmx_JPEG.subsampling"})
            HarnessServices::state().erase(name);
    }
};

TEST_F(JpegPlugin, TransparencyIsFlattenedOverWhite) {
    Frame picture = smooth_picture(16, 16);
    for (std::uint32_t& p : picture.pixels)
        p = bgrt(0, 0, 0, 255);
    picture.pixels[0] = bgrt(0, 0, 0, 0);
    const std::string file = m_temp / "clear.jpg";
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_LE(max_difference(loaded.frames[0].pixels[255], bgrt(255, 255, 255)), 3);
    EXPECT_EQ(loaded.frames[0].pixels[255] >> 24, 0u);
}

TEST_F(JpegPlugin, SuiteFilesLoadWithTheirDepthOrAreRefused) {
    VT_TESTDATA_OR_SKIP(root, "jpeg-decoder-tests/reftest");
    // libjpeg-turbo 2.x has no lossless decoder; junk before the end marker is ignored.
    const auto lossless = files_in(root / "lossless", ".jpg");
    EXPECT_EQ(lossless.size(), 7u);
    std::vector<std::pair<std::filesystem::path, std::int32_t>> cases = {
        {root / "mozilla/jpg-size-6x6.jpg", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {root / "extraneous-data.jpg", VT_OK},
        {root / "mozilla/jpg-gray.jpg", 8},
        {root / "mozilla/jpg-cmyk-1.jpg", 32}};
    for (const auto& path : lossless)
        cases.emplace_back(path, VT_ERR_NOT_IMPLEMENTED);
    // Outcome: the result of a failure, or the bit depth of a load (VT_OK: any).
    for (const auto& [path, outcome] : cases) {
        const LoadResult loaded = load_with(api(), path.string());
        EXPECT_EQ(loaded.result, outcome < 0 ? outcome : VT_OK) << path;
        EXPECT_EQ(loaded.frames.empty(), outcome < 0) << path;
        if (outcome > VT_OK) {
            EXPECT_TRUE(has_entry(loaded.frames[0], "image.bpp=" + std::to_string(outcome) + ";"));
        }
    }
    // Stray bytes between markers cost no pixel: no damage to report.
    EXPECT_EQ(load_with(api(), (root / "extraneous-data.jpg").string()).warnings, 0);
}

TEST_F(JpegPlugin, LibjpegTurboReferenceImages) {
    VT_TESTDATA_OR_SKIP(folder, "jpeg-libjpeg-turbo");
    // The encoder's input picture, a binary PPM with a plain header.
    std::istringstream ppm(read_bytes(folder / "testorig.ppm"));
    std::string magic;
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    int maximum = 0;
    ppm >> magic >> w >> h >> maximum;
    ppm.get();
    ASSERT_EQ(magic, "P6");
    ASSERT_EQ(maximum, 255);
    std::string samples(static_cast<std::size_t>(w) * h * 3, '\0');
    ppm.read(samples.data(), static_cast<std::streamsize>(samples.size()));
    ASSERT_TRUE(ppm);
    std::vector<std::vector<std::uint32_t>> decoded;
    for (const char* name : {"testorig.jpg", "testimgint.jpg", "testimgari.jpg"}) {
        SCOPED_TRACE(name);
        const LoadResult loaded = load_with(api(), (folder / name).string());
        ASSERT_EQ(loaded.result, VT_OK);
        const Frame& f = loaded.frames.at(0);
        ASSERT_EQ(f.width, w);
        ASSERT_EQ(f.height, h);
        // The PNG is the encoder's input, so only closeness can be asked for.
        double squares = 0;
        for (std::size_t i = 0; i < f.pixels.size(); ++i)
            for (int c = 0; c < 3; ++c) {
                const double d =
                    static_cast<double>((f.pixels[i] >> (16 - 8 * c)) & 0xFF) -
                    static_cast<std::uint8_t>(samples[i * 3 + static_cast<std::size_t>(c)]);
                squares += d * d;
            }
        const double mse = squares / (3.0 * static_cast<double>(f.pixels.size()));
        EXPECT_GT(10.0 * std::log10(255.0 * 255.0 / mse), 30.0);
        decoded.push_back(f.pixels);
    }
    // The arithmetic-coded file holds the same coefficients as the integer-DCT one.
    EXPECT_EQ(decoded.at(1), decoded.at(2));
    // 12-bit samples are beyond an 8-bit libjpeg-turbo build: refused with the reason, never
    // squeezed into 8 bits.
    const LoadResult twelve = load_with(api(), (folder / "monkey12.jpg").string());
    EXPECT_EQ(twelve.result, VT_ERR_NOT_IMPLEMENTED);
    EXPECT_TRUE(twelve.frames.empty());
}

TEST(JpegGlue, RefusalsSayWhy) {
    VT_TESTDATA_OR_SKIP(folder, "jpeg-libjpeg-turbo");
    VT_TESTDATA_OR_SKIP(reftest, "jpeg-decoder-tests/reftest");
    const auto lossless = files_in(reftest / "lossless", ".jpg");
    ASSERT_FALSE(lossless.empty());
    const std::pair<std::filesystem::path, const char*> cases[] = {
        {folder / "monkey12.jpg", "12-bit JPEG is not supported: only 8-bit samples are read"},
        {lossless.front(), "lossless JPEG is not supported"},
        {folder / "testorig.jpg", ""}};
    for (const auto& [path, reason] : cases) {
        Captured out;
        EXPECT_EQ(read_with_glue(read_bytes(path), out),
                  *reason != 0 ? VT_ERR_NOT_IMPLEMENTED : VT_OK)
            << path;
        EXPECT_EQ(out.reason, reason) << path;
    }
}

// The plug-in reads files in 64 KiB chunks; cut anywhere, a file must decode as it does whole
// in memory, chunk boundaries included.
TEST_F(JpegPlugin, ChunkedReadMatchesTheReadFromMemory) {
    Frame picture = smooth_picture(640, 480);
    for (std::size_t i = 0; i < picture.pixels.size(); ++i)
        picture.pixels[i] ^= static_cast<std::uint32_t>(i * 2654435761u) & 0x003F3F3Fu;
    HarnessServices::set_state(u"fmx_JPEG.quality", std::string("\x64\0\0\0", 4));
    const std::string file = m_temp / "chunks.jpg";
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    const std::string whole = read_bytes(file);
    ASSERT_GT(whole.size(), 3u * 65536u);
    for (const std::size_t size : {whole.size(), std::size_t{3 * 65536 + 1}, std::size_t{131072},
                                   std::size_t{65535}, std::size_t{700}, std::size_t{2}}) {
        std::string bytes = whole.substr(0, size);
        Captured from_memory;
        Captured from_file;
        const std::int32_t expected = read_with_glue(bytes, from_memory);
        std::FILE* stream = ::fmemopen(bytes.data(), bytes.size(), "rb");
        ASSERT_NE(stream, nullptr);
        const VtJpegReadSink sink{&from_file, capture_begin, capture_metadata, capture_reason};
        EXPECT_EQ(vt_jpeg_read_file(stream, bytes.size(), &sink), expected) << size;
        std::fclose(stream);
        EXPECT_EQ(from_file.pixels, from_memory.pixels) << size;
    }
}

TEST_F(JpegPlugin, HostileHeadersAreRefusedBeforeAllocating) {
    const Refusal cases[] = {
        {"start marker only", std::string("\xFF\xD8\xFF", 3), VT_ERR_READ},
        {"more pixels than a bitmap, grey", jpeg_header(20000, 20000, 1, scan(1)),
         VT_ERR_DIMENSIONS},
        {"two components", jpeg_header(8, 8, 2, scan(2)), VT_ERR_NOT_IMPLEMENTED},
        {"no scan", jpeg_header(8, 8, 3, std::string("\xFF\xD9", 2)), VT_ERR_INVALID_DATA},
        {"cut after the frame", jpeg_header(8, 8), VT_ERR_READ}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        EXPECT_EQ(loaded.result, c.result) << c.what;
        EXPECT_TRUE(loaded.frames.empty()) << c.what;
    }
}

TEST_F(JpegPlugin, StateEntriesChangeTheOutput) {
    const Frame picture = make_picture(128, 96, false);
    auto saved = [&](std::u16string_view name, std::string_view value) {
        if (!value.empty())
            HarnessServices::set_state(name, value);
        const std::string file = m_temp / "options.jpg";
        EXPECT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        HarnessServices::state().erase(std::u16string(name));
        return read_bytes(file);
    };
    const std::string standard = saved(u"fmx_JPEG.quality", "");
    const std::string low = saved(u"fmx_JPEG.quality", "20");
    const std::string high = saved(u"fmx_JPEG.quality", std::string("\x64\0\0\0", 4));
    EXPECT_LT(low.size(), standard.size());
    EXPECT_GT(high.size(), standard.size());
    const std::string baseline_sof("\xFF\xC0", 2);
    const std::string progressive_sof("\xFF\xC2", 2);
    EXPECT_NE(standard.find(baseline_sof), std::string::npos);
    const std::string progressive = saved(u"fmx_JPEG.progressive", "1");
    EXPECT_NE(progressive.find(progressive_sof), std::string::npos);
    EXPECT_EQ(progressive.find(baseline_sof), std::string::npos);
    // The luma sampling factors sit 11 bytes after the frame marker.
    auto luma_sampling = [&](const std::string& jpeg) {
        return static_cast<int>(jpeg.at(jpeg.find(baseline_sof) + 11));
    };
    EXPECT_EQ(luma_sampling(standard), 0x11);
    EXPECT_EQ(luma_sampling(low), 0x22);
    EXPECT_EQ(luma_sampling(saved(u"fmx_JPEG.subsampling", "1")), 0x22);
    HarnessServices::set_state(u"fmx_JPEG.quality", "50");
    EXPECT_EQ(luma_sampling(saved(u"fmx_JPEG.subsampling", "0")), 0x11);
}

TEST_F(JpegPlugin, ExifGoesToTheMarkupService) {
    VT_TESTDATA_OR_SKIP(folder, "exif-orientation");
    const auto files = files_in(folder, ".jpg");
    ASSERT_FALSE(files.empty());
    HarnessServices::last_exif().clear();
    const LoadResult loaded = load_with(api(), files.back().string());
    ASSERT_EQ(loaded.result, VT_OK);
    const auto& exif = HarnessServices::last_exif();
    ASSERT_GE(exif.size(), 8u);
    const std::string order(exif.begin(), exif.begin() + 4);
    EXPECT_TRUE(order == std::string("MM\0*", 4) || order == std::string("II*\0", 4));
}

TEST_F(JpegPlugin, XmpPacketBecomesMarkup) {
    const std::string file = m_temp / "xmp.jpg";
    ASSERT_EQ(save_with(api(), file, {make_picture(4, 3, false)}).result, VT_OK);
    const std::string xmp = "<x:xmpmeta><rdf:Description><tiff:Make>Vantrel Cam</tiff:Make>"
                            "</rdf:Description></x:xmpmeta>";
    const std::string app1 = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + xmp;
    write_bytes(file, with_segments(read_bytes(file), segment(0xE1, app1)));
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_TRUE(has_entry(loaded.frames[0], "exif.make=Vantrel Cam;"));
}

TEST(JpegGlue, ProfileSplitOverMarkersComesBackWhole) {
    // Larger than one APP2 marker holds, so it is written in three pieces.
    const std::vector<std::uint8_t> profile = block_bytes(150000);
    const std::vector<std::uint8_t> exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
    const Frame picture = smooth_picture(8, 8);
    VtJpegWriteOptions options{};
    options.quality = 90;
    options.icc = profile.data();
    options.icc_size = static_cast<std::uint32_t>(profile.size());
    options.exif = exif.data();
    options.exif_size = static_cast<std::uint32_t>(exif.size());
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* memory = ::open_memstream(&buffer, &size);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(vt_jpeg_write(memory, picture.pixels.data(), 8, 8, 8, &options), 1);
    std::fclose(memory);
    const std::string bytes(buffer, size);
    std::free(buffer);
    std::size_t pieces = 0;
    for (std::size_t at = bytes.find("ICC_PROFILE"); at != std::string::npos;
         at = bytes.find("ICC_PROFILE", at + 1))
        ++pieces;
    EXPECT_EQ(pieces, 3u);
    Captured captured;
    ASSERT_EQ(read_with_glue(bytes, captured), 1);
    EXPECT_EQ(captured.icc, profile);
    EXPECT_EQ(captured.exif, exif);
}

TEST(JpegGlue, SplitProfilesOfTheSuiteKeepThePixels) {
    VT_TESTDATA_OR_SKIP(folder, "jpeg-decoder-tests/icc");
    int files = 0;
    for (const auto& path : files_in(folder, ".jpeg")) {
        SCOPED_TRACE(path.filename().string());
        Captured captured;
        EXPECT_EQ(read_with_glue(read_bytes(path), captured), 1);
        EXPECT_EQ(captured.pixels.size(), 1u);
        // Each of its 254 pieces holds one byte, its own sequence number.
        if (path.filename() == "icc_chunk_order.jpeg") {
            ASSERT_EQ(captured.icc.size(), 254u);
            for (std::size_t i = 0; i < captured.icc.size(); ++i)
                EXPECT_EQ(captured.icc[i], i + 1);
        }
        ++files;
    }
    EXPECT_EQ(files, 5);
}

} // namespace
} // namespace vt::test
