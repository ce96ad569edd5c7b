#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfTiledOutputFile.h>
#include <gtest/gtest.h>
#include <half.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

// A header by hand: `channels` of the given pixel type (0 uint, 1 half, 2 float), ZIP, the
// data window of width x height, `flags` (the version's second byte), `extra` attributes; the
// offset table and data left out.
std::string exr_header(std::uint32_t width, std::uint32_t height,
                       const std::vector<std::pair<std::string, int>>& channels = {{"R", 1},
                                                                                   {"G", 1},
                                                                                   {"B", 1}},
                       int flags = 0, const std::string& extra = {}) {
    const auto attribute = [](const std::string& name, const std::string& type,
                              const std::string& value) {
        std::string s = name + '\0' + type + '\0';
        le32(s, static_cast<std::uint32_t>(value.size()));
        return s + value;
    };
    std::string list;
    for (const auto& [name, type] : channels) {
        list += name + '\0';
        le32(list, static_cast<std::uint32_t>(type));
        list += std::string(4, '\0');
        le32(list, 1);
        le32(list, 1);
    }
    list += '\0';
    std::string box;
    for (const std::uint32_t v : {0u, 0u, width - 1, height - 1})
        le32(box, v);
    std::string one, zero8(8, '\0');
    le32(one, 0x3F800000);
    std::string s = "\x76\x2f\x31\x01";
    le32(s, 2 | static_cast<std::uint32_t>(flags) << 8);
    return s + attribute("channels", "chlist", list) +
           attribute("compression", "compression", "\x03") + attribute("dataWindow", "box2i", box) +
           attribute("displayWindow", "box2i", box) +
           attribute("lineOrder", "lineOrder", std::string(1, '\0')) +
           attribute("pixelAspectRatio", "float", one) +
           attribute("screenWindowCenter", "v2f", zero8) +
           attribute("screenWindowWidth", "float", one) + extra + '\0';
}

std::string conformance_header(std::uint32_t width, std::uint32_t height) {
    return exr_header(width, height);
}

// No outside decoder of EXR here: the library's own files, made below, are the references.
VT_FORMAT_CONFORMANCE(Exr, FormatRow{.plugin = "fmx_EXR",
                                     .extension = ".exr",
                                     .header = conformance_header,
                                     .round_trip_tolerance = 1});

double display(std::uint16_t v) {
    return v / 65535.0;
}

class ExrPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_EXR"); }
    void TearDown() override { HarnessServices::state().clear(); }

    LoadResult load_deep(const std::string& file) {
        LoadOptions options;
        options.want_deep = true;
        return load_with(api(), file, options);
    }
};

