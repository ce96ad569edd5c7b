#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/layered_formats.h"
#include "tests/formats/outside_tools.h"
#include "tests/formats/wide_profile.h"

namespace vt::test {
namespace {

// XCF files written by Python after GIMP's description of the format: stored forms our writer
// never makes (raw, literal-only run-length and zlib tiles; grey, indexed, 16-bit and linear
// float samples; 64-bit pointers), each with the picture beside it as a PAM file.
constexpr const char* kScript = R"py(import sys, struct, zlib
W, H = 70, 66
def px(x, y): return ((x * 3) % 256, (y * 5) % 256, (x * y) % 256, 255 - (x + y) % 200)
def grey(v): return (v[0], v[0], v[0], v[3])
def rle(b): return b''.join(bytes([256 - len(b[i:i + 100])]) + b[i:i + 100] for i in range(0, len(b), 100))
def xcf(name, version, precision, base, ltype, comp, layers, pal=b'', res=None, props=b''):
    wide, ptr = version >= 11, (lambda v: struct.pack('>Q' if version >= 11 else '>I', v))
    head = b'gimp xcf ' + (b'v%03d' % version) + b'\0' + struct.pack('>III', W, H, base)
    head += struct.pack('>I', precision) if version >= 4 else b''
    head += struct.pack('>IIB', 17, 1, comp) + (struct.pack('>III', 1, 4 + len(pal), len(pal) // 3) + pal if pal else b'')
    head += struct.pack('>IIff', 19, 8, *res) if res else b''
    head += props + struct.pack('>II', 0, 0)
    body, at = b'', len(head) + (len(layers) + 2) * (8 if wide else 4)
    table = b''
    for (lname, x, y, w, h, props, data) in layers:
        table += ptr(at + len(body))
        bpp = len(data) // (w * h)
        n = lname.encode()
        lay = struct.pack('>III', w, h, ltype) + (struct.pack('>I', len(n) + 1) + n + b'\0' if n else struct.pack('>I', 0))
        lay += b''.join(struct.pack('>II', p[0], p[1]) + (struct.pack('>I', p[2]) if type(p[2]) is int else p[2]) for p in props) + struct.pack('>IIii', 15, 8, x, y) + struct.pack('>II', 0, 0)
        tiles = []
        for ty in range(0, h, 64):
            for tx in range(0, w, 64):
                t = [data[((yy * w) + xx) * bpp:((yy * w) + xx + 1) * bpp] for yy in range(ty, min(ty + 64, h)) for xx in range(tx, min(tx + 64, w))]
                t = b''.join(t)
                tiles.append(t if comp == 0 else zlib.compress(t) if comp == 2 else b''.join(rle(t[c::bpp]) for c in range(bpp)))
        base_at = at + len(body) + len(lay) + 2 * (8 if wide else 4)
        hier = struct.pack('>III', w, h, bpp) + ptr(base_at + 12 + 2 * (8 if wide else 4)) + ptr(0)
        lvl_at = base_at + len(hier)
        level = struct.pack('>II', w, h)
        t_at = lvl_at + 8 + (len(tiles) + 1) * (8 if wide else 4)
        for t in tiles:
            level += ptr(t_at); t_at += len(t)
        level += ptr(0) + b''.join(tiles)
        body += lay + ptr(base_at) + ptr(0) + hier + level
    open(name, 'wb').write(head + table + ptr(0) + ptr(0) + body)
def pam(name, pixels):
    open(name, 'wb').write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n' % (W, H) + bytes(sum(pixels, ())))
full = [px(x, y) for y in range(H) for x in range(W)]
lin = lambda v: (v / 255 / 12.92) if v <= 10 else ((v / 255 + 0.055) / 1.055) ** 2.4
pal = bytes(sum(([i, 255 - i, (i * 7) % 256] for i in range(256)), []))
cases = [
    (3, 0, 0, 0, 0, lambda p: bytes(p[:3]), lambda p: p[:3] + (255,)),
    (3, 0, 0, 1, 1, bytes, tuple),
    (8, 150, 0, 1, 2, bytes, tuple),
    (12, 250, 0, 1, 2, lambda p: struct.pack('>4H', *(v * 257 for v in p)), tuple),
    (12, 600, 0, 1, 2, lambda p: struct.pack('>4f', *(lin(v) for v in p[:3]), p[3] / 255), tuple),
    (3, 0, 1, 3, 1, lambda p: bytes((p[0], p[3])), grey),
    (3, 0, 2, 5, 0, lambda p: bytes((p[0], p[3])), lambda p: (p[0], 255 - p[0], (p[0] * 7) % 256, 255 if p[3] >= 128 else 0)),
]
if sys.argv[1] == 'corpus':
    for i, (v, prec, base, lt, comp, enc, ref) in enumerate(cases):
        xcf('%s/%d.xcf' % (sys.argv[2], i), v, prec, base, lt, comp, [('only', 0, 0, W, H, [], b''.join(enc(p) for p in full))], pal if base == 2 else b'')
        pam('%s/%d.pam' % (sys.argv[2], i), [ref(p) for p in full])
elif sys.argv[1] == 'profile':
    def parasite(n, data): return struct.pack('>I', len(n) + 1) + n + b'\0' + struct.pack('>II', 1, len(data)) + data
    both = parasite(b'gimp-comment', b'made\0') + parasite(b'icc-profile', open(sys.argv[3], 'rb').read())
    xcf(sys.argv[2], 3, 0, 0, 1, 1, [('only', 0, 0, W, H, [], b''.join(bytes(p) for p in full))], props=struct.pack('>II', 21, len(both)) + both)
elif sys.argv[1] == 'grouped':
    small = b''.join(bytes(px(x, y)) for y in range(10) for x in range(12))
    xcf(sys.argv[2], 3, 0, 0, 1, 1, [('g', 5, 7, 12, 10, [(29, 0, b''), (6, 4, 128), (8, 4, int(sys.argv[3]))], small),
        ('in', 5, 7, 12, 10, [(30, 8, struct.pack('>II', 0, 0)), (6, 4, 200)], small),
        ('base', 0, 0, W, H, [], b''.join(bytes(p) for p in full))])
elif sys.argv[1] == 'deep':
    prec, base, lt, n = (int(a) for a in sys.argv[3:7])
    code, chans = {1: '>B', 2: '>H', 5: '>e', 6: '>f'}[prec // 100], (3, 4, 1, 2)[lt]
    top = {'>B': 255, '>H': 65535}.get(code, 1)
    colours = 3 if chans >= 3 else 1
    vals = [((x * 7919 + y * 104729 + c * 3571) * 2654435761 >> 7) % 65536 for y in range(H) for x in range(W) for c in range(chans)]
    enc = [struct.pack(code, v >> 8 if top == 255 else v if top > 1 else v / 65535) for v in vals]
    def level(b, c):
        v = min(max(struct.unpack(code, b)[0] / top, 0.0), 1.0)
        if prec % 100 == 0 and c < colours:
            v = v * 12.92 if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055
        return int(v * 65535 + 0.5)
    out = [level(b, i % chans) for i, b in enumerate(enc)]
    rgba = b''
    for i in range(0, len(out), chans):
        p = out[i:i + chans]
        rgba += struct.pack('<4H', *(p[:3] if colours == 3 else p[:1] * 3), p[-1] if chans % 2 == 0 else 65535)
    open(sys.argv[2] + '.raw', 'wb').write(rgba)
    xcf(sys.argv[2], 12, prec, base, lt, 1, [('only', 0, 0, W, H, [], b''.join(enc))] * n)
else:
    small = b''.join(bytes(px(x, y)) for y in range(10) for x in range(12))
    xcf(sys.argv[2], 3, 0, 0, 1, 1, [('T\xf6p', 5, 7, 12, 10, [(7, 4, 3), (6, 4, 128)], small),
        ('hid', -3, 4, 12, 10, [(8, 4, 0), (7, 4, 4)], small),
        ('base', int(sys.argv[3]), 0, W, H, [], b''.join(bytes(p) for p in full))], res=(300.0, 300.0))
)py";

std::string script(const std::filesystem::path& folder) {
    write_bytes(folder / "xcf.py", kScript);
    return "python3 '" + (folder / "xcf.py").string() + "' ";
}

int corpus(const std::filesystem::path& folder) {
    return run_tool(script(folder) + "corpus '" + folder.string() + "'") ? 7 : 0;
}

std::optional<Frame> reference(const std::filesystem::path& file) {
    const auto pam = std::filesystem::path(file).replace_extension(".pam");
    return magick_frame(std::filesystem::exists(pam) ? pam : file);
}

// A canvas and one layer of width x height whose level holds no tile table.
std::string header(std::uint32_t width, std::uint32_t height) {
    std::string s("gimp xcf v003\0", 14);
    const auto be = [&s](std::initializer_list<std::uint32_t> words) {
        for (const std::uint32_t v : words)
            for (int k = 24; k >= 0; k -= 8)
                s += static_cast<char>(v >> k);
    };
    be({width, height, 0, 0, 0, 46, 0, 0}); // no properties; one layer at 46
    be({width, height, 1, 0, 0, 0, 78, 0}); // layer: no name, no properties, hierarchy at 78
    be({width, height, 4, 98, 0, width, height});
    return s;
}

VT_FORMAT_CONFORMANCE(Xcf, FormatRow{.plugin = "fmx_XCF",
                                     .extension = ".xcf",
                                     .header = header,
                                     .reference = reference,
                                     .make_corpus = corpus,
                                     .compared = 7,
                                     .tolerance = 1,
                                     .layered = true});

class XcfPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_XCF"); }
};

// The image's "icc-profile" parasite (after another parasite, as GIMP files have several) is the
// picture's colour profile, and a save writes it back as one.
TEST_F(XcfPlugin, ColourProfileTravelsAsTheIccParasite) {
    const std::vector<std::uint8_t> icc = adobe_rgb_profile();
    const std::filesystem::path profile = m_temp / "adobe.icc";
    write_bytes(profile, std::string(icc.begin(), icc.end()));
    const std::filesystem::path made = m_temp / "made.xcf";
    if (!run_tool(script(m_temp.path()) + "profile " + quoted(made) + " " + quoted(profile)))
        GTEST_SKIP() << "no Python";
    const LoadResult loaded = load_with(api(), made);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
    const std::filesystem::path saved = m_temp / "saved.xcf";
    ASSERT_EQ(save_with(api(), saved, loaded.frames).result, VT_OK);
    const LoadResult again = load_with(api(), saved);
    ASSERT_EQ(again.result, VT_OK);
    EXPECT_EQ(again.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
    EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
    // A picture without one is written without one.
    ASSERT_EQ(save_with(api(), saved, {make_picture(5, 4, true)}).result, VT_OK);
    EXPECT_EQ(load_with(api(), saved).frames[0].chunks.count(VT_TAG('I', 'C', 'C', 'P')), 0u);
}

// A bottom layer off the origin gets the empty canvas layer in front, which a save leaves out.
TEST_F(XcfPlugin, LayersKeepTheirFieldsThroughVt5) {
    const std::string d = m_temp.path();
    for (const auto& [base_x, count] : {std::pair{"0", 3u}, std::pair{"2", 4u}}) {
        SCOPED_TRACE(base_x);
        ASSERT_TRUE(run_tool(script(d) + "layered '" + d + "/doc.xcf' " + base_x));
        const auto [first, last] = through_vt5(api(), d + "/doc.xcf", d + "/again.xcf");
        ASSERT_EQ(first.size(), count);
        const LayerRow& top = first[count - 1];
        EXPECT_EQ(top.name, u"T\u00f6p");
        EXPECT_EQ(std::tuple(top.x, top.y, top.mode, top.transparency), std::tuple(5, 7, 3, 127));
        const LayerRow& hidden = first[count - 2];
        EXPECT_EQ(std::tuple(hidden.x, hidden.y, hidden.mode), std::tuple(-3, 4, 0x108));
        EXPECT_EQ(last, first);
        const LoadResult again = load_with(api(), d + "/again.xcf");
        ASSERT_FALSE(again.frames.empty());
        EXPECT_EQ(again.frames[0].chunks.at(VT_TAG('P', 'H', 'Y', 'S'))[4], 44); // 300 = 0x12C
    }
}

// A group's opacity multiplies its layers' (200 x 128 / 255: 100) and a hidden group hides them;
// the group itself is left out.
TEST_F(XcfPlugin, GroupsReachTheirLayers) {
    const std::string d = m_temp.path();
    for (const int visible : {1, 0}) {
        ASSERT_TRUE(run_tool(script(d) + "grouped '" + d + "/g.xcf' " + std::to_string(visible)));
        std::vector<Layer> layers;
        const std::uint32_t n = load_layers(api(), d + "/g.xcf", layers);
        const std::vector<LayerRow> rows = rows_of(layers, n);
        detail::free_layers(layers);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[1].transparency, 255 - 100);
        EXPECT_EQ(rows[1].mode, visible ? 0 : 0x100);
    }
}

// GIMP 2.10's deeper samples load at 16 bits for a document of one layer (colours of linear
// ones gamma-encoded, as for 8 bits), rounding to the unchanged 8-bit frame; 8-bit samples and
// several layers give none. Saved at 16 bits, they come back sample for sample.
TEST_F(XcfPlugin, DeepSamplesLoadAndSaveAtSixteenBits) {
    const struct {
        const char* name;
        int precision, base, layer_type, layers;
        std::uint32_t channels; // 0: no deep picture
    } rows[] = {
        {"16-bit RGBA", 250, 0, 1, 1, 4},       {"16-bit grey alpha", 250, 1, 3, 1, 2},
        {"16-bit linear RGB", 200, 0, 0, 1, 4}, {"linear float RGBA", 600, 0, 1, 1, 4},
        {"half grey", 550, 1, 2, 1, 2},         {"8-bit", 150, 0, 1, 1, 0},
        {"two layers", 250, 0, 1, 2, 0},
    };
    const std::string d = m_temp.path();
    LoadOptions ask;
    ask.want_deep = true;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string file = d + "/deep.xcf";
        ASSERT_TRUE(run_tool(script(d) + "deep '" + file + "' " + std::to_string(r.precision) +
                             " " + std::to_string(r.base) + " " + std::to_string(r.layer_type) +
                             " " + std::to_string(r.layers)));
        const LoadResult plain = load_with(api(), file);
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames.size(), plain.frames.size());
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_EQ(loaded.deep.channels, r.channels);
        if (r.channels == 0)
            continue;
        EXPECT_EQ(loaded.deep.bits, 16u);
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
        const std::string raw = read_bytes(file + ".raw");
        std::vector<std::uint16_t> expected(raw.size() / 2);
        std::memcpy(expected.data(), raw.data(), raw.size());
        EXPECT_EQ(deep_rgba(loaded.deep), expected);

        const std::string saved = d + "/saved.xcf";
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        const LoadResult again = load_with(api(), saved, ask);
        EXPECT_EQ(again.deep.samples, loaded.deep.samples);
        EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
    }
    EXPECT_EQ(check_with(api().check_save, u".xcf").deep_bits, 16);
}

} // namespace
} // namespace vt::test
