#pragma once
// What the libraries below the front ends may ask of a user interface: a message box, a
// password, the busy cursor and opening a folder with the desktop. The desktop program installs Qt
// versions; the command line installs its own. The defaults are quiet: no box (the default answer
// is taken), no cursor, no folder opened. Thread: set_ui_hooks before any job starts; the calls
// from any thread (the hooks must cope).

#include <cstddef>
#include <string_view>

namespace vt::platform {

enum class MessageButtons { ok, ok_cancel, yes_no, yes_no_cancel, retry_cancel };
enum class MessageIcon { none, information, warning, error };
enum class MessageAnswer { ok, cancel, yes, no, retry };

struct UiHooks {
    MessageAnswer (*message_box)(std::u16string_view text, std::u16string_view title,
                                 MessageButtons buttons, MessageIcon icon) = nullptr;
    void (*begin_busy)() = nullptr;
    void (*end_busy)() = nullptr;
    bool (*open_folder)(std::u16string_view folder) = nullptr;
    // The password dialog: `prompt` is the caption, a line break and the prompt text (see
    // split_password_prompt). On OK the typed text goes to `answer` (at most `capacity` - 1
    // units and a NUL) and the result is true; Cancel, or no dialog, gives false.
    bool (*ask_password)(std::u16string_view prompt, char16_t* answer,
                         std::size_t capacity) = nullptr;
};

// Installs hooks; a null member keeps the quiet default.
void set_ui_hooks(const UiHooks& hooks) noexcept;

// The negative answer of a button set: what a box answers when nobody can be asked.
[[nodiscard]] MessageAnswer default_answer(MessageButtons buttons) noexcept;

MessageAnswer message_box(std::u16string_view text, std::u16string_view title,
                          MessageButtons buttons = MessageButtons::ok,
                          MessageIcon icon = MessageIcon::none);
bool open_folder(std::u16string_view folder);

// Asks for a password; the quiet default cancels.
bool ask_password(std::u16string_view prompt, char16_t* answer, std::size_t capacity);

// A password prompt's caption (the text before the first line break) and its prompt text (the
// rest after the blanks, carriage returns, line feeds and tabs that lead it).
struct PasswordPrompt {
    std::u16string_view caption, text;
};
[[nodiscard]] PasswordPrompt split_password_prompt(std::u16string_view prompt) noexcept;

// Shows the busy cursor for its lifetime.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace vt::platform
