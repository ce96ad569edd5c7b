#include <gtest/gtest.h>

#include "tests/formats/format_conformance.h"
#include "tests/formats/layered_formats.h"

namespace vt::test {
namespace {

// Python's zipfile puts ImageMagick's PNG into a Krita container as its merged picture; the
// PNG stays beside it as the reference.
bool wrap(const std::string& png, const std::string& kra) {
    return run_tool("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[2], 'w'); "
                    "z.writestr(zipfile.ZipInfo('mimetype'), 'application/x-krita'); "
                    "z.writestr('maindoc.xml', '<DOC><IMAGE x-res=\\\"150\\\" y-res=\\\"150\\\"/>"
                    "</DOC>'); z.write(sys.argv[1], 'mergedimage.png', zipfile.ZIP_DEFLATED)\" '" +
                    png + "' '" + kra + "'");
}

int corpus(const std::filesystem::path& folder) {
    const int made = magick_corpus(folder, ".png", {"", "-alpha off", "-colorspace Gray"});
    for (int i = 0; i < made; ++i) {
        const std::string png = (folder / (std::to_string(i) + ".png")).string();
        if (!wrap(png, png.substr(0, png.size() - 4) + ".kra"))
            return 0;
    }
    return made;
}

std::optional<Frame> beside(const std::filesystem::path& file) {
    return magick_frame(std::filesystem::path(file).replace_extension(".png"));
}

std::string header(std::uint32_t width, std::uint32_t height) {
    return zip_claiming("application/x-krita", "maindoc.xml", "<DOC/>", "mergedimage.png", width,
                        height);
}

VT_FORMAT_CONFORMANCE(Kra, FormatRow{.plugin = "fmx_KRA",
                                     .extension = ".kra",
                                     .header = header,
                                     .reference = beside,
                                     .make_corpus = corpus,
                                     .compared = 3,
                                     .sample = [](const std::filesystem::path& file) {
                                         const std::string png = file.string() + ".png";
                                         ASSERT_TRUE(
                                             run_tool("convert -size 9x7 gradient: '" + png + "'"));
                                         ASSERT_TRUE(wrap(png, file.string()));
                                     }});

class KraPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_KRA"); }
};

TEST_F(KraPlugin, MergedPictureComesWithTheDocumentsResolution) {
    const std::string png = m_temp / "m.png";
    ASSERT_TRUE(run_tool("convert -size 9x7 gradient: '" + png + "'"));
    ASSERT_TRUE(wrap(png, m_temp / "doc.kra"));
    const LoadResult loaded = load_with(api(), m_temp / "doc.kra");
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 1u);
    const std::vector<std::uint8_t>& phys = loaded.frames[0].chunks.at(VT_TAG('P', 'H', 'Y', 'S'));
    ASSERT_EQ(phys.size(), 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(phys.begin() + 4, phys.begin() + 13),
              (std::vector<std::uint8_t>{150, 0, 0, 0, 150, 0, 0, 0, 0}));
}

} // namespace
} // namespace vt::test
