#include "session/job_door.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "base/text.h"
#include "base/utf.h"
#include "plugins/plugin_interface.h"
#include "session/engine_limits.h"
#include "session/format_catalogue.h"

namespace vt::session {

engine::JobServices job_services() {
    engine::JobServices services;
    // Only the target's writer is looked for: asking every plug-in about every format loads
    // each library dozens of times.
    services.writes = [](std::u16string_view extension) {
        return base::iequal(extension, u".vt5") ||
               plugins::find_save_plugin(u"x" + std::u16string(extension),
                                         plugins::filter_registry())
                   .has_value();
    };
    auto known = std::make_shared<std::optional<std::vector<PluginOption>>>();
    services.check_option = [known](std::u16string_view name,
                                    std::string_view value) -> std::optional<std::string> {
        if (is_engine_limit(name))
            return check_engine_limit(name, value);
        const std::string key = base::utf16_to_utf8(name);
        const auto named = [&key](const PluginOption& o) { return o.name == key; };
        // Its owner first: a library once loaded may stay in memory for the whole job.
        const std::vector<PluginOption> own = options_of_owner(name);
        if (const auto option = std::find_if(own.begin(), own.end(), named); option != own.end())
            return check_option_value(*option, value);
        if (!*known)
            *known = plugin_options();
        const auto option = std::find_if((*known)->begin(), (*known)->end(), named);
        if (option == (*known)->end())
            return "unknown plug-in option '" + key + "'";
        return check_option_value(*option, value);
    };
    return services;
}

namespace {

struct JobFiles {
    std::mutex lock;
    engine::SourceFiles files;
};

JobFiles& the_job_files() {
    static JobFiles instance;
    return instance;
}

} // namespace

void set_job_files(engine::SourceFiles files) {
    JobFiles& j = the_job_files();
    std::lock_guard guard(j.lock);
    j.files = std::move(files);
}

engine::SourceFiles job_files() {
    JobFiles& j = the_job_files();
    std::lock_guard guard(j.lock);
    return j.files;
}

engine::Prepared prepare_job(const engine::ConversionJob& job, engine::PluginOptions options,
                             engine::PrepareMode mode) {
    return engine::prepare_job(job, std::move(options), job_services(), mode, job_files());
}

} // namespace vt::session
