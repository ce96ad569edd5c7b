#pragma once
// The English left in a German window: every text a widget tree shows (titles, labels, buttons,
// fields, lists, tables, headers, menus) is cut into words, and each word must be German: a word
// of German.lng's German side, or of Qt's own German texts (its dialogs), or a name (product
// names, acronyms in capitals, paths, MIME types, extensions and file names). Any other word is
// English left over, whether German.lng knows it or not, so a new English text fails.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTabBar>
#include <QWidget>

#include "app/translate.h"

namespace vt::test {

inline QStringList words_of(const QString& text) {
    static const QRegularExpression word(QStringLiteral("[[:alpha:]][[:alpha:]'-]*[[:alpha:]]"));
    QStringList out;
    for (auto it = word.globalMatch(text); it.hasNext();)
        out << it.next().captured(0);
    return out;
}

// The words of every translation in a Qt message catalogue (.qm): sections of a tag byte and a
// big-endian length; in the messages section (0x69) each message is a run of tagged fields up
// to an end tag (1), a translation (3) being UTF-16 big-endian.
inline void add_catalogue_words(QSet<QString>& words, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray data = file.readAll();
    const auto be32 = [&](qsizetype i) {
        return quint32(uchar(data[i])) << 24 | quint32(uchar(data[i + 1])) << 16 |
               quint32(uchar(data[i + 2])) << 8 | quint32(uchar(data[i + 3]));
    };
    for (qsizetype at = 16; at + 5 <= data.size();) {
        const uchar section = uchar(data[at]);
        const qsizetype end = at + 5 + be32(at + 1);
        if (end > data.size())
            return;
        for (qsizetype m = at + 5; section == 0x69 && m < end;) {
            const uchar tag = uchar(data[m++]);
            if (tag == 1)
                continue;
            if (tag == 5) { // an obsolete field of four bytes
                m += 4;
                continue;
            }
            if ((tag != 3 && tag != 6 && tag != 7 && tag != 8) || m + 4 > end)
                break;
            const quint32 size = be32(m);
            m += 4;
            if (size == 0xFFFFFFFFu)
                continue;
            if (m + size > end)
                break;
            if (tag == 3) {
                QString text;
                for (qsizetype i = m; i + 1 < m + qsizetype(size); i += 2)
                    text += QChar(char16_t(uchar(data[i]) << 8 | uchar(data[i + 1])));
                for (const QString& w : words_of(text))
                    words.insert(w.toLower());
            }
            m += size;
        }
        at = end;
    }
}

// The words a German window may show: German.lng's German side, Qt's own German texts and the
// product's names.
inline QSet<QString> german_words(const QString& lng_path) {
    QSet<QString> german;
    QFile file(lng_path);
    if (!file.open(QIODevice::ReadOnly))
        return german;
    bool entries = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral("#XLAT_BEGIN"))) {
            entries = true;
            continue;
        }
        const auto eq = line.indexOf(QLatin1Char('='));
        if (!entries || eq < 0)
            continue;
        for (const QString& w : words_of(line.mid(eq + 1)))
            german.insert(w.toLower());
    }
    add_catalogue_words(german, QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                                    QStringLiteral("/qtbase_de.qm"));
    // The MIME database's names of file types, in the session's language, and their suffixes.
    for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
        for (const QString& w : words_of(type.comment()))
            german.insert(w.toLower());
        for (const QString& suffix : type.suffixes())
            german.insert(suffix.toLower());
    }
    // Product names and names of people, formats and fonts, which German keeps: the windows of
    // the resampling filters, a format's other name, the font family, the files' owner; and
    // "raw", which German photographers say too.
    for (const char* kept :
         {"vantrel",  "converter",  "painter",  "viewer",   "update",          "software",
          "vxgraf",   "raw",        "bartlett", "blackman", "blackman-harris", "bohman",
          "gauss",    "hamming",    "hann",     "kaiser",   "lanczos",         "parzen",
          "welch",    "mitchell",   "cardinal", "spline",   "b-spline",        "bc-spline",
          "hd-photo", "sans-serif", "root"})
        german.insert(QLatin1String(kept));
    return german;
}

