#pragma once
// The desktop program's rules that need no window: which commands the menus offer, the command
// line's preset for the wizard and where the main window goes.
// Thread: plain functions.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/settings.h"

namespace vt::session {

// What files with this target extension hold of a picture's transparency, so that the preview
// shows the picture as the file will: JPEG is flattened onto white, the Netpbm colour and grey
// maps keep the colours and drop the transparency, any other keeps what the picture has.
enum class TargetAlpha { kept, on_white, dropped };
[[nodiscard]] TargetAlpha target_alpha(std::u16string_view extension) noexcept;

// --- Menus, prepared each time a popup opens from a snapshot of the job.
struct MenuState {
    bool newJob = false;
    bool pauseJob = false;
    bool cancelJob = false;
    bool openTargetFolder = false;
    std::u16string pauseText; // English: translated where it is shown
};
// `active`: the snapshot's answer (a worker alive, or running or paused); `paused`: the job's
// state is paused; `target_exists`: the job's targetFolder names an existing folder.
[[nodiscard]] MenuState menu_state(bool active, bool paused, bool target_exists);
// Whether the job's target folder is there to be opened.
[[nodiscard]] bool target_folder_exists(const engine::ConversionJob& job);

// The language item: the translation of "Language", then " (Language)" when that differs, then
// " ..." always, so the command is found in any language.
[[nodiscard]] std::u16string language_item_text(std::u16string_view translated_language);

// --- The command line: blanks and double quotes trimmed at both ends; a text of 4 to 516
// characters naming an existing file or folder sets sourceFolder (the file's folder), for a
// file with an extension of 2 to 9 characters (dot included) targetExtension in lower case,
// and targetFolder to sourceFolder. True when the wizard is to open.
[[nodiscard]] bool preset_from_command_line(std::u16string_view text, engine::ConversionJob& job);

// --- Placement of the main window. Sizes are already DPI-scaled.
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    [[nodiscard]] bool contains(int px, int py) const noexcept {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
};
struct PlacementMetrics {
    std::vector<Rect> monitors;
    Rect virtual_screen;
    int corner_dx = 240, corner_dy = 160; // the second point that must be on the monitor
    int default_width = 720, default_height = 640;
    int min_width = 720, min_height = 500;
};
struct Placement {
    std::optional<std::pair<int, int>> top_left; // nothing: centre the window
    int width = 0, height = 0;                   // client size
    bool maximized = false;
};
[[nodiscard]] Placement placement_from(const engine::SettingsRecord& record,
                                       const PlacementMetrics& metrics);
// What a move and a resize of a visible, not minimized window put into the record.
void note_window_moved(engine::SettingsRecord& record, int left, int top);
void note_window_resized(engine::SettingsRecord& record, bool maximized, const Rect& frame_client);

} // namespace vt::session
