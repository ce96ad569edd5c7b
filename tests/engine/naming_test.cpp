#include <gtest/gtest.h>

#include "engine/job_checks.h"
#include "engine/target_naming.h"
#include "platform/paths.h"

namespace vt::engine {
namespace {

struct NamingCase {
    const char16_t* pattern;
    const char16_t* target; // plain target path
    std::uint32_t width, height, sequence, folder_count;
    bool replace, lower;
    const char16_t* expected; // file name
};

TEST(TargetNaming, RenamePatterns) {
    const NamingCase cases[] = {
        {u"%nn - %s (%wx%h)", u"/out/beach.jpg", 800, 600, 11, 120, false, false,
         u"011 - beach (800x600).jpg"},
        {u"%nn", u"/out/a.jpg", 1, 1, 0, 1, false, false, u"0.jpg"},
        {u"%nn", u"/out/a.jpg", 1, 1, 9, 10, false, false, u"9.jpg"},
        {u"%nn", u"/out/a.jpg", 1, 1, 0, 11, false, false, u"00.jpg"},
        {u"%nn", u"/out/a.jpg", 1, 1, 10, 11, false, false, u"10.jpg"},
        {u"%n-%n", u"/out/a.jpg", 1, 1, 7, 1000, false, false, u"7-7.jpg"},
        {u"%s", u"/out/IMG_01.jpg", 1, 1, 0, 1, false, true, u"img_01.jpg"},
        {u"%nn - %s", u"/out/my photo.png", 1, 1, 3, 5, true, false, u"3_-_my_photo.png"},
        {u"%f_%s", u"/out/Holiday 2024/x.jpg", 1, 1, 0, 1, false, false, u"Holiday 2024_x.jpg"},
        // A value holding a later placeholder is expanded again.
        {u"%s", u"/out/50%width.png", 320, 200, 0, 1, false, false, u"50320idth.png"},
        {u"%s", u"/out/a.b.c.JPG", 1, 1, 0, 1, false, true, u"a.b.c.jpg"},
        {u"%s", u"/out/README", 1, 1, 0, 1, false, false, u"README"},
        {u"no placeholders", u"/out/a.jpg", 1, 1, 0, 1, false, false, u"no placeholders.jpg"},
    };
    for (const auto& c : cases) {
        ConversionJob job = default_job();
        job.rename = 1;
        job.renamePattern.assign(c.pattern);
        job.replaceText = c.replace;
        job.lowercase = c.lower;
        const NamingInput in{c.target, c.width, c.height, c.sequence, c.folder_count};
        EXPECT_EQ(renamed_file_name(job, in), c.expected);
    }
}

TEST(TargetNaming, RenamedPathStaysInItsFolder) {
    ConversionJob job = default_job();
    job.renamePattern.assign(u"%n");
    EXPECT_EQ(renamed_target_path(job, {u"/out/sub/a.jpg", 1, 1, 4, 9}), u"/out/sub/4.jpg");
}

TEST(TargetNaming, FolderPlaceholderIsTheTopFolderAtTheTop) {
    ConversionJob job = default_job();
    job.renamePattern.assign(u"[%f]");
    EXPECT_EQ(renamed_file_name(job, {u"/home/me/Converted/a.png", 1, 1, 0, 1}),
              u"[Converted].png");
    EXPECT_EQ(renamed_file_name(job, {u"/a.png", 1, 1, 0, 1}), u"[].png");
}

TEST(TargetNaming, OverlongNamesAreCutNotRejected) {
    ConversionJob job = default_job();
    job.renamePattern.assign(u"%s%s%s%s");
    const std::u16string stem(3000, u'n');
    const std::u16string name = renamed_file_name(job, {u"/o/" + stem + u".jpg", 1, 1, 0, 1});
    EXPECT_EQ(name, std::u16string(251, u'n') + u".jpg");
    // NAME_MAX counts UTF-8 bytes: cut whole characters, keep the extension.
    const struct {
        std::u16string stem;
        std::size_t kept_units;
    } rows[] = {
        {std::u16string(200, u'\u00e9'), 125}, // 2 bytes each: 250 + ".png"
        {std::u16string(100, u'\u6f22'), 83},  // 3 bytes each: 249 + ".png"
        {std::u16string(300, u'\xdcff'), 251}, // escaped raw bytes: one byte each
        {[] {
             std::u16string s;
             for (int i = 0; i < 70; ++i)
                 s += u"\U0001F600";
             return s;
         }(),
         124},
    };
    for (const auto& r : rows)
        EXPECT_EQ(fit_file_name(r.stem, u".png"), r.stem.substr(0, r.kept_units) + u".png");
}

TEST(TargetNaming, PlainTargetReplacesOnlyTheLastExtension) {
    EXPECT_EQ(plain_target_path(u"/out", u"photo.final.png", u".jpg"), u"/out/photo.final.jpg");
    EXPECT_EQ(plain_target_path(u"/out", u"README", u".jpg"), u"/out/README.jpg");
    EXPECT_EQ(plain_target_path(u"/out.d", u".hidden", u".jpg"), u"/out.d/.jpg");
    EXPECT_EQ(sequence_width(0), 1);
    EXPECT_EQ(sequence_width(101), 3);
}

// What a job holds that would put a file outside its folder, or hide it, is refused before the
// job starts; what a source name brings in is made safe by the name builder.
TEST(TargetNaming, JobsThatWouldLeaveTheFolderOrHideFilesAreRefused) {
    const struct {
        const char16_t *pattern, *from, *to;
        const char16_t* title; // nullptr: accepted
    } rows[] = {
        {u"../../x_%s", nullptr, nullptr, u"Rename Pattern Error"},
        {u"../src/%s", nullptr, nullptr, u"Rename Pattern Error"},
        {u"a/b_%n", nullptr, nullptr, u"Rename Pattern Error"},
        {u"/tmp/%s", nullptr, nullptr, u"Rename Pattern Error"},
        {u".hidden_%s", nullptr, nullptr, u"Rename Pattern Error"},
        {u"%s", u"a", u"../../x", u"Rename Replacement Error"},
        {u"%s", u"a", u"/", u"Rename Replacement Error"},
        {u"IMG_%s", u"IMG", u".", u"Rename Replacement Error"},
        {u"x%s", u"x", u"..", u"Rename Replacement Error"},
        {u"%s..v2", nullptr, nullptr, nullptr}, // dots inside a name are only dots
        {u"v.%n", nullptr, nullptr, nullptr},
        {u"%s", u"a", u".", nullptr}, // depends on the source name: the builder guards it
        {u"%s", u" ", u"_", nullptr},
    };
    for (const auto& r : rows) {
        ConversionJob job = default_job();
        job.rename = 1;
        job.renamePattern.assign(r.pattern);
        job.replaceText = r.from != nullptr;
        if (r.from) {
            job.replaceFrom.assign(r.from);
            job.replaceTo.assign(r.to);
        }
        const auto refusal = check_renaming(job);
        if (r.title) {
            ASSERT_TRUE(refusal);
            EXPECT_EQ(refusal->title, r.title);
        } else {
            EXPECT_FALSE(refusal);
        }
    }
    ConversionJob job = default_job();
    job.targetExtension.assign(u"./../../x");
    EXPECT_EQ(check_target_format(job)->text,
              u"The file format can't include a folder separator (/)");
}

// A job record that was never checked (an old preset, another program) still writes only
// visible files directly into the folder of the plain target.
TEST(TargetNaming, BuiltNamesStayVisibleFilesInTheirFolder) {
    const struct {
        const char16_t *pattern, *target, *from, *to, *expected;
    } rows[] = {
        {u"../../escape_%s", u"/out/a.jpg", nullptr, nullptr, u"_._.._escape_a.jpg"},
        {u"../src/%s", u"/out/a.jpg", nullptr, nullptr, u"_._src_a.jpg"},
        {u"%s", u"/out/.hidden.jpg", nullptr, nullptr, u"_hidden.jpg"},
        {u".%s", u"/out/a.jpg", nullptr, nullptr, u"_a.jpg"},
        {u"%s", u"/out/a.jpg", u"a", u"../../x", u"_._.._x.jpg"},
        {u"%s", u"/out/abc.jpg", u"abc", u"", u"_.jpg"}, // nothing left but the extension
        {u"%f-%s", u"/out/.cache/a.jpg", nullptr, nullptr, u"_cache-a.jpg"},
        {u"%s", u"/out/a.b.jpg", u"a", u"/", u"_.b.jpg"},
    };
    for (const auto& r : rows) {
        ConversionJob job = default_job();
        job.rename = 1;
        job.renamePattern.assign(r.pattern);
        if (r.from) {
            job.replaceText = 1;
            job.replaceFrom.assign(r.from);
            job.replaceTo.assign(r.to);
        }
        const std::u16string path = renamed_target_path(job, {r.target, 1, 1, 0, 1});
        EXPECT_EQ(platform::folder_of(path), platform::folder_of(r.target));
        EXPECT_EQ(platform::file_name_of(path), r.expected);
    }
    // The extension is the job's too.
    EXPECT_EQ(plain_target_path(u"/out", u"a.png", u"./../x"), u"/out/a._.._x");
}

} // namespace
} // namespace vt::engine
