#include "platform/ui_hooks.h"

#include <atomic>

namespace vt::platform {
namespace {

struct AtomicHooks {
    std::atomic<decltype(UiHooks::message_box)> message_box{nullptr};
    std::atomic<decltype(UiHooks::begin_busy)> begin_busy{nullptr};
    std::atomic<decltype(UiHooks::end_busy)> end_busy{nullptr};
    std::atomic<decltype(UiHooks::open_folder)> open_folder{nullptr};
    std::atomic<decltype(UiHooks::ask_password)> ask_password{nullptr};
};

AtomicHooks& hooks() {
    static AtomicHooks instance;
    return instance;
}

} // namespace

void set_ui_hooks(const UiHooks& h) noexcept {
    hooks().message_box = h.message_box;
    hooks().begin_busy = h.begin_busy;
    hooks().end_busy = h.end_busy;
    hooks().open_folder = h.open_folder;
    hooks().ask_password = h.ask_password;
}

MessageAnswer default_answer(MessageButtons buttons) noexcept {
    switch (buttons) {
    case MessageButtons::ok:
        return MessageAnswer::ok;
    case MessageButtons::yes_no:
        return MessageAnswer::no;
    case MessageButtons::ok_cancel:
    case MessageButtons::yes_no_cancel:
    case MessageButtons::retry_cancel:
        return MessageAnswer::cancel;
    }
    return MessageAnswer::cancel;
}

MessageAnswer message_box(std::u16string_view text, std::u16string_view title,
                          MessageButtons buttons, MessageIcon icon) {
    if (auto fn = hooks().message_box.load())
        return fn(text, title, buttons, icon);
    return default_answer(buttons);
}

bool open_folder(std::u16string_view folder) {
    if (auto fn = hooks().open_folder.load())
        return fn(folder);
    return false;
}

bool ask_password(std::u16string_view prompt, char16_t* answer, std::size_t capacity) {
    if (answer == nullptr || capacity == 0)
        return false;
    answer[0] = 0;
    if (auto fn = hooks().ask_password.load()) {
        const bool ok = fn(prompt, answer, capacity);
        answer[capacity - 1] = 0;
        return ok;
    }
    return false;
}

PasswordPrompt split_password_prompt(std::u16string_view prompt) noexcept {
    const std::size_t cut = prompt.find_first_of(u"\r\n");
    if (cut == std::u16string_view::npos)
        return {prompt, {}};
    std::u16string_view rest = prompt.substr(cut);
    const std::size_t start = rest.find_first_not_of(u" \r\n\t");
    rest = start == std::u16string_view::npos ? std::u16string_view{} : rest.substr(start);
    return {prompt.substr(0, cut), rest};
}

BusyCursor::BusyCursor() {
    if (auto fn = hooks().begin_busy.load())
        fn();
}

BusyCursor::~BusyCursor() {
    if (auto fn = hooks().end_busy.load())
        fn();
}

} // namespace vt::platform
