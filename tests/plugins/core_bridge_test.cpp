#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "gfxcore/runtime.h"
#include "image/markup_buffer.h"
#include "plugins/core_bridge.h"
#include "plugins/host_services.h"
#include "plugins/video_session.h"
#include "tests/support/temp_folder.h"

namespace vt::plugins {
namespace {

using test::TempFolder;

// Points the host at a core library folder and a temporary folder for the test's duration.
class CoreBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
        ::setenv("VT_FAKE_CORE_LOG", (work / "core.log").c_str(), 1);
        ::setenv("TMPDIR", temp.path().c_str(), 1);
        use_library_folder(VT_FAKE_CORE_DIR);
    }
    void TearDown() override {
        ::unsetenv("VANTREL_PATH");
        ::unsetenv("TMPDIR");
        ::unsetenv("VT_FAKE_CORE_LOG");
    }
    static void use_library_folder(const std::string& folder) {
        ::setenv("VANTREL_PATH", folder.c_str(), 1);
    }
    [[nodiscard]] std::vector<std::string> log_lines() const {
        std::ifstream in(work / "core.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    [[nodiscard]] std::size_t temp_files() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(temp.path()))
            ++n;
        return n;
    }

    TempFolder work;
    TempFolder temp;
};

const std::vector<std::uint8_t> kGif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0};

TEST_F(CoreBridgeTest, LoadFromMemoryGoesThroughASniffedTemporaryFileThatIsRemoved) {
    VtImageRequest request{};
    request.data = kGif.data();
    request.size = static_cast<std::uint32_t>(kGif.size());
    request.option = 4;
    VtImage image{};
    ASSERT_EQ(core_load_image(&image, &request), 2) << "the library's own result";
    const std::vector<std::string> log = log_lines();
    ASSERT_EQ(log.size(), 1u);
    const std::string prefix = "load " + temp.path() + "/_vtl_pibi_";
    ASSERT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
    EXPECT_EQ(log[0].size(), prefix.size() + 12 + std::string(".gif 1").size()) << log[0];
    EXPECT_TRUE(log[0].ends_with(".gif 1")) << "the file existed during the call";
    EXPECT_EQ(temp_files(), 0u) << "and is gone afterwards";

    ASSERT_EQ(std::tuple(image.width, image.height), std::tuple(2u, 1u));
    EXPECT_EQ(std::tuple(image.pixels[0], image.pixels[1]), std::tuple(0x00112233u, 0xFF445566u));
    // The extra words and the answer byte come back.
    EXPECT_EQ(std::tuple(request.extra1, request.extra2, request.answer, request.core_missing),
              std::tuple(7u, 9u, 5, 0));
    basic_image_table()->free_image(&image);
}

TEST_F(CoreBridgeTest, AFailedLoadHandsTheExtraWordsBackAndLeavesNoFile) {
    const std::u16string name = u"holiday.PHOTO";
    VtImageRequest request{};
    request.data = kGif.data();
    request.size = static_cast<std::uint32_t>(kGif.size());
    request.name = reinterpret_cast<const std::uint16_t*>(name.c_str());
    request.flags = 0xBAD;
    VtImage image{};
    EXPECT_EQ(core_load_image(&image, &request), 0);
    EXPECT_EQ(std::tuple(request.extra1, request.extra2, image.pixels),
              std::tuple(7u, 9u, nullptr));
    ASSERT_EQ(log_lines().size(), 1u);
    EXPECT_TRUE(log_lines()[0].ends_with(".PHOTO 1")) << "the name's extension wins";
    EXPECT_EQ(temp_files(), 0u);

    request.size = 3;
    EXPECT_EQ(core_load_image(&image, &request), 0) << "fewer than 4 bytes";
    EXPECT_EQ(log_lines().size(), 1u) << "never reaches the library";
}

TEST_F(CoreBridgeTest, LoadFromAPathReadsThatFile) {
    const std::u16string path = u"/no/such/picture.png";
    VtImageRequest request{};
    request.path = reinterpret_cast<const std::uint16_t*>(path.c_str());
    VtImage image{};
    ASSERT_EQ(core_load_image(&image, &request), 2);
    EXPECT_EQ(log_lines().at(0), "load /no/such/picture.png 0");
    basic_image_table()->free_image(&image);
}

TEST_F(CoreBridgeTest, SaveDescribesTheLockedImage) {
    VtImage image{};
    ASSERT_EQ(basic_image_table()->create(&image, 3, 4), 1);
    const std::u16string path = u"/out/picture.webp";
    VtImageRequest request{};
    request.path = reinterpret_cast<const std::uint16_t*>(path.c_str());
    request.extra1 = 42;
    EXPECT_EQ(core_save_image(&image, &request), 5);
    EXPECT_EQ(request.answer, 7) << "3 + 4 from the library";
    EXPECT_EQ(log_lines().at(0), "save /out/picture.webp 0");
    EXPECT_EQ(image.bitmap->lock_count, 0) << "unlocked afterwards";
    basic_image_table()->free_image(&image);
}

