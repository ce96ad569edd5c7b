#include "session/session.h"

#include "gfxcore/runtime.h"
#include "lang/translator.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/pending_ops.h"
#include "plugins/filter_registry.h"
#include "sdk/vt_core.h"

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
    (void)platform::replay_pending_operations();
    m_registry = plugins::filter_registry().start();
    if (!m_core.open(u"" VT_CORE_LIBRARY_NAME)) {
        const std::u16string suite = platform::suite_program_folder();
        if (!suite.empty())
            (void)m_core.open(platform::join_path(suite, u"" VT_CORE_LIBRARY_NAME));
    }
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
