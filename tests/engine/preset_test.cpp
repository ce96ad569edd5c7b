// Presets: a job written to text and read back, the shipped ones, and files a hand has broken.

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/job_plan.h"
#include "engine/preset.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

TEST(Preset, RoundTripGivesAnIdenticalJobRecord) {
    Preset p;
    p.name = "Mine: \"quoted\" \\ and\ttabs";
    ConversionJob& j = p.job;
    j.sourceFolder.assign(u"/photos/2024 \u00e9t\u00e9");
    j.targetFolder.assign(u"/out/line\nbreak");
    j.targetExtension.assign(u".webp");
    j.renamePattern.assign(u" %s_%nn ");
    j.replaceFrom.assign(u"\"");
    j.replaceTo.assign(u"\\");
    j.includeSubfolders = j.overwrite = j.openTargetWhenDone = j.rename = j.replaceText = 1;
    j.lowercase = j.passThru = j.removeGps = j.removeDates = j.keepBoundingBox = j.changeDpi = 1;
    j.resizeWidth = 65535;
    j.resizeHeight = 3;
    j.resizeMode = 5;
    j.resizeAlgorithm = 3;
    j.scalingFilter = 4;
    j.sincWindow = 12;
    j.sincSize = 29;
    j.rotationMode = 0;
    j.autofixLevels = 1;
    j.denoiseRadius = 9;
    j.watermarkX = 0;
    j.watermarkY = 7;
    j.watermarkSize = 100;
    j.watermarkFade = 99;
    j.watermarkFile.assign(u"/marks/logo.png");
    j.extras = {ExistingPolicy::keep_both, 1, 1, {}, {}, 2, 5};
    j.extras.reportFile.assign(u"/r/report.jsonl");
    j.extras.resumeFile.assign(u"/r/old.jsonl");
    p.options = {{u"fmx_JPEG.quality", "85"}, {u"fmx_PNG.comment", "a \"b\"\n"}};

    Preset back; // starts from the defaults: every field must come from the text
    std::string error;
    ASSERT_TRUE(parse_preset(format_preset(p), back, error)) << error;
    EXPECT_TRUE(back.job == p.job);
    EXPECT_EQ(back.name, p.name);
    EXPECT_EQ(back.options, p.options);
}

TEST(Preset, ShippedPresetsLoadOverAJobAndKeepWhatTheyDoNotName) {
    const std::pair<const char*, const char*> shipped[] = {
        {"web-1920-jpeg.vtpreset", "Web 1920 JPEG"},
        {"archive-lossless.vtpreset", "Archive lossless"},
        {"privacy-strip-gps-and-dates.vtpreset", "Privacy: strip GPS and dates"}};
    for (const auto& [file, name] : shipped) {
        Preset p;
        p.job.sourceFolder.assign(u"/kept");
        std::string error;
        const std::filesystem::path path = std::filesystem::path(VT_SOURCE_DIR) / "presets" / file;
        ASSERT_TRUE(load_preset_file(base::utf8_to_utf16(path.string()), p, error)) << error;
        EXPECT_EQ(p.name, name);
        EXPECT_EQ(p.job.sourceFolder, u"/kept");
        EXPECT_EQ(p.job.extras.keepTimes, std::string(name) == "Archive lossless" ? 1 : 0);
    }
}

TEST(Preset, BrokenFilesAreRefusedWithTheirLineAndChangeNothing) {
    const std::pair<std::string, std::string> rows[] = {
        {"# c\nresizeMode = 9\n", "resizeMode is out of its range"},
        {"\n\nbogus = 1", "line 3: unknown key 'bogus'"},
        {"name = \"open", "line 1: a text without its closing quote"},
        {"name = \"bad \\q escape\"", "line 1: a text without"},
        {"removeGps = 2", "line 1: '2' is not a value of removeGps"},
        {"resizeWidth = 65536", "line 1: '65536'"},
        {"watermarkX = -1", "line 1: '-1'"},
        {"existing = sometimes", "line 1: 'sometimes'"},
        {"targetExtension = \"." + std::string(31, 'x') + "\"", "line 1: '."},
        {"shardCount = 2\nshardIndex = 2", "shardIndex must be below shardCount"},
        {"just words", "line 1: expected key = value"},
        {"plugin  = 1", "line 1: a plug-in option without a name"},
        {std::string(kMaxPresetBytes + 1, '#'), "the preset is larger than 1 MiB"},
    };
    for (const auto& [text, message] : rows) {
        Preset p;
        std::string error;
        EXPECT_FALSE(parse_preset(text, p, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
        EXPECT_TRUE(p.job == default_job()) << text;
    }
}

// The documented hash: the share of a path never changes between versions or machines.
TEST(Shares, AreFnv1aOfTheUtf8RelativePathModuloTheCount) {
    EXPECT_EQ(share_of(u"d0/f1.ppm", 1000), 546u);
    EXPECT_EQ(share_of(u"d0/f1.ppm", 7), 3u);
    EXPECT_EQ(share_of(u"\u00e9t\u00e9/x.jpg", 1000), 85u);
    EXPECT_EQ(share_of(u"anything", 1), 0u);
}

} // namespace
} // namespace vt::engine
