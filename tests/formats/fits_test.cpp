#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

} // namespace
} // namespace vt::test
