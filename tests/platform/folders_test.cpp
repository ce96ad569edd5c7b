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

// Nobody can be asked in a batch: the answer that changes nothing is taken.
TEST(UiHooks, WithoutAHookTheNegativeAnswerIsTaken) {
    EXPECT_EQ(message_box(u"Overwrite?", u"Question", MessageButtons::yes_no), MessageAnswer::no);
    EXPECT_EQ(message_box(u"Go on?", u"", MessageButtons::ok_cancel), MessageAnswer::cancel);
    EXPECT_FALSE(open_folder(u"/tmp"));
}

} // namespace
} // namespace vt::platform
