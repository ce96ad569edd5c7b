#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/folders.h"
#include "platform/ui_hooks.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

using test::TempFolder;

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(Folders, InstalledDataRootFollowsXdgAndIsCreated) {
    TempFolder tmp;
    ScopedEnv suite("VANTREL_PATH", tmp / "suite");
    ScopedEnv root("VANTREL_DATA_ROOT", std::nullopt);
    ScopedEnv xdg("XDG_DATA_HOME", tmp / "data");
    ScopedEnv docs("XDG_DOCUMENTS_DIR", tmp / "docs");
    EXPECT_FALSE(is_portable());
    EXPECT_EQ(suite_program_folder(), tmp.sub16("suite"));
    EXPECT_EQ(suite_data_root(), tmp.sub16("data/Vantrel"));
    EXPECT_EQ(program_data_folder(), tmp.sub16("data/Vantrel/Converter/"));
    EXPECT_TRUE(tmp.exists("data/Vantrel/Converter"));
    EXPECT_EQ(shared_content_folder(), tmp.sub16("docs/Vantrel"));
    // The data root is the user's alone; wider modes found there are narrowed.
    for (const char* folder : {"data/Vantrel", "data/Vantrel/Converter"}) {
        ::chmod((tmp / folder).c_str(), 0777);
        (void)program_data_folder();
        struct stat st {};
        ASSERT_EQ(::stat((tmp / folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
}

// The documents folder as xdg-user-dirs names it, in the file's own syntax and its odd lines.
TEST(Folders, UserDirsNameTheDocumentsFolder) {
    struct Case {
        const char* text;
        std::u16string want;
    };
    const Case cases[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", u"/home/u/Dokumente"},
        {"# comment\n  XDG_DOCUMENTS_DIR=\"/data/docs/\"", u"/data/docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", u"/home/u"},
        {"XDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n", u""}, // not $HOME
        {"XDG_DOCUMENTS_DIR=\"relative/x\"\n", u""},  // neither absolute nor $HOME
        {"XDG_DOCUMENTS_DIR=\"/no/closing/quote\n", u""},
        {"XDG_DOCUMENTS_DIRX=\"/x\"\nXDG_DOWNLOAD_DIR=\"/d\"\n", u""},
        {"XDG_DOCUMENTS_DIR=\"/first\"\nXDG_DOCUMENTS_DIR=\"/second\"\n", u"/second"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente \xc3\xa4\"\n", u"/home/u/Dokumente \u00e4"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(user_dir_from(c.text, "XDG_DOCUMENTS_DIR", u"/home/u"), c.want) << c.text;

    TempFolder tmp;
    tmp.write("config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    ScopedEnv home("HOME", tmp / "home");
    ScopedEnv config("XDG_CONFIG_HOME", tmp / "config");
    ScopedEnv docs("XDG_DOCUMENTS_DIR", std::nullopt);
    EXPECT_EQ(documents_folder(), tmp.sub16("home/Dokumente"));
    ScopedEnv none("XDG_CONFIG_HOME", tmp / "nowhere");
    EXPECT_EQ(documents_folder(), tmp.sub16("home/Documents"));
}

TEST(Folders, PortableInstallationKeepsEverythingBesideTheProgram) {
    TempFolder tmp;
    std::filesystem::create_directories(tmp / "suite/Portable");
    ScopedEnv suite("VANTREL_PATH", tmp / "suite/");
    ScopedEnv root("VANTREL_DATA_ROOT", std::nullopt);
    EXPECT_TRUE(is_portable());
    EXPECT_EQ(suite_data_root(), tmp.sub16("suite/Portable/Sys/AppData"));
    EXPECT_EQ(shared_content_folder(), tmp.sub16("suite/Portable/Extras/Content"));
    // An explicit data root wins over everything.
    ScopedEnv explicit_root("VANTREL_DATA_ROOT", tmp / "elsewhere");
    EXPECT_EQ(suite_data_root(), tmp.sub16("elsewhere"));
}

// Where a program finds its suite program folder and its shipped data, by what lies beside the
// folder it runs from. The environment plays no part.
TEST(Folders, InstalledAndDataFoldersFollowTheLayoutBesideTheProgram) {
    TempFolder tmp;
    for (const char* folder :
         {"usr/bin", "usr/lib/vantrel/Plugins", "usr/share/vantrel/Help", "build/bin/Plugins",
          "build/lib", "opt/bin", "opt/lib/vantrel", "tools/lib/vantrel", "tools/share/vantrel"})
        std::filesystem::create_directories(tmp / folder);
    tmp.write("file/lib/vantrel");
    struct Case {
        const char* module;
        const char* installed; // all three relative to tmp
        const char* data;
    };
    const Case cases[] = {
        // An installation under a prefix: the Linux layout.
        {"usr/bin", "usr/lib/vantrel", "usr/share/vantrel"},
        {"usr/bin/", "usr/lib/vantrel", "usr/share/vantrel"},
        // The build tree (its lib/ holds static libraries) and a portable tree keep everything
        // beside the program.
        {"build/bin", "build/bin", "build/bin"},
        // A prefix with the suite folder but no data folder: data beside the program.
        {"opt/bin", "opt/lib/vantrel", "opt/bin"},
        // Only a folder named bin is a prefix's program folder.
        {"tools", "tools", "tools"},
        // A file is not a folder.
        {"file/bin", "file/bin", "file/bin"},
    };
    for (const Case& c : cases) {
        const std::u16string module = tmp.sub16(c.module);
        EXPECT_EQ(installed_folder_of(module), tmp.sub16(c.installed)) << c.module;
        EXPECT_EQ(data_folder_of(module), tmp.sub16(c.data)) << c.module;
    }
    EXPECT_EQ(installed_folder_of(u""), u"");
    EXPECT_EQ(data_folder_of(u""), u"");
    // A relative folder is never resolved against the current folder.
    EXPECT_EQ(installed_folder_of(u"bin"), u"bin");
}

// The running test program lives in the build tree: it finds its folders beside itself, and
// $VANTREL_PATH moves only the suite program folder, never the plug-ins or the shipped data.
TEST(Folders, TheBuildTreeKeepsEverythingBesideTheProgram) {
    TempFolder tmp;
    ScopedEnv suite("VANTREL_PATH", tmp / "suite");
    const std::u16string module = module_folder();
    ASSERT_FALSE(module.empty());
    EXPECT_EQ(plugins_folder(), module + u"/Plugins/");
    EXPECT_EQ(data_folder(), module);
    EXPECT_EQ(suite_program_folder(), tmp.sub16("suite"));
    ScopedEnv unset("VANTREL_PATH", std::nullopt);
    EXPECT_EQ(suite_program_folder(), module);
}

// Nobody can be asked in a batch: the answer that changes nothing is taken.
TEST(UiHooks, WithoutAHookTheNegativeAnswerIsTaken) {
    EXPECT_EQ(message_box(u"Overwrite?", u"Question", MessageButtons::yes_no), MessageAnswer::no);
    EXPECT_EQ(message_box(u"Go on?", u"", MessageButtons::ok_cancel), MessageAnswer::cancel);
    EXPECT_FALSE(open_folder(u"/tmp"));
}

} // namespace
} // namespace vt::platform
