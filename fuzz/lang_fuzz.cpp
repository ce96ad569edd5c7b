// A language file as anyone may have written it, in any encoding, then texts translated with it:
// fixed ones, and the file's own text, whose keys meet their entries.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "lang/text_decode.h"
#include "lang/translator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vt::lang;
    const std::span<const std::uint8_t> bytes(data, size);
    if (!load_language_bytes(bytes, 1))
        return 0;
    const std::u16string own = decode_text_file(bytes);
    const std::u16string texts[] = {
        u"Open file",    u"  Save!",          u"Done. Next step",
        u"See etc. For", u"Save as VT5 file", u"\tCtrl+O",
        u"OPEN",         own.substr(0, 512),  own.substr(own.size() / 2, 200),
    };
    for (const std::u16string& text : texts) {
        char16_t out[40];
        (void)TranslateText(out, 40, text.c_str());
        if (std::char_traits<char16_t>::length(out) >= 40)
            std::abort();
        if (Translate(text).size() >= kMaxTranslatedChars)
            std::abort();
    }
    UnloadLanguageFile();
    return 0;
}