// Our own files, at each compression, come back as the 16-bit picture within the half float's
// precision (2^-11 of a value, twice for colours multiplied by alpha and divided again, and the
// half's smallest step divided by alpha), and their 8-bit frame is its rounding; exrheader
// reads what we wrote.
TEST_F(ExrPlugin, DeepPicturesComeBackAtEachCompression) {
    DeepFrame deep{.width = 64, .height = 40, .channels = 4, .bits = 16};
    Frame frame{.width = 64, .height = 40};
    for (std::uint32_t y = 0; y < 40; ++y)
        for (std::uint32_t x = 0; x < 64; ++x) {
            const auto r = static_cast<std::uint16_t>(x * 1040),
                       g = static_cast<std::uint16_t>(y * 1680),
                       b = static_cast<std::uint16_t>((x * 40 + y) * 37),
                       a = static_cast<std::uint16_t>(y < 20 ? 65535 : 65535 - x * 1000);
            deep.samples.insert(deep.samples.end(), {r, g, b, a});
            frame.pixels.push_back(bgrt((r * 255u + 32767) / 65535, (g * 255u + 32767) / 65535,
                                        (b * 255u + 32767) / 65535,
                                        255 - (a * 255u + 32767) / 65535));
        }
    const bool exrheader = run_tool("command -v exrheader");
    for (const auto& [option, name] : std::initializer_list<std::pair<const char*, const char*>>{
             {nullptr, "zip"}, {"0", "none"}, {"4", "piz"}, {"3", "zip"}}) {
        SCOPED_TRACE(name);
        if (option != nullptr)
            HarnessServices::set_state(u"fmx_EXR.compression", option);
        const std::filesystem::path file = std::filesystem::path(m_temp.path()) / "deep.exr";
        const SaveResult saved = save_with(api(), file.string(), {frame}, 0, &deep);
        ASSERT_EQ(saved.result, VT_OK);
        EXPECT_TRUE(saved.deep_written);
        const LoadResult back = load_deep(file.string());
        ASSERT_EQ(back.result, VT_OK);
        ASSERT_EQ(back.deep.samples.size(), deep.samples.size());
        int outside = 0;
        for (std::size_t i = 0; i < deep.samples.size(); ++i) {
            const double a = display(deep.samples[i | 3]);
            const double s = display(deep.samples[i]);
            const double bound =
                i % 4 == 3 ? 65535 * std::ldexp(a, -11) + 1
                           : 65535 * ((s + 0.055) / 2.4 * std::ldexp(1.0, a < 1 ? -10 : -11) +
                                      12.92 * std::ldexp(1.0, -24) / a) +
                                 1;
            outside += std::abs(back.deep.samples[i] - deep.samples[i]) > bound;
        }
        EXPECT_EQ(outside, 0);
        const std::vector<std::uint16_t>& d = back.deep.samples;
        for (std::size_t p = 0; p < back.frames[0].pixels.size(); ++p)
            ASSERT_EQ(back.frames[0].pixels[p],
                      bgrt((d[p * 4] * 255u + 32767) / 65535, (d[p * 4 + 1] * 255u + 32767) / 65535,
                           (d[p * 4 + 2] * 255u + 32767) / 65535,
                           255 - (d[p * 4 + 3] * 255u + 32767) / 65535))
                << p;
        if (exrheader) {
            const std::filesystem::path text = std::filesystem::path(m_temp.path()) / "header.txt";
            ASSERT_TRUE(
                run_tool("exrheader " + quoted(file) + " >" + quoted(text) + " 2>&1; true"));
            const std::string said = read_bytes(text);
            EXPECT_NE(said.find(std::string("compression (type compression): ") + name),
                      std::string::npos)
                << said;
            EXPECT_NE(said.find("A, 16-bit floating-point"), std::string::npos) << said;
        }
    }
}

struct Channel {
    const char* name;
    Imf::PixelType type;
    std::vector<float> values; // one a pixel, top-down
};

// Each channel's values in its own type, and the slices that point at them.
Imf::FrameBuffer slices(const std::vector<Channel>& channels, const Imath::Box2i& window,
                        std::vector<std::vector<std::uint32_t>>& storage) {
    Imf::FrameBuffer buffer;
    storage.assign(channels.size(), {});
    for (std::size_t i = 0; i < channels.size(); ++i) {
        for (const float v : channels[i].values)
            storage[i].push_back(channels[i].type == Imf::UINT   ? static_cast<std::uint32_t>(v)
                                 : channels[i].type == Imf::HALF ? half(v).bits()
                                                                 : std::bit_cast<std::uint32_t>(v));
        // Half values sit in the low bytes of each word (little-endian).
        buffer.insert(channels[i].name, Imf::Slice::Make(channels[i].type, storage[i].data(),
                                                         window, sizeof(std::uint32_t)));
    }
    return buffer;
}

// A 2 x 2 file by the library: scanlines, tiles, or two parts of which the first is `channels`
// and the second all ones; the data window starts at (-3, 5).
void write_library_file(const std::string& path, const std::vector<Channel>& channels, int form) {
    const Imath::Box2i window(Imath::V2i(-3, 5), Imath::V2i(-2, 6));
    Imf::Header header(window, window);
    for (const Channel& c : channels)
        header.channels().insert(c.name, Imf::Channel(c.type));
    std::vector<std::vector<std::uint32_t>> storage, other_storage;
    const Imf::FrameBuffer buffer = slices(channels, window, storage);
    if (form == 1) {
        header.setTileDescription(Imf::TileDescription(1, 1));
        Imf::TiledOutputFile out(path.c_str(), header);
        out.setFrameBuffer(buffer);
        out.writeTiles(0, 1, 0, 1);
    } else if (form == 2) {
        Imf::Header second = header;
        header.setName("first");
        header.setType(Imf::SCANLINEIMAGE);
        second.setName("second");
        second.setType(Imf::SCANLINEIMAGE);
        Imf::MultiPartOutputFile out(path.c_str(), std::vector<Imf::Header>{header, second}.data(),
                                     2);
        Imf::OutputPart first(out, 0);
        first.setFrameBuffer(buffer);
        first.writePixels(2);
        std::vector<Channel> ones = channels;
        for (Channel& c : ones)
            c.values.assign(4, 1.0f);
        Imf::OutputPart other(out, 1);
        other.setFrameBuffer(slices(ones, window, other_storage));
        other.writePixels(2);
    } else {
        Imf::OutputFile out(path.c_str(), header);
        out.setFrameBuffer(buffer);
        out.writePixels(2);
    }
}

