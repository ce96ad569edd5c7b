#include "app/translate.h"

#include "lang/translator.h"

namespace vt::app {

QString xlat(const QString& text) {
    const std::u16string out = lang::Translate(text.toStdU16String());
    return QString::fromStdU16String(out);
}

QString xlat(const char16_t* text) {
    return xlat(QString::fromUtf16(text));
}

} // namespace vt::app
