#include "app/translate.h"

#include <memory>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "lang/translator.h"

namespace vt::app {

QString xlat(const QString& text) {
    const std::u16string out = lang::Translate(text.toStdU16String());
    return QString::fromStdU16String(out);
}

QString xlat(const char16_t* text) {
    return xlat(QString::fromUtf16(text));
}

void use_qt_translations() {
    static std::unique_ptr<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    const QString code = QString::fromStdU16String(lang::language_code());
    if (!QCoreApplication::instance() || !lang::IsTranslationActive() || code.isEmpty())
        return;
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QStringLiteral("qtbase_") + code,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator.get()))
        installed = std::move(translator);
}

} // namespace vt::app