// Linear 0.25 and 0.5 are 35199 and 48192 through the sRGB curve; colours are stored multiplied
// by alpha.
TEST_F(ExrPlugin, ChannelsTypesAndLayoutsOfTheLibrarysFiles) {
    const struct {
        const char* what;
        std::vector<Channel> channels;
        int form; // 0 scanlines, 1 tiles, 2 two parts
        std::vector<std::uint16_t> deep;
    } cases[] = {
        {"float RGB in tiles, rows kept in order",
         {{"R", Imf::FLOAT, {0.25f, 0.5f, 1, 2}},
          {"G", Imf::FLOAT, {0, 0, 0, 0}},
          {"B", Imf::FLOAT, {-1, 0, 0, 0}}},
         1,
         {35199, 0, 0, 65535, 48192, 0, 0, 65535, 65535, 0, 0, 65535, 65535, 0, 0, 65535}},
        {"float luminance and alpha, unmultiplied",
         {{"Y", Imf::FLOAT, {0.125f, 0.25f, 0, 0.5f}}, {"A", Imf::FLOAT, {0.5f, 1, 0, 1}}},
         0,
         {35199, 32768, 35199, 65535, 0, 0, 48192, 65535}},
        {"unsigned integers clipped to 1",
         {{"R", Imf::UINT, {0, 1, 7, 0}},
          {"G", Imf::UINT, {0, 0, 0, 0}},
          {"B", Imf::UINT, {0, 0, 0, 0}}},
         0,
         {0, 0, 0, 65535, 65535, 0, 0, 65535, 65535, 0, 0, 65535, 0, 0, 0, 65535}},
        {"the first of two parts",
         {{"Y", Imf::HALF, {0.25f, 0.25f, 0.25f, 0.25f}}},
         2,
         {35199, 65535, 35199, 65535, 35199, 65535, 35199, 65535}},
    };
    for (const auto& c : cases) {
        const std::string file = m_temp / "library.exr";
        ASSERT_NO_THROW(write_library_file(file, c.channels, c.form)) << c.what;
        const LoadResult loaded = load_deep(file);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].width, 2u) << c.what;
        EXPECT_EQ(loaded.deep.samples, c.deep) << c.what;
    }
}

TEST_F(ExrPlugin, HostileFilesAreRefused) {
    const std::string rgb = exr_header(4, 4);
    expect_results({
        {"no colour channel", exr_header(4, 4, {{"Z", 2}}) + std::string(200, '\0'),
         VT_ERR_NOT_IMPLEMENTED},
        {"luminance and chroma",
         exr_header(4, 4, {{"BY", 1}, {"RY", 1}, {"Y", 1}}) + std::string(200, '\0'),
         VT_ERR_NOT_IMPLEMENTED},
        {"deep data", exr_header(4, 4, {{"R", 1}}, 0x08) + std::string(200, '\0'),
         VT_ERR_NOT_IMPLEMENTED},
        {"a huge window in a tiny file", exr_header(15000, 15000, {{"R", 2}}), VT_ERR_READ},
        {"an offset table pointing nowhere", rgb + std::string(8, '\x7f') + std::string(64, '\0'),
         VT_ERR_INVALID_DATA},
        {"a cut header", rgb.substr(0, 60), VT_ERR_READ},
        // The library allocates an attribute of a type it does not know at its stated size.
        {"an attribute larger than the file",
         rgb.substr(0, rgb.size() - 1) + "x" + '\0' + "y" + '\0' +
             std::string("\x00\x00\x00\x60", 4) + std::string(64, '\0'),
         VT_ERR_READ},
        // 1 x 1 tiles over 240,000,000 pixels: a table of 1.9 GB the file cannot hold.
        {"a table of tiles larger than the file",
         exr_header(60000, 4000, {{"R", 1}}, 0x02,
                    std::string("tiles\0tiledesc\0\x09\0\0\0\x01\0\0\0\x01\0\0\0\0", 28)) +
             std::string(600000, '\0'),
         VT_ERR_READ},
    });
}

} // namespace
} // namespace vt::test
