#include "session/session.h"

#include "gfxcore/runtime.h"
#include "lang/translator.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/pending_ops.h"
#include "platform/private_files.h"
#include "platform/ui_hooks.h"
#include "plugins/core_bridge.h"
#include "plugins/filter_registry.h"
#include "session/remembered.h"

namespace vt::session {

Session::Session() : Session(Options{}) {}

Session::Session(Options options) {
    char16_t why[256] = {};
    if (!gfx::EngineStartup(why, 256)) {
        m_failure = why;
        return;
    }
    m_engine = true;
    if (options.language) {
        (void)lang::LoadLanguageFile();
        m_language = true;
    }
    (void)platform::replay_pending_operations(); // also narrows a data root of ours
    // A data root that another user owns, or that others may still write, is used without the
    // files loaded as code or replayed as commands (platform/private_files.h): the user is told.
    if (const std::u16string problem = platform::data_root_problem(platform::suite_data_root());
        !problem.empty())
        (void)platform::message_box(problem, u"Vantrel Converter", platform::MessageButtons::ok,
                                    platform::MessageIcon::warning);
    m_registry = plugins::filter_registry().start();
    // The options the user set in the plug-in dialog hold for every job and both front ends.
    (void)restore_plugin_options();
    if (const std::u16string core = plugins::core_library_path(); !core.empty())
        (void)m_core.open(core);
}

Session::~Session() {
    m_core.reset();
    if (m_registry)
        plugins::filter_registry().stop();
    if (m_language)
        lang::UnloadLanguageFile();
    if (m_engine)
        gfx::EngineShutdown();
}

} // namespace vt::session
