// vtconvert --list-formats as the built plug-ins answer it, the help page's list of the same
// formats, and where the suite's core library is loaded from.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vt::cli {
namespace {

using test::TempFolder;

// extension -> "description | reader | writer | bits | keeps"
using FormatRows = std::map<std::string, std::string>;

struct Listing {
    int exit_code = -1;
    std::string out, err;
};

Listing list_formats(const TempFolder& work, const std::string& environment = {},
                     const std::string& folder = "/") {
    const std::string command = "cd '" + folder + "' && " + environment + " VANTREL_DATA_ROOT='" +
                                work.path() + "/data' '" VTCONVERT "' --list-formats >'" +
                                work / "out" + "' 2>'" + work / "err" + "' </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, work.read("out"), work.read("err")};
}

// The format lines of the listing with what their writers keep, up to the options.
FormatRows rows_of_listing(const std::string& out) {
    static const std::regex row(
        R"(^(\.\S+)\s+(.*?)\s+(\(built in\)|\(write only\)|\S+)\s+(\(built in\)|\(read only\)|\S+)$)");
    static const std::regex writer(R"(^(\.\S+)\s+(\d+)\s+(\S+)$)");
    FormatRows rows;
    std::istringstream in(out);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line) && !line.empty()) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, row)) << line;
        if (!m.empty())
            rows[m[1]] = m[2].str() + " | " + m[3].str() + " | " + m[4].str();
    }
    std::map<std::string, std::string> kept;
    std::getline(in, line); // the writers' title
    EXPECT_TRUE(line.starts_with("WRITERS")) << line;
    std::getline(in, line); // their heading
    while (std::getline(in, line) && !line.empty()) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, writer)) << line;
        if (!m.empty())
            kept[m[1]] = m[2].str() + " | " + m[3].str();
    }
    for (auto& [extension, text] : rows) {
        const auto k = kept.find(extension);
        EXPECT_EQ(k != kept.end(), !text.ends_with("(read only)")) << extension;
        text += " | " + (k == kept.end() ? std::string("- | -") : k->second);
    }
    return rows;
}

// The rows of the help page's format table, as the build made it.
FormatRows rows_of_help() {
    std::ifstream in(VT_HELP_DIR "/formats.html");
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t begin = page.find("<table id=\"format-list\">");
    const std::size_t end = page.find("</table>", begin);
    EXPECT_NE(begin, std::string::npos) << "help/formats.html has no format list";
    static const std::regex row(R"(<tr><td>(\.[^<]+)</td><td>([^<]*)</td><td>([^<]+)</td>)"
                                R"(<td>([^<]+)</td><td>([^<]+)</td><td>([^<]+)</td></tr>)");
    FormatRows rows;
    const std::string table = begin == std::string::npos ? "" : page.substr(begin, end - begin);
    for (auto it = std::sregex_iterator(table.begin(), table.end(), row);
         it != std::sregex_iterator(); ++it)
        rows[(*it)[1]] = (*it)[2].str() + " | " + (*it)[3].str() + " | " + (*it)[4].str() + " | " +
                         (*it)[5].str() + " | " + (*it)[6].str();
    return rows;
}

TEST(ListFormats, EveryReaderAndWriterTheInstalledPluginsAnswerFor) {
    TempFolder work;
    const Listing listing = list_formats(work);
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    const FormatRows rows = rows_of_listing(listing.out);
    const struct {
        const char* extension;
        const char* reader_writer; // in the row after its description
    } expected[] = {
        {".vt5", "(built in) | (built in) | 8 | "
                 "profile,alpha,resolution,exif,xmp,pages,layers,animation"},
        {".ico", "fmx_ICO.so | fmx_ICO.so | 8 | alpha"},
        {".cur", "fmx_ICO.so | fmx_ICO.so | 8 | alpha"},
        {".psb", "fmx_PSD.so | fmx_PSD.so | 16 | profile,alpha,resolution,layers"},
        {".xbm", "fmx_XPM.so | fmx_XPM.so | 8 | -"},
        {".svg", "fmx_SVG.so | (read only)"},
        {".fits", "fmx_FITS.so | (read only)"},
        {".psp", "fmx_PSP.so | (read only)"},
        {".kra", "fmx_KRA.so | (read only)"},
        {".raw", "fmx_RAW.so | (read only)"},
        {".dng", "fmx_RAW.so | (read only)"},
        {".cr2", "fmx_RAW.so | (read only)"},
        {".wdp", "fmx_WIC.so | fmx_WIC.so | 16 | profile,alpha,resolution"},
        {".hdp", "fmx_WIC.so | fmx_WIC.so"},
        {".mkv", "fmx_AVI.so | (read only)"},
        {".png", "fmx_PNG.so | fmx_PNG.so | 16 | profile,alpha,resolution,exif,animation"},
        {".jfif", "fmx_JPEG.so | fmx_JPEG.so | 8 | profile,resolution,exif"},
        {".jp2", "fmx_JP2K.so | fmx_JP2K.so | 16 | profile,alpha,resolution"},
        {".mj2", "fmx_JP2K.so | fmx_JP2K.so | 8 | alpha,animation"},
        {".pam", "fmx_PNM.so | fmx_PNM.so | 16 | alpha"},
        {".ppm", "fmx_PNM.so | fmx_PNM.so | 16 | -"},
        {".tif", "fmx_TIFF.so | fmx_TIFF.so | 16 | profile,alpha,resolution,exif,pages"},
        {".qoi", "fmx_QOI.so | fmx_QOI.so | 8 | alpha"},
        {".hdr", "fmx_HDR.so | fmx_HDR.so | 16 | -"},
        {".pic", "fmx_HDR.so | fmx_HDR.so | 16 | -"},
        {".pfm", "fmx_HDR.so | fmx_HDR.so | 16 | -"},
        {".exr", "fmx_EXR.so | fmx_EXR.so | 16 | alpha"},
        {".pdf", "fmx_PDF.so | (read only)"},
        {".xcf", "fmx_XCF.so | fmx_XCF.so | 16 | profile,alpha,resolution,layers"},
        {".jxl", "fmx_JXL.so | fmx_JXL.so | 16 | profile,alpha,exif,animation"},
        {".avif", "fmx_HEIF.so | fmx_HEIF.so | 12 | profile,alpha,exif,animation"},
        {".heic", "fmx_HEIF.so | fmx_HEIF.so | 12 | profile,alpha,exif"},
    };
    for (const auto& e : expected) {
        const auto row = rows.find(e.extension);
        ASSERT_NE(row, rows.end()) << e.extension << " is not listed:\n" << listing.out;
        EXPECT_NE(row->second.find(std::string(" | ") + e.reader_writer), std::string::npos)
            << e.extension << ": " << row->second;
    }
    for (const auto& [extension, row] : rows)
        EXPECT_FALSE(row.starts_with("- |")) << extension << " has no description";
}

