#pragma once
// The password step of the single-image layouts (codec identifier 255) and the placeholder
// frames that a protected file gives when it is not opened.
//
// Password header at the start of the step's input (L bytes); bytes past its length h read as 0
// and at most 72 of them are looked at:
//
//   offset  size  field
//        0     1  header length h: the scrambled data starts at offset h
//        1    61  password hint, 8-bit text in the system code page (offset 62 always ends it)
//       62     6  not used
//       68     4  checksum: the 32-bit wrapping sum of the L - h unscrambled bytes; 0 = none
//
// Unscrambling: output[i] = input[h + i] - password[i mod n] (mod 256), the password being the
// typed text in the system code page cut to 35 bytes.
// Thread: any; the dialog and boxes go through the platform hooks of the calling thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/load_status.h"
#include "sdk/vt_plugin.h"

namespace vt::vt5 {

inline constexpr std::size_t kPasswordRecord = 72;
inline constexpr std::size_t kPasswordHintEnd = 62;
inline constexpr std::size_t kPasswordChecksumAt = 68;
inline constexpr std::size_t kPasswordCut = 35;
inline constexpr std::size_t kPlaceholderFrames = 4;
inline constexpr std::uint16_t kPlaceholderDelay = 50;

enum class PasswordOutcome : std::uint8_t {
    opened,    // the output holds the unscrambled data
    not_given, // cancelled, or no password fits: the caller makes placeholder frames
    corrupt,   // no header, or a header longer than the data
};

struct PasswordResult {
    PasswordOutcome outcome = PasswordOutcome::corrupt;
    std::size_t length = 0; // bytes of output when opened (L - h)
};

// The typed password as the step uses it: the system code page (or, when a character has no
// place there, the low byte of every unit), at most 35 bytes.
[[nodiscard]] std::string password_bytes(std::u16string_view typed);

// Undoes the step from `in` into `out` (room for in.size() bytes). A read that is not silent
// asks through platform::ask_password with "Enter VT5 Password\n" and the hint, and answers an
// empty password, a missing checksum or a wrong one with the boxes of the format; a silent
// read tries `passwords` in order, without boxes, and takes the first that the checksum
// accepts (with no checksum, the first that is not empty).
[[nodiscard]] PasswordResult undo_password_step(std::span<std::uint8_t> out,
                                                std::span<const std::uint8_t> in,
                                                const image::LoadStatus& status,
                                                std::span<const std::u16string> passwords);

// Fills min(capacity, 4) slots with frames of random opaque colours of width x height (stopping
// at the first bitmap that cannot be made), each at (0, 0) with a delay of 50 in mode2; sets
// doc_kind 2, password_protected and "The file is password-protected". Returns the frames made.
std::uint32_t make_placeholder_frames(Layer* layers, std::uint32_t capacity,
                                      image::LoadStatus& status, std::int32_t width,
                                      std::int32_t height) noexcept;

// The passwords a silent read tries (see Vt5SetPasswords).
[[nodiscard]] std::vector<std::u16string> known_passwords();

} // namespace vt::vt5
