#include "lang/xlat.h"

#include <atomic>

#include "base/fixed_text.h"
#include "base/text.h"
#include "lang/translator.h"

namespace vt::lang {
namespace {

constexpr std::size_t kMaxTitleChars = 255;

std::atomic<decltype(WindowHooks::window_from_handle)> g_window_from_handle{nullptr};
std::atomic<decltype(WindowHooks::open_file_dialog)> g_open_file_dialog{nullptr};

// A menu text as shown, without mnemonic marks: "&&" is one ampersand, any other "&" goes.
std::u16string without_mnemonics(std::u16string_view text) {
    std::u16string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'&') {
            plain.push_back(text[i]);
        } else if (i + 1 < text.size() && text[i + 1] == u'&') {
            plain.push_back(u'&');
            ++i;
        }
    }
    return plain;
}

void translate_menu(MenuText& menu) {
    for (std::size_t item = 0; item < menu.item_count(); ++item) {
        std::u16string text = menu.item_text(item);
        if (!text.empty()) {
            text = without_mnemonics(text.substr(0, kMaxTranslatedChars - 1));
            std::u16string shortcut;
            if (const std::size_t tab = text.find(u'\t'); tab != std::u16string::npos) {
                shortcut = Translate(std::u16string_view(text).substr(tab));
                text.resize(tab);
            }
            menu.set_item_text(item, base::replace_all(Translate(text) + shortcut, u"&", u"&&"));
        }
        if (MenuText* sub = menu.submenu(item))
            translate_menu(*sub);
    }
}

void translate_text_of(WindowText& window) {
    const std::u16string text = window.text();
    if (text.size() >= kMaxTranslatedChars)
        return;
    if (std::u16string translated = Translate(text); translated != text)
        (void)window.set_text(translated);
}

void translate_descendants(WindowText& window) {
    for (std::size_t i = 0; i < window.child_count(); ++i) {
        if (WindowText* child = window.child(i)) {
            translate_text_of(*child);
            translate_descendants(*child);
        }
    }
}

} // namespace

void set_window_hooks(const WindowHooks& hooks) noexcept {
    g_window_from_handle = hooks.window_from_handle;
    g_open_file_dialog = hooks.open_file_dialog;
}

WindowText* window_from_handle(std::uintptr_t handle) noexcept {
    const auto fn = g_window_from_handle.load();
    return fn && handle != 0 ? fn(handle) : nullptr;
}

int TranslateMenu(MenuText& menu) {
    if (!IsTranslationActive())
        return -1;
    translate_menu(menu);
    return 1;
}

int TranslateWindow(WindowText& window) {
    if (!IsTranslationActive())
        return -1;
    if (MenuText* menu = window.menu())
        translate_menu(*menu);
    translate_text_of(window);
    translate_descendants(window);
    return 1;
}

int XlatSetWindowText(WindowText& window, std::u16string_view text) {
    return window.set_text(Translate(text));
}

int XlatDrawText(TextSurface& surface, std::u16string_view text, TextRect& rect,
                 std::uint32_t format) {
    return surface.draw_text(Translate(text), rect, format);
}

platform::MessageAnswer XlatMessageBox(std::u16string_view text, std::u16string_view caption,
                                       platform::MessageButtons buttons,
                                       platform::MessageIcon icon) {
    return platform::message_box(Translate(text), Translate(caption), buttons, icon);
}

int XlatGetOpenFileName(OpenFileRequest& request) {
    const auto dialog = g_open_file_dialog.load();
    if (!dialog)
        return 0;
    OpenFileRequest shown = request;
    const std::u16string title = Translate(request.title);
    shown.title = title.substr(0, base::cut_length(title, kMaxTitleChars));
    for (FileFilter& filter : shown.filters)
        filter.description = Translate(filter.description);
    const int result = dialog(shown);
    request.file_name = shown.file_name;
    request.filter_index = shown.filter_index;
    request.file_offset = shown.file_offset;
    request.extension_offset = shown.extension_offset;
    return result;
}

} // namespace vt::lang
