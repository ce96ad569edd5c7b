#pragma once
// What a front end starts before its first job and stops after its last, in this order: the
// graphics engine, the language (when asked), the moves and deletes the last run left pending,
// the filter registry and the suite's core library. Shutting down goes backwards. Both front ends
// use this one order. Thread: the front end's main thread. Construct it before any job starts and
// destroy it after every job has ended; nothing else starts or stops what it holds.

#include <string>

#include "platform/dynamic_library.h"

namespace vt::session {

class Session {
public:
    struct Options {
        bool language = false; // load the configured language file; its translator then
                               // becomes the text hook
    };
    Session();
    explicit Session(Options options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // False when the graphics engine could not start; failure_text() says why, and nothing
    // else was started. A registry that cannot load its files still starts from defaults.
    [[nodiscard]] bool started() const noexcept { return m_engine; }
    [[nodiscard]] const std::u16string& failure_text() const noexcept { return m_failure; }
    // The core library from the suite program folder, by its absolute path; kept loaded while
    // the session lasts. Its bridge copes without it, so a missing one is no failure.
    [[nodiscard]] const platform::DynamicLibrary& core_library() const noexcept { return m_core; }

private:
    bool m_engine = false;
    bool m_language = false;
    bool m_registry = false;
    platform::DynamicLibrary m_core;
    std::u16string m_failure;
};

} // namespace vt::session