TEST_F(CoreBridgeTest, MarkupAndExifPassThroughTheLibrary) {
    MarkupBuffer mb{};
    ASSERT_EQ(image::markup_buffer_create(&mb), 1);
    const std::uint8_t exif[10] = {'I', 'I', 42, 0};
    EXPECT_EQ(core_import_exif(&mb, exif, 3), 0) << "too short to be EXIF";
    EXPECT_GT(core_import_exif(&mb, exif, sizeof(exif)), 0);
    ASSERT_NE(mb.text, nullptr);
    EXPECT_NE(std::string(mb.text).find("exif.fake=10;"), std::string::npos) << mb.text;
    char out[64] = {};
    EXPECT_EQ(core_export_exif(&mb, out, sizeof(out)), static_cast<int>(std::strlen(mb.text)));
    EXPECT_STREQ(out, mb.text);
    image::markup_buffer_free(&mb);
}

TEST_F(CoreBridgeTest, AMissingLibraryIsReportedAndNothingIsLeftBehind) {
    use_library_folder(work.path());
    VtImageRequest request{};
    request.data = kGif.data();
    request.size = static_cast<std::uint32_t>(kGif.size());
    VtImage image{};
    EXPECT_EQ(core_load_image(&image, &request), 0);
    EXPECT_EQ(request.core_missing, 1);
    ASSERT_EQ(basic_image_table()->create(&image, 1, 1), 1);
    const std::u16string path = u"/out/x.png";
    VtImageRequest save{};
    save.path = reinterpret_cast<const std::uint16_t*>(path.c_str());
    EXPECT_EQ(core_save_image(&image, &save), 0);
    EXPECT_EQ(save.core_missing, 1);
    basic_image_table()->free_image(&image);

    MarkupBuffer mb{};
    ASSERT_EQ(image::markup_buffer_create(&mb), 1);
    const std::uint8_t exif[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
    EXPECT_EQ(core_import_exif(&mb, exif, sizeof(exif)), 0);
    char out[16];
    EXPECT_EQ(core_export_exif(&mb, out, sizeof(out)), 0);
    image::markup_buffer_free(&mb);
    EXPECT_EQ(temp_files(), 0u);
    EXPECT_TRUE(log_lines().empty());
}

// The core library and the video helper are the suite's own, taken by absolute path from the
// suite program folder: never from the search path nor the folder the program started in.
TEST(SuitePrograms, OnlyFromTheSuiteProgramFolder) {
    TempFolder tmp;
    tmp.write("suite/readme.txt");
    tmp.write("bin/vtl_Video", "#!/bin/sh\n");
    ::chmod((tmp / "bin/vtl_Video").c_str(), 0755);
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (tmp / "bin:.:").c_str(), 1);
    (void)!::chdir(tmp.path().c_str());
    ::setenv("VANTREL_PATH", (tmp / "suite").c_str(), 1);
    EXPECT_EQ(find_video_helper(), u"") << "a helper on the search path is not the suite's";
    EXPECT_EQ(core_library_path(), tmp.sub16("suite/vtl_Core.so"));
    std::filesystem::copy_file(tmp / "bin/vtl_Video", tmp / "suite/vtl_Video");
    EXPECT_EQ(find_video_helper(), tmp.sub16("suite/vtl_Video"));
    ::setenv("VANTREL_PATH", "suite", 1); // relative to wherever the program was started
    EXPECT_EQ(find_video_helper(), u"");
    EXPECT_EQ(core_library_path(), u"");
    ::unsetenv("VANTREL_PATH");
    ::setenv("PATH", old_path.c_str(), 1);
    (void)!::chdir("/");
}

TEST(MemoryLoadExtension, NameFirstThenTheData) {
    const auto ext = [](std::u16string_view name, std::string_view bytes) {
        return memory_load_extension(
            name, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    };
    EXPECT_EQ(ext(u"a.jpeg", "GIF89a"), u"jpeg");
    EXPECT_EQ(ext(u"a.fifteenletters", "GIF89a"), u"fifteenletters");
    EXPECT_EQ(ext(u"a.sixteen_letters_", "GIF89a"), u"gif") << "too long an extension";
    EXPECT_EQ(ext(u"noextension", "GIF87a"), u"gif");
    EXPECT_EQ(ext(u"a.", "_VT5...."), u"vt5");
    EXPECT_EQ(ext({}, std::string("\x89PNG\r\n\x1a\n", 8)), u"png");
    EXPECT_EQ(ext({}, std::string("\xFF\xD8\xFF\xE0\0\0JFIF", 10)), u"jpg");
    EXPECT_EQ(ext({}, "\xFF\xD8\xFF\xDB"), u"jpg");
    EXPECT_EQ(ext({}, "\xFF\xD8\xFF\xEE"), u"jpg");
    EXPECT_EQ(ext({}, "\xFF\xD8\xFF\xE1"
                      "Exif"),
              u"jpg");
    EXPECT_EQ(ext({}, "\xFF\xD8\xFF\xE2"), u"tmp") << "an APP2 start is not enough";
    EXPECT_EQ(ext({}, std::string("RIFF\1\0\0\0ACON", 12)), u"ani");
    EXPECT_EQ(ext({}, std::string("RIFF\1\0\0\0WEBP", 12)), u"webp");
    EXPECT_EQ(ext({}, std::string("RIFF\1\0\0\0WAVE", 12)), u"tmp");
}

} // namespace
} // namespace vt::plugins
