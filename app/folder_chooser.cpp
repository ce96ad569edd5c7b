#include "app/folder_chooser.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>

#include "app/dpi.h"

namespace vt::app {

void fit_file_dialog(QFileDialog& dialog) {
    dialog.resize(dpi_scale(760), dpi_scale(460));
    for (QTreeView* tree : dialog.findChildren<QTreeView*>()) {
        QHeaderView* header = tree->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int i = 1; i < header->count(); ++i)
            header->setSectionResizeMode(i, QHeaderView::ResizeToContents);
    }
}

QString choose_folder(QWidget* parent, const QString& title, const QString& start) {
    QFileDialog dialog(parent, title, start);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    fit_file_dialog(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

} // namespace vt::app
