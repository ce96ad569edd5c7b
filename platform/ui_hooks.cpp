#include "platform/ui_hooks.h"

#include <atomic>

namespace vt::platform {
namespace {

struct AtomicHooks {
    std::atomic<decltype(UiHooks::message_box)> message_box{nullptr};
    std::atomic<decltype(UiHooks::begin_busy)> begin_busy{nullptr};
    std::atomic<decltype(UiHooks::end_busy)> end_busy{nullptr};
    std::atomic<decltype(UiHooks::open_folder)> open_folder{nullptr};
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

BusyCursor::BusyCursor() {
    if (auto fn = hooks().begin_busy.load())
        fn();
}

BusyCursor::~BusyCursor() {
    if (auto fn = hooks().end_busy.load())
        fn();
}

} // namespace vt::platform
