#pragma once
// The English words left in a German window: every text a widget tree shows (titles, labels,
// buttons, fields, lists, tables, headers, menus) is cut into words, and a word counts as
// English when the English side of German.lng uses it, or Qt's own dialogs do, while no German
// text of the file does (so "PNG", "OK" or "Plug-in" are no English words). Product names,
// paths, MIME types, extensions and file names are not words here.

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
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

// The English words of `lng_path` (a German.lng) and of Qt's dialogs, less those German uses.
inline QSet<QString> english_words(const QString& lng_path) {
    QFile file(lng_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QSet<QString> english, german;
    const QStringList qt_words{"Look",   "Directory", "Choose", "Files",  "type",    "Size",
                               "Date",   "Modified",  "Cancel", "Open",   "Save",    "Close",
                               "Back",   "Forward",   "Parent", "Create", "Folder",  "Detail",
                               "View",   "List",      "Apply",  "Reset",  "Yes",     "Kind",
                               "Rename", "Delete",    "Show",   "hidden", "Computer"};
    for (const QString& w : qt_words)
        english.insert(w.toLower());
    bool entries = false;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral("#XLAT_BEGIN"))) {
            entries = true;
            continue;
        }
        const auto eq = line.indexOf(QLatin1Char('='));
        if (!entries || eq < 0)
            continue;
        for (const QString& w : words_of(line.left(eq)))
            english.insert(w.toLower());
        for (const QString& w : words_of(line.mid(eq + 1)))
            german.insert(w.toLower());
    }
    // Product names, and "raw", which German photographers say too (the MIME database's own
    // German names of camera formats use it).
    for (const char* kept : {"vantrel", "converter", "painter", "viewer", "update", "software",
                             "vxgraf", "english", "raw"})
        german.insert(QLatin1String(kept));
    return english - german;
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

// The English words `root` shows, each with the text it stands in.
inline QStringList english_left(QWidget& root, const QSet<QString>& english) {
    QStringList found;
    for (const QString& text : shown_texts(root)) {
        // Paths and MIME types are names, not words: a blank-separated piece with a slash.
        // The language item keeps " (Language)" on purpose, so that it is found in any language.
        QStringList pieces = QString(text)
                                 .remove(QLatin1Char('&'))
                                 .remove(QStringLiteral(" (Language)"))
                                 .split(QLatin1Char(' '));
        // So are extensions (".tiff") and file names ("fmx_TIFF.so").
        pieces.removeIf([](const QString& p) {
            return p.contains(QLatin1Char('/')) || p.startsWith(QLatin1Char('.')) ||
                   p.contains(QLatin1Char('_'));
        });
        for (const QString& w : words_of(pieces.join(QLatin1Char(' '))))
            if (english.contains(w.toLower()))
                found << w + QStringLiteral(" in \"") + text + QLatin1Char('"');
    }
    found.removeDuplicates();
    return found;
}

} // namespace vt::test
