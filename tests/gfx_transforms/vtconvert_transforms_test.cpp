// vtconvert end to end with transforms: pass-thru copies the files no transform changed and
// re-encodes the ones a transform changed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/wait.h>

#include "tests/support/temp_folder.h"

namespace vt::gfx {
namespace {

// A 36 x 26 landscape, bright blue sky over textured dark ground, as P6 bytes; `upside_down`
// puts the sky at the bottom.
std::string landscape_pixels(bool upside_down) {
    std::string data;
    for (int row = 0; row < 26; ++row) {
        const int y = upside_down ? 25 - row : row;
        for (int col = 0; col < 36; ++col) {
            const int x = upside_down ? 35 - col : col;
            const bool sky = y < 9;
            const bool lit = (x + y) % 2 != 0;
            data.push_back(static_cast<char>(sky ? 100 : (lit ? 30 : 0)));
            data.push_back(static_cast<char>(sky ? 150 : (lit ? 60 : 0)));
            data.push_back(static_cast<char>(sky ? 250 : (lit ? 20 : 0)));
        }
    }
    return data;
}

int run_vtconvert(const test::TempFolder& work, const std::string& args) {
    const std::string command = "VANTREL_DATA_ROOT='" + work.path() + "/data' '" VTCONVERT "' " +
                                args + " >'" + work / "out" + "' 2>'" + work / "err" +
                                "' </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VtconvertTransforms, PassThruCopiesOnlyWhatNoTransformChanged) {
    test::TempFolder src, dst, work;
    // The comment would not survive re-encoding: it tells a copy from a saved file.
    const std::string header = "P6\n# drawn by hand\n36 26\n255\n";
    src.write("upright.ppm", header + landscape_pixels(false));
    src.write("upside_down.ppm", header + landscape_pixels(true));
    const int code = run_vtconvert(work, "--pass-thru --rotate 5 -f ppm -q '" + src.path() + "' '" +
                                             dst.path() + "'");
    ASSERT_EQ(code, 0) << work.read("err");
    EXPECT_EQ(dst.read("upright.ppm"), header + landscape_pixels(false));
    EXPECT_EQ(dst.read("upside_down.ppm"), "P6\n36 26\n255\n" + landscape_pixels(false));
}

} // namespace
} // namespace vt::gfx
