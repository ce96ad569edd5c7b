// The inspection dump: what it prints for a known file, and the pixel files it makes.

#include <gtest/gtest.h>

#include <string>

#include "tests/vt5/vt5_support.h"
#include "vt5/tools/dump.h"
#include "vt5/tools/sha256.h"

namespace vt::vt5::test {
namespace {

Bytes two_layer_file() {
    Doc doc;
    doc.set(0, 1, 1, {0x007B7B7B});
    doc.set(1, 1, 1, {0x007B7B7B});
    image::set_layer_name(doc[0], u"Back\u00E9");
    doc[1].mode2 = 70;
    return write_doc(doc, 2, 2);
}

TEST(Vt5Dump, TextShowsHeaderElementsLayersAndStatus) {
    const DumpResult d = dump_vt5(two_layer_file(), u"x.vt5", false, false);
    EXPECT_EQ(d.layers, 2u);
    const Bytes grey = {0x7B, 0x7B, 0x7B, 0x00};
    const std::string hash = sha256_hex(grey);
    for (const std::string& line :
         {std::string("header magic=\"_VT5\" header_size=32 major=4 revision=3 kind_code=2 "
                      "kind_param=0 layer_count=2"),
          std::string("element offset=32 type=\"stamp\" code=254 body=58 text="),
          std::string("type=\"layer\" code=1 body=128 x=0 y=0 width=1 height=1 layout=1 "
                      "channels=1 frame_type=0"),
          std::string("C=1 U=1 chain=[none]"),
          std::string("layout=0 channels=0 frame_type=1 reference_distance=0"),
          std::string("type=\"end\" code=255 body=0"),
          "layer index=0 x=0 y=0 width=1 height=1 name=\"Back\xC3\xA9\" mode=0 mode2=0 attr=0 "
          "transparency=0 meta_size=0 frame_type=0 layout=1 channels=1 chunks=[] sha256=\"" +
              hash + "\"",
          std::string("layer index=1 x=0 y=0 width=1 height=1 name=\"\" mode=0 mode2=70"),
          std::string("read result=2 version_text=\"4 rev. 03\" doc_kind=2 kind_param=0 "
                      "error_text=\"An unknown error occurred\" is_native=1 "
                      "password_protected=0 meta_upgraded=0 layer_limit_hit=0")})
        EXPECT_NE(d.text.find(line), std::string::npos) << line << "\n" << d.text;
}

TEST(Vt5Dump, JsonAndPixels) {
    const DumpResult d = dump_vt5(two_layer_file(), u"x.vt5", true, true);
    EXPECT_EQ(d.text.front(), '{');
    EXPECT_NE(d.text.find("\"layers\": [\n    {\"index\": 0"), std::string::npos) << d.text;
    EXPECT_NE(d.text.find("\"chain\": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]"), std::string::npos);
    ASSERT_EQ(d.pam_files.size(), 2u);
    const std::string header =
        "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    EXPECT_EQ(d.pam_files[0], header + std::string("\x7B\x7B\x7B\xFF", 4));
}

TEST(Vt5Dump, NotAVt5File) {
    const Bytes junk(100, 'j');
    const DumpResult d = dump_vt5(junk, u"x.png", false, false);
    EXPECT_EQ(d.layers, 0u);
    EXPECT_NE(d.text.find("error_text=\"Invalid magic number in VT5 header\" is_native=0"),
              std::string::npos)
        << d.text;
}

} // namespace
} // namespace vt::vt5::test
