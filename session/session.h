#pragma once
// What a front end starts before its first job and stops after its last, in this order: the
// graphics engine, the moves and deletes the last run left pending, the filter registry.
// Shutting down goes backwards. Both front ends use this one order.
// Thread: the front end's main thread. Construct it before any job starts and destroy it after
// every job has ended; nothing else starts or stops what it holds.

#include <string>

namespace vt::session {

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False when the graphics engine could not start; failure_text() says why, and nothing
    // else was started. A registry that cannot load its files still starts from defaults.
    [[nodiscard]] bool started() const noexcept { return m_engine; }
    [[nodiscard]] const std::u16string& failure_text() const noexcept { return m_failure; }

private:
    bool m_engine = false;
    bool m_registry = false;
    std::u16string m_failure;
};

} // namespace vt::session
