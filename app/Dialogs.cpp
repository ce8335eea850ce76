#include "Dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

std::optional<QString> TQtDialogs::OpenFile(QWidget* parent, const QString& filter, int filterIndex,
                                            const QString& fileName) {
    // "HEX|*.hex|ROM|*.rom": pairs of a name and its patterns.
    const QStringList parts = filter.split(QChar('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters.append(QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(QChar(';'), QChar(' '))));
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    if (filterIndex >= 1 && filterIndex <= filters.size()) dialog.selectNameFilter(filters[filterIndex - 1]);
    if (!fileName.isEmpty()) dialog.selectFile(QFileInfo(fileName).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

void TQtDialogs::ShowMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, parent ? parent->windowTitle() : QString(), text, QMessageBox::Ok, parent);
    box.exec();
}
