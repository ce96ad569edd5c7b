#include "session/session.h"

#include "gfxcore/runtime.h"
#include "platform/pending_ops.h"
#include "plugins/filter_registry.h"

namespace vt::session {

Session::Session() {
    char16_t why[256] = {};
    if (!gfx::EngineStartup(why, 256)) {
        m_failure = why;
        return;
    }
    m_engine = true;
    (void)platform::replay_pending_operations();
    m_registry = plugins::filter_registry().start();
}

Session::~Session() {
    if (m_registry)
        plugins::filter_registry().stop();
    if (m_engine)
        gfx::EngineShutdown();
}

} // namespace vt::session
