#pragma once
// A job through the engine's door for tests that run jobs: every test job must be one the
// checks accept, so a refusal stops the test at once with its text.

#include <cstdio>
#include <cstdlib>
#include <variant>

#include "base/utf.h"
#include "engine/prepared_job.h"

namespace vt::test {

inline engine::PreparedJob prepared(const engine::ConversionJob& job,
                                    const engine::JobServices& services = {}) {
    auto result = engine::prepare_job(job, {}, services, engine::PrepareMode::run);
    if (const auto* refusal = std::get_if<engine::JobRefusal>(&result)) {
        std::fprintf(stderr, "test job refused: %s\n",
                     base::utf16_to_utf8(engine::refusal_line(*refusal)).c_str());
        std::abort();
    }
    return std::get<engine::PreparedJob>(std::move(result));
}

} // namespace vt::test
