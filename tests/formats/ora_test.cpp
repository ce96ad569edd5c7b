#include <gtest/gtest.h>

#include "formats/ora/ora_stack.h"
#include "formats/ora/ora_zip.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/layered_formats.h"

namespace vt::test {
namespace {

// Outside the plug-in: Python's zipfile wraps ImageMagick's PNGs into OpenRaster files and
// checks the layout of ours, handing back the PNG of the bottom layer for ImageMagick.
constexpr const char* kScript = R"py(import sys, zipfile, re, struct
def start(ora, w, h, layers, xres=''):
    z = zipfile.ZipFile(ora, 'w')
    z.writestr(zipfile.ZipInfo('mimetype'), 'image/openraster')
    z.writestr('stack.xml', '<?xml version="1.0"?><image w="%d" h="%d" %s><stack>%s</stack></image>'
               % (w, h, xres, layers), zipfile.ZIP_DEFLATED)
    return z
if sys.argv[1] == 'wrap':
    z = start(sys.argv[3], 37, 23, '<layer name="only" src="data/l.png"/>')
    for n in ('data/l.png', 'mergedimage.png', 'Thumbnails/thumbnail.png'):
        z.write(sys.argv[2], n)
elif sys.argv[1] == 'layered':
    d = sys.argv[2]
    z = start(d + '/doc.ora', 40, 30, '<layer name="\xdcber" src="data/c.png" x="5" y="7" opacity="0.5" '
              'composite-op="svg:multiply"/><stack x="2" y="3" opacity="0.5"><layer name="hid" '
              'src="data/b.png" x="1" y="1" visibility="hidden" composite-op="svg:screen"/></stack>'
              '<layer name="base" src="data/a.png" x="%s"/>' % sys.argv[3], 'xres="300" yres="300"')
    for n in 'abc':
        z.write(d + '/' + n + '.png', 'data/' + n + '.png')
else:
    d = open(sys.argv[2], 'rb').read()
    z = zipfile.ZipFile(sys.argv[2])
    t = z.read('Thumbnails/thumbnail.png')
    ok = d[26:54] == b'\x08\x00\x00\x00mimetypeimage/openraster' and z.testzip() is None
    ok = ok and max(struct.unpack('>II', t[16:24])) <= 256 and 'mergedimage.png' in z.namelist()
    src = re.findall(r'src="([^"]+)"', z.read('stack.xml').decode())[-1]
    open(sys.argv[3], 'wb').write(z.read(src))
    sys.exit(0 if ok else 3)
)py";

std::string script(const std::filesystem::path& folder) {
    const std::filesystem::path path = folder / "ora.py";
    write_bytes(path, kScript);
    return "python3 '" + path.string() + "' ";
}

std::optional<Frame> reference(const std::filesystem::path& file) {
    const std::string png = file.string() + ".png";
    if (!run_tool(script(file.parent_path()) + "check '" + file.string() + "' '" + png + "'"))
        return Frame{.pixels = {1}}; // a layout the format does not allow compares with nothing
    return magick_frame(png);
}

int corpus(const std::filesystem::path& folder) {
    const int made = magick_corpus(
        folder, ".png",
        {"", "-alpha off", "-colorspace Gray", "-type Palette", "-depth 16", "-interlace PNG"});
    for (int i = 0; i < made; ++i) {
        const std::string png = (folder / (std::to_string(i) + ".png")).string();
        if (!run_tool(script(folder) + "wrap '" + png + "' '" + png + ".ora'"))
            return 0;
    }
    return made;
}

// The stack and one PNG layer claim width x height; the layer holds no pixel data.
std::string header(std::uint32_t width, std::uint32_t height) {
    return zip_claiming("image/openraster", "stack.xml",
                        "<image w=\"" + std::to_string(width) + "\" h=\"" + std::to_string(height) +
                            "\"><stack><layer src=\"l.png\"/></stack></image>",
                        "l.png", width, height);
}

VT_FORMAT_CONFORMANCE(Ora, FormatRow{.plugin = "fmx_ORA",
                                     .extension = ".ora",
                                     .header = header,
                                     .reference = reference,
                                     .make_corpus = corpus,
                                     .corpus_extension = ".ora",
                                     .compared = 6,
                                     .layered = true});

class OraPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_ORA"); }
};

// Layers, nested stacks folded, through VT5 and back; a bottom layer off the origin gets the
// empty canvas layer in front, which a save leaves out again.
TEST_F(OraPlugin, LayersKeepTheirFieldsThroughVt5) {
    const std::string d = m_temp.path();
    ASSERT_TRUE(run_tool("convert -size 40x30 gradient:red-blue '" + d +
                         "/a.png' && convert -size 12x10 "
                         "xc:'rgba(0,255,0,0.5)' '" +
                         d +
                         "/b.png' && convert -size 8x6 "
                         "gradient:white-black '" +
                         d + "/c.png'"));
    for (const auto& [base_x, count] : {std::pair{"0", 3u}, std::pair{"4", 4u}}) {
        SCOPED_TRACE(base_x);
        ASSERT_TRUE(run_tool(script(d) + "layered '" + d + "' " + base_x));
        const auto [first, last] = through_vt5(api(), d + "/doc.ora", d + "/again.ora");
        ASSERT_EQ(first.size(), count);
        const LayerRow& top = first[count - 1];
        EXPECT_EQ(top.name, u"\u00dcber");
        EXPECT_EQ(std::tuple(top.x, top.y, top.mode, top.transparency), std::tuple(5, 7, 3, 127));
        const LayerRow& hidden = first[count - 2];
        EXPECT_EQ(std::tuple(hidden.x, hidden.y, hidden.mode, hidden.transparency),
                  std::tuple(3, 4, 0x108, 127));
        EXPECT_EQ(last, first);
        const std::string again = read_bytes(d + "/again.ora");
        formats::ZipReader zip;
        std::vector<std::uint8_t> xml;
        formats::StackDoc doc;
        ASSERT_EQ(zip.open({reinterpret_cast<const std::uint8_t*>(again.data()), again.size()}),
                  VT_OK);
        ASSERT_EQ(zip.read("stack.xml", xml, 1 << 20), VT_OK);
        ASSERT_EQ(formats::parse_stack(xml, doc), VT_OK);
        EXPECT_EQ(std::tuple(doc.width, doc.height, doc.xres), std::tuple(40u, 30u, 300.0));
    }
}

TEST_F(OraPlugin, BombsAndBadStacksAreRefused) {
    formats::ZipWriter bomb;
    const std::string head = "<image w=\"4\" h=\"4\">";
    std::vector<std::uint8_t> xml(head.begin(), head.end());
    xml.resize(20u << 20, ' ');
    bomb.add("mimetype",
             {'i', 'm', 'a', 'g', 'e', '/', 'o', 'p', 'e', 'n', 'r', 'a', 's', 't', 'e', 'r'},
             false);
    bomb.add("stack.xml", std::move(xml), true);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(bomb.finish(bytes), VT_OK);
    EXPECT_LT(bytes.size(), 100000u);
    EXPECT_EQ(load_bytes({reinterpret_cast<const char*>(bytes.data()), bytes.size()}).result,
              VT_ERR_DIMENSIONS);
}

} // namespace
} // namespace vt::test
