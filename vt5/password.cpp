// The password step and the placeholder frames of protected files.

#include "vt5/password.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

#include "base/le.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "platform/ui_hooks.h"
#include "vt5/code_page.h"
#include "vt5/vt5.h"

namespace vt::vt5 {
namespace {

// The dialog's buffer: 260 units, of which the password field fills at most 256.
constexpr std::size_t kPromptUnits = 260;
constexpr std::size_t kTypedUnits = 256;

struct PasswordList {
    std::mutex lock;
    std::vector<std::u16string> passwords;
};

PasswordList& password_list() {
    static PasswordList list;
    return list;
}

// Unscrambles with `password` (not empty) and returns the wrapping sum of the output.
std::uint32_t unscramble(std::span<std::uint8_t> out, std::span<const std::uint8_t> data,
                         std::string_view password) noexcept {
    std::uint32_t sum = 0;
    const std::size_t n = password.size();
    for (std::size_t i = 0, k = 0; i < data.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(data[i] - static_cast<std::uint8_t>(password[k]));
        sum += out[i];
        if (++k == n)
            k = 0;
    }
    return sum;
}

platform::MessageAnswer warn(std::u16string_view text, std::u16string_view title,
                             platform::MessageButtons buttons) {
    return platform::message_box(text, title, buttons, platform::MessageIcon::warning);
}

} // namespace

void Vt5SetPasswords(std::vector<std::u16string> passwords) {
    PasswordList& list = password_list();
    const std::lock_guard guard(list.lock);
    list.passwords = std::move(passwords);
}

std::vector<std::u16string> known_passwords() {
    PasswordList& list = password_list();
    const std::lock_guard guard(list.lock);
    return list.passwords;
}

std::string password_bytes(std::u16string_view typed) {
    std::string bytes;
    if (auto coded = encode_code_page(typed)) {
        bytes = std::move(*coded);
    } else {
        for (const char16_t c : typed)
            bytes.push_back(static_cast<char>(c & 0xFF));
    }
    if (bytes.size() > kPasswordCut)
        bytes.resize(kPasswordCut);
    return bytes;
}

PasswordResult undo_password_step(std::span<std::uint8_t> out, std::span<const std::uint8_t> in,
                                  const image::LoadStatus& status,
                                  std::span<const std::u16string> passwords) {
    if (in.empty() || in[0] > in.size() || out.size() < in.size() - in[0])
        return {};
    const std::size_t h = in[0];
    std::uint8_t record[kPasswordRecord] = {};
    std::copy_n(in.begin(), std::min(h, kPasswordRecord), record);
    record[kPasswordHintEnd] = 0;
    const std::uint32_t checksum = base::load_le32(record + kPasswordChecksumAt);
    const std::span<const std::uint8_t> data = in.subspan(h);
    const std::span<std::uint8_t> target = out.first(data.size());
    const PasswordResult opened{PasswordOutcome::opened, data.size()};

    if (status.silent) {
        for (const std::u16string& typed : passwords) {
            const std::string password = password_bytes(typed);
            if (!password.empty() &&
                (unscramble(target, data, password) == checksum || checksum == 0))
                return opened;
        }
        return {PasswordOutcome::not_given, 0};
    }

    std::u16string prompt = u"Enter VT5 Password\n";
    prompt += decode_code_page({record + 1, kPasswordHintEnd - 1});
    prompt.resize(std::min(prompt.size(), kPromptUnits - 1));
    for (;;) {
        char16_t typed[kTypedUnits + 1] = {};
        if (!platform::ask_password(prompt, typed, std::size(typed)))
            return {PasswordOutcome::not_given, 0};
        const std::string password = password_bytes(typed);
        if (password.empty()) {
            if (warn(u"Please enter a valid password.", u"No Password",
                     platform::MessageButtons::ok_cancel) == platform::MessageAnswer::ok)
                continue;
            return {PasswordOutcome::not_given, 0};
        }
        const std::uint32_t sum = unscramble(target, data, password);
        if (checksum == 0) {
            warn(u"The password you entered has been applied without\nvalidation. If the image "
                 u"is corrupted, it's incorrect.",
                 u"Skipping Validation", platform::MessageButtons::ok);
            return opened;
        }
        if (sum == checksum)
            return opened;
        if (warn(u"The password you entered is incorrect.", u"Wrong Password",
                 platform::MessageButtons::retry_cancel) != platform::MessageAnswer::retry)
            return {PasswordOutcome::not_given, 0};
    }
}

std::uint32_t make_placeholder_frames(Layer* layers, std::uint32_t capacity,
                                      image::LoadStatus& status, std::int32_t width,
                                      std::int32_t height) noexcept {
    status.doc_kind = 2;
    status.password_protected = 1;
    status.error_text.assign(u"The file is password-protected");
    thread_local std::minstd_rand random{std::random_device{}()};
    auto channel = [] {
        const std::uint32_t r = random() % 32768;
        return (r * 255 + 16383) / 32767;
    };
    const std::uint32_t wanted = std::min<std::uint32_t>(capacity, kPlaceholderFrames);
    std::uint32_t made = 0;
    for (; layers != nullptr && made < wanted; ++made) {
        Layer& slot = layers[made];
        image::release_layer(slot);
        std::memset(static_cast<void*>(&slot), 0, sizeof(Layer));
        if (image::CreateBitmap(&slot.bitmap, width, height, 0) == 0)
            break;
        slot.mode2 = kPlaceholderDelay;
        image::ScopedBitmapLock lock(&slot.bitmap, 0);
        if (!lock.locked())
            continue;
        for (std::uint32_t y = 0; y < slot.bitmap.height; ++y) {
            std::uint32_t* row = slot.bitmap.pixels + std::size_t{y} * slot.bitmap.stride;
            for (std::uint32_t x = 0; x < slot.bitmap.width; ++x) {
                const std::uint32_t r = channel(), g = channel(), b = channel();
                row[x] = b | g << 8 | r << 16;
            }
        }
    }
    return made;
}

} // namespace vt::vt5
