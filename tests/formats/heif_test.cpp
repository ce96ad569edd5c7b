#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

std::optional<Frame> heif_convert(const std::filesystem::path& file) {
    return decoded_by("heif-convert", file);
}

// heif-enc's files from ImageMagick's pictures: AVIF and HEIC, lossless and lossy.
void make_corpus(const std::filesystem::path& folder) {
    magick_sources(folder);
    for (const char* source : {"opaque", "alpha"}) {
        const std::filesystem::path png = folder / (std::string(source) + ".png");
        EXPECT_TRUE(
            run_tool("heif-enc -A -L -o " + quoted(folder / source) + ".avif " + quoted(png)));
        EXPECT_TRUE(
            run_tool("heif-enc -q 60 -o " + quoted(folder / source) + ".heic " + quoted(png)));
        // Named for the corpus extension: libheif goes by the bytes.
        std::filesystem::rename(folder / (std::string(source) + ".heic"),
                                folder / (std::string(source) + "-hevc.avif"));
    }
}

// Lossless AVIF round trips within 1 (libheif's RGB to GBR planes rounds); heif-convert decodes
// the saved files alike.
VT_FORMAT_CONFORMANCE(Heif,
                      FormatRow{
                          .plugin = "fmx_HEIF",
                          .extension = ".avif",
                          .header = nullptr,
                          .reference = heif_convert,
                          .corpus_extension = ".avif",
                          .compared = 4,
                          .tolerance = 1,
                          .round_trip_tolerance = 1,
                          .prepare = [] { HarnessServices::set_state(u"fmx_HEIF.lossless", "1"); },
                          .make_corpus_in = make_corpus});

} // namespace
} // namespace vt::test