TEST(ListFormats, HelpPageListsTheSameFormats) {
    TempFolder work;
    const Listing listing = list_formats(work);
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    const FormatRows listed = rows_of_listing(listing.out);
    const FormatRows help = rows_of_help();
    for (const auto& [extension, row] : listed) {
        const auto in_help = help.find(extension);
        EXPECT_TRUE(in_help != help.end() && in_help->second == row)
            << extension << ": --list-formats says \"" << row << "\", Help/formats.html says \""
            << (in_help == help.end() ? "nothing" : in_help->second) << "\"";
    }
    for (const auto& [extension, row] : help)
        EXPECT_TRUE(listed.contains(extension))
            << extension << " is in Help/formats.html but no plug-in answers for it";
}

// Every writer the listing says keeps EXIF writes the camera data of a camera's JPEG, and its
// own reader hands it back: the target converted on to JPEG still names the camera. The rows
// come from the listing, so a plug-in added later is held to its word too.
TEST(ListFormats, EveryWriterThatSaysExifKeepsTheCameraData) {
    const char* testdata = std::getenv("VT_SHARED_TESTDATA");
    const std::string source =
        std::string(testdata ? testdata : "") + "/exif-camera-samples/commons/Kodak_CX7530.jpg";
    if (testdata == nullptr || !std::filesystem::exists(source))
        GTEST_SKIP() << "the shared EXIF samples are not here";
    TempFolder work, from;
    std::filesystem::copy_file(source, from / "p.jpg");
    const Listing listing = list_formats(work);
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    const auto convert = [&work](const std::string& ext, const std::string& in,
                                 const std::string& out) {
        const std::string command = "VANTREL_DATA_ROOT='" + work.path() +
                                    "/data' '" VTCONVERT "' -q --overwrite -f " + ext + " '" + in +
                                    "' '" + out + "' >/dev/null 2>&1 </dev/null";
        return std::system(command.c_str()) == 0;
    };
    int checked = 0;
    for (const auto& [extension, row] : rows_of_listing(listing.out)) {
        if (extension == ".vt5" || row.find("exif") == std::string::npos)
            continue;
        SCOPED_TRACE(extension);
        TempFolder target, back;
        ASSERT_TRUE(convert(extension, from.path(), target.path()));
        if (!convert(".jpg", target.path(), back.path()) && extension == ".heic")
            continue; // no HEVC decoder here
        const std::string bytes = back.read("p.jpg");
        EXPECT_NE(bytes.find("EASTMAN KODAK COMPANY"), std::string::npos)
            << "the camera data is lost";
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

// With an empty entry in the library search path (the current folder), a vtl_Core.so lying in
// the folder vtconvert was started from must not be loaded: only the suite's own copy is.
TEST(CoreLibrary, NeverTakenFromTheCurrentFolder) {
    TempFolder work, here;
    std::filesystem::copy_file(VT_MARKER_LIBRARY, here / "vtl_Core.so");
    const std::string marker = work / "marker";
    const std::string environment = "VT_TEST_MARKER='" + marker + "' LD_LIBRARY_PATH=:/usr/lib";
    const Listing listing = list_formats(work, environment, here.path());
    EXPECT_EQ(listing.exit_code, 0) << listing.err;
    EXPECT_FALSE(work.exists("marker")) << "the current folder's vtl_Core.so was loaded";

    // The marker works: named as the suite program folder, the same folder's copy is loaded.
    const Listing suite =
        list_formats(work, environment + " VANTREL_PATH='" + here.path() + "'", here.path());
    EXPECT_EQ(suite.exit_code, 0) << suite.err;
    EXPECT_TRUE(work.exists("marker"));
}

} // namespace
} // namespace vt::cli
