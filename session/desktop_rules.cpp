#include "session/desktop_rules.h"

#include <algorithm>

#include "base/text.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace vt::session {

TargetAlpha target_alpha(std::u16string_view extension) noexcept {
    const auto same = [extension](std::u16string_view known) {
        return extension.size() == known.size() &&
               std::equal(extension.begin(), extension.end(), known.begin(),
                          [](char16_t a, char16_t b) {
                              return (a >= u'A' && a <= u'Z' ? a + 32 : a) == b;
                          });
    };
    for (std::u16string_view jpeg : {u".jpg", u".jpeg", u".jpe", u".jfif"})
        if (same(jpeg))
            return TargetAlpha::on_white;
    for (std::u16string_view map : {u".ppm", u".pgm", u".pbm", u".pnm"})
        if (same(map))
            return TargetAlpha::dropped;
    return TargetAlpha::kept;
}
namespace {

std::int16_t clamp16(int v) {
    return static_cast<std::int16_t>(std::clamp(v, -32768, 32767));
}
std::uint16_t clampu16(int v) {
    return static_cast<std::uint16_t>(std::clamp(v, 0, 65535));
}

} // namespace

MenuState menu_state(bool active, bool paused, bool target_exists) {
    MenuState m;
    m.newJob = !active;
    m.pauseJob = active;
    m.cancelJob = active;
    m.openTargetFolder = target_exists;
    m.pauseText = paused ? u"Un&pause Job" : u"&Pause Job";
    return m;
}

bool target_folder_exists(const engine::ConversionJob& job) {
    const std::u16string_view folder = job.targetFolder.view();
    return !folder.empty() && platform::is_directory(folder);
}

std::u16string language_item_text(std::u16string_view translated) {
    std::u16string text(translated);
    if (translated != u"Language")
        text += u" (Language)";
    return text + u" ...";
}

bool preset_from_command_line(std::u16string_view text, engine::ConversionJob& job) {
    const std::u16string_view path = base::trim(text, u" \"");
    if (path.size() < 4 || path.size() > 516)
        return false;
    if (platform::is_file(path)) {
        job.sourceFolder.assign(platform::folder_of(path));
        const std::u16string_view ext = platform::extension_of(path);
        if (ext.size() >= 2 && ext.size() <= 9) {
            std::u16string lower(ext);
            for (char16_t& c : lower)
                if (c >= u'A' && c <= u'Z')
                    c = static_cast<char16_t>(c + 32);
            job.targetExtension.assign(lower);
        }
    } else if (platform::is_directory(path)) {
        std::u16string_view folder = path;
        while (folder.size() > 1 && folder.back() == platform::kSeparator)
            folder.remove_suffix(1);
        job.sourceFolder.assign(folder);
    } else {
        return false;
    }
    job.targetFolder = job.sourceFolder;
    return true;
}

Placement placement_from(const engine::SettingsRecord& r, const PlacementMetrics& m) {
    Placement p;
    p.width = m.default_width;
    p.height = m.default_height;
    if (r.windowLeft != 0 || r.windowTop != 0) {
        for (const Rect& monitor : m.monitors)
            if (monitor.contains(r.windowLeft, r.windowTop) &&
                monitor.contains(r.windowLeft + m.corner_dx, r.windowTop + m.corner_dy)) {
                p.top_left = std::pair{int{r.windowLeft}, int{r.windowTop}};
                break;
            }
    }
    if (r.clientWidth >= m.min_width && r.clientHeight >= m.min_height &&
        r.clientWidth <= m.virtual_screen.width && r.clientHeight <= m.virtual_screen.height) {
        p.width = r.clientWidth;
        p.height = r.clientHeight;
    }
    p.maximized = r.maximized();
    return p;
}

void note_window_moved(engine::SettingsRecord& r, int left, int top) {
    r.windowLeft = clamp16(left);
    r.windowTop = clamp16(top);
}

void note_window_resized(engine::SettingsRecord& r, bool maximized, const Rect& frame) {
    if (maximized) {
        r.showState = 1;
        return;
    }
    r.showState = 0;
    r.clientWidth = clampu16(frame.width);
    r.clientHeight = clampu16(frame.height);
    note_window_moved(r, frame.x, frame.y);
}

} // namespace vt::session
