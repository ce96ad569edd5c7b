#pragma once
// Translation where texts are shown: menus, windows, drawn texts, message boxes and the
// open-file dialog. Below the desktop program there are no windows, so a window, a menu and a
// drawing surface are the small interfaces here, which the desktop program implements over its
// widgets; message boxes go through the UI hooks (platform/ui_hooks.h). With no translation
// active every wrapper shows the English text unchanged.
// Thread: the thread that owns the windows (the UI thread); callbacks are called on it.
// set_window_hooks before any window exists.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui_hooks.h"

namespace vt::lang {

// A menu: its items in order, each with a text (empty for a separator) and perhaps a submenu.
// Texts use "&" before the mnemonic and "&&" for an ampersand, a tab before the shortcut.
class MenuText {
public:
    virtual ~MenuText() = default;
    [[nodiscard]] virtual std::size_t item_count() const = 0;
    [[nodiscard]] virtual std::u16string item_text(std::size_t item) const = 0;
    virtual void set_item_text(std::size_t item, std::u16string_view text) = 0;
    // Null when the item opens none.
    [[nodiscard]] virtual MenuText* submenu(std::size_t item) = 0;
};

// A window: its own text, its menu (null when it has none) and its child windows, each of which
// is a window again.
class WindowText {
public:
    virtual ~WindowText() = default;
    [[nodiscard]] virtual std::u16string text() const = 0;
    // Nonzero when the text was set.
    virtual int set_text(std::u16string_view text) = 0;
    [[nodiscard]] virtual MenuText* menu() = 0;
    [[nodiscard]] virtual std::size_t child_count() const = 0;
    [[nodiscard]] virtual WindowText* child(std::size_t index) = 0;
};

struct TextRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// Something text is drawn on. `rect` may be changed (a measuring format sets it); the result is
// the drawing call's (the text's height, 0 on failure).
class TextSurface {
public:
    virtual ~TextSurface() = default;
    virtual int draw_text(std::u16string_view text, TextRect& rect, std::uint32_t format) = 0;
};

struct FileFilter {
    std::u16string description; // translated
    std::u16string patterns;    // "*.png;*.jpg", never translated
};

struct OpenFileRequest {
    std::uintptr_t owner = 0;
    std::u16string title;
    std::vector<FileFilter> filters;
    std::uint32_t filter_index = 0;     // 1-based, as chosen
    std::u16string file_name;           // in: the proposed name; out: the chosen path
    std::uint16_t file_offset = 0;      // out: where the name begins in file_name
    std::uint16_t extension_offset = 0; // out: where its extension begins
};

// What the desktop program supplies. A null member: no such window / no dialog.
struct WindowHooks {
    // The window behind a plug-in's window handle, or null.
    WindowText* (*window_from_handle)(std::uintptr_t handle) = nullptr;
    // Shows the open-file dialog; nonzero when a file was chosen.
    int (*open_file_dialog)(OpenFileRequest& request) = nullptr;
};
void set_window_hooks(const WindowHooks& hooks) noexcept;
[[nodiscard]] WindowText* window_from_handle(std::uintptr_t handle) noexcept;

// Every item in order, each followed by its submenu: mnemonics removed, the text and the
// shortcut after its tab translated separately, literal ampersands kept. 1, or -1 when no
// translation is active.
int TranslateMenu(MenuText& menu);
// The window's menu, its own text, then every descendant window's text (depth first). Texts of
// 4096 characters or more are left alone, and a text is set only when its translation differs.
// 1, or -1 when no translation is active.
int TranslateWindow(WindowText& window);

// Translate, then do what the system call does; its result.
int XlatSetWindowText(WindowText& window, std::u16string_view text);
int XlatDrawText(TextSurface& surface, std::u16string_view text, TextRect& rect,
                 std::uint32_t format);
platform::MessageAnswer
XlatMessageBox(std::u16string_view text, std::u16string_view caption,
               platform::MessageButtons buttons = platform::MessageButtons::ok,
               platform::MessageIcon icon = platform::MessageIcon::none);
// The dialog sees a copy with the title (cut at 255 characters) and the filter descriptions
// translated; the chosen file name, filter index and offsets are copied back. 0 when no file
// was chosen or there is no dialog.
int XlatGetOpenFileName(OpenFileRequest& request);

} // namespace vt::lang
