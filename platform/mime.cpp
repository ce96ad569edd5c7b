#include "platform/mime.h"

#include <fstream>

#include "base/text.h"
#include "base/utf.h"

namespace vt::platform {

std::u16string file_type_name(std::u16string_view extension) {
    std::u16string bare(extension.substr(extension.empty() || extension[0] != u'.' ? 0 : 1));
    const std::string glob = "*." + base::utf16_to_utf8(base::to_lower(bare));
    std::ifstream globs("/usr/share/mime/globs2");
    std::string line, mime;
    while (mime.empty() && std::getline(globs, line)) {
        // weight:type:pattern[:flags]
        const auto a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        const std::string pattern = line.substr(b + 1, line.find(':', b + 1) - b - 1);
        if (pattern == glob)
            mime = line.substr(a + 1, b - a - 1);
    }
    if (!mime.empty()) {
        std::ifstream xml("/usr/share/mime/" + mime + ".xml");
        while (std::getline(xml, line)) {
            const auto open = line.find("<comment>");
            if (open == std::string::npos)
                continue;
            const auto close = line.find("</comment>", open);
            if (close != std::string::npos)
                return base::utf8_to_utf16(line.substr(open + 9, close - open - 9));
        }
    }
    std::u16string upper = bare;
    for (auto& c : upper)
        c = base::to_upper(c);
    return upper;
}

} // namespace vt::platform