// A name rather than a word: an acronym or a format's name in capitals ("PNG", "WebP" aside,
// which German.lng's German side knows).
inline bool is_name(const QString& word) {
    return word.size() >= 2 && word == word.toUpper();
}

inline void add_texts(QStringList& texts, const QAbstractItemModel* model) {
    if (!model)
        return;
    for (int c = 0; c < model->columnCount(); ++c)
        texts << model->headerData(c, Qt::Horizontal).toString();
    for (int r = 0; r < model->rowCount() && r < 200; ++r)
        for (int c = 0; c < model->columnCount(); ++c) {
            const QString text = model->data(model->index(r, c)).toString();
            // The format list holds "extension|description" and draws the description through
            // the translator.
            const auto bar = text.indexOf(QLatin1Char('|'));
            texts << (text.startsWith(QLatin1Char('.')) && bar > 0 ? app::xlat(text.mid(bar + 1))
                                                                   : text);
        }
}

// Every text `root` and its visible children show.
inline QStringList shown_texts(QWidget& root) {
    QStringList texts{root.windowTitle()};
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(&root);
    for (QWidget* w : widgets) {
        if (w != &root && !w->isVisibleTo(&root))
            continue;
        if (auto* l = qobject_cast<QLabel*>(w))
            texts << l->text();
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            texts << b->text() << b->toolTip();
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            texts << e->text() << e->placeholderText();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            texts << g->title();
        else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
            texts << p->toPlainText();
        else if (auto* c = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < c->count(); ++i)
                texts << c->itemText(i);
        else if (auto* t = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < t->count(); ++i)
                texts << t->tabText(i);
        else if (auto* v = qobject_cast<QAbstractItemView*>(w))
            add_texts(texts, v->model());
        if (auto* m = qobject_cast<QMenu*>(w))
            for (QAction* a : m->actions())
                texts << a->text();
        if (!w->toolTip().isEmpty())
            texts << w->toolTip();
    }
    return texts;
}

// The words `root` shows that are not German, each with the text it stands in.
inline QStringList english_left(QWidget& root, const QSet<QString>& german) {
    QStringList found;
    for (const QString& text : shown_texts(root)) {
        // Paths and MIME types are names, not words: a blank-separated piece with a slash.
        // The language item keeps " (Language)" on purpose, so that it is found in any language.
        QStringList pieces = QString(text)
                                 .remove(QLatin1Char('&'))
                                 .remove(QStringLiteral(" (Language)"))
                                 .split(QLatin1Char(' '));
        // So are extensions (".tiff"), file names ("fmx_TIFF.so"), the rename pattern's
        // placeholders ("%wx%h") and colours ("ffffff").
        static const QRegularExpression colour(QStringLiteral("^#?[0-9a-fA-F]{6}$"));
        pieces.removeIf([](const QString& p) {
            return p.contains(QLatin1Char('/')) || p.startsWith(QLatin1Char('.')) ||
                   p.contains(QLatin1Char('_')) || p.contains(QLatin1Char('%')) ||
                   colour.match(p).hasMatch();
        });
        // A file's time as the file dialog shows it is the system locale's, which the test
        // cannot switch after the start.
        static const QRegularExpression file_time(
            QStringLiteral("^\\d{1,2} [[:alpha:]]{3} \\d{4} \\d\\d:\\d\\d:\\d\\d$"));
        if (file_time.match(text).hasMatch())
            continue;
        for (const QString& w : words_of(pieces.join(QLatin1Char(' '))))
            if (!is_name(w) && !german.contains(w.toLower()))
                found << w + QStringLiteral(" in \"") + text + QLatin1Char('"');
    }
    found.removeDuplicates();
    return found;
}

} // namespace vt::test
