#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::string card(const std::string& text) {
    return text + std::string(80 - text.size(), ' ');
}

// A FITS header of 8-bit samples claiming width x height, with `tail` bytes of data after it.
std::string fits_header(std::uint32_t width, std::uint32_t height) {
    std::string out =
        card("SIMPLE  =                    T") + card("BITPIX  =                    8") +
        card("NAXIS   =                    2") + card("NAXIS1  = " + std::to_string(width)) +
        card("NAXIS2  = " + std::to_string(height)) + card("END");
    return out + std::string(2880 - out.size(), ' ');
}

// ImageMagick reads three planes as three grey pictures: -combine makes them one again.
std::optional<Frame> magick(const std::filesystem::path& file) {
    const bool colour = file.filename().string().starts_with("colour");
    return decoded_by(std::string("sh -c 'convert \"$0\" ") + (colour ? "-combine " : "") +
                          "PNG24:\"$1\"'",
                      file);
}

void make_corpus(const std::filesystem::path& folder) {
    magick_sources(folder);
    EXPECT_TRUE(run_tool("convert " + quoted(folder / "opaque.png") + " -colorspace gray " +
                         quoted(folder / "grey.fits")));
    EXPECT_TRUE(run_tool("convert " + quoted(folder / "opaque.png") + " -depth 8 " +
                         quoted(folder / "colour.fits")));
}

VT_FORMAT_CONFORMANCE(Fits, FormatRow{.plugin = "fmx_FITS",
                                      .extension = ".fits",
                                      .header = fits_header,
                                      .reference = magick,
                                      .corpus_extension = ".fits",
                                      .compared = 2,
                                      .tolerance = 1,
                                      .make_corpus_in = make_corpus,
                                      .sample = [](const std::filesystem::path& file) {
                                          std::string bytes = fits_header(24, 20);
                                          for (int i = 0; i < 24 * 20; ++i)
                                              bytes += static_cast<char>(i * 7);
                                          write_bytes(file, bytes); // without the padding
                                      }});

class FitsPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_FITS"); }
};

// A file of `bitpix` samples (big-endian, floats as their bits) in `planes` planes of 7 x 5,
// bottom row first, with the cards given.
std::string fits_file(int bitpix, std::uint32_t planes, const std::string& cards,
                      const std::vector<double>& values) {
    std::string out =
        card("SIMPLE  =                    T") + card("BITPIX  = " + std::to_string(bitpix)) +
        card("NAXIS   = " + std::to_string(planes == 3 ? 3 : 2)) + card("NAXIS1  = 7") +
        card("NAXIS2  = 5") + (planes == 3 ? card("NAXIS3  = 3") : "") + cards + card("END");
    out += std::string((2880 - out.size() % 2880) % 2880, ' ');
    for (const double v : values) {
        std::uint64_t bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
        if (bitpix == -32) {
            const float f = static_cast<float>(v);
            std::uint32_t b = 0;
            std::memcpy(&b, &f, 4);
            bits = b;
        }
        for (int i = std::abs(bitpix) / 8 - 1; i >= 0; --i)
            out += static_cast<char>(bits >> (8 * i));
    }
    return out + std::string((2880 - out.size() % 2880) % 2880, '\0');
}

// Samples of more than 8 bits load at 16 bits, scaled as the 8-bit frame is (here over the
// whole range, so they keep their values) and rounding to that very frame, which stays as it
// was; ImageMagick's own 16-bit files read as it reads them.
TEST_F(FitsPlugin, DeepSamplesScaleAsTheEightBitFrame) {
    const struct {
        const char* name;
        int bitpix;
        std::uint32_t planes;
        std::string cards;
        double offset, step; // the i-th stored value is offset + (i * 4099 % 65536) * step
    } rows[] = {
        {"unsigned 16", 16, 1, card("BZERO   = 32768"), -32768, 1},
        {"signed 16", 16, 1, "", -32768, 1},
        {"float colour", -32, 3, card("DATAMIN = 0.0") + card("DATAMAX = 1.0"), 0, 1.0 / 65535},
        {"8 bits", 8, 1, "", 0, 1.0 / 257},
    };
    LoadOptions ask;
    ask.want_deep = true;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<double> values;
        DeepFrame expected{7, 5, r.planes == 3 ? 4u : 2u, 16, {}};
        expected.samples.resize(7 * 5 * expected.channels, 0xFFFF);
        for (std::uint32_t i = 0; i < 7 * 5 * r.planes; ++i) {
            const std::uint32_t v = i == 0 ? 0 : i == 1 ? 65535 : i * 4099 % 65536;
            values.push_back(r.offset + v * r.step);
            const std::uint32_t x = i % 7, y = 4 - i / 7 % 5, plane = i / 35;
            expected.samples[(y * 7 + x) * expected.channels + plane] =
                static_cast<std::uint16_t>(v);
        }
        const std::string bytes = fits_file(r.bitpix, r.planes, r.cards, values);
        const LoadResult plain = load_bytes(bytes);
        const LoadResult loaded = load_bytes(bytes, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        if (r.bitpix == 8) {
            EXPECT_TRUE(loaded.deep.empty());
            continue;
        }
        EXPECT_EQ(loaded.deep.bits, 16u);
        EXPECT_EQ(loaded.deep.samples, expected.samples);
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
    }
    for (const char* colour : {"", "-colorspace Gray "}) {
        const std::filesystem::path file = m_temp / "magick.fits";
        if (!run_tool(std::string("convert -size 31x17 gradient:'#0102ff-#fefd00' -seed 3 "
                                  "-attenuate 0.2 +noise Uniform ") +
                      colour + "-depth 16 " + quoted(file)))
            GTEST_SKIP() << "no ImageMagick";
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(deep_rgba(loaded.deep),
                  magick_rgba16(quoted(file) + (*colour == 0 ? " -combine" : ""), file));
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
    }
}

} // namespace
} // namespace vt::test
