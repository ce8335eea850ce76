// The window's modal dialogs behind one seam, so tests can answer them.
#pragma once

#include <QString>
#include <optional>

class QWidget;

class TDialogs {
public:
    virtual ~TDialogs() = default;
    // The open-file dialog: filter in the form "HEX|*.hex|ROM|*.rom", filterIndex counting the
    // filter's entries from 1. The chosen file, or none when the operator cancels.
    virtual std::optional<QString> OpenFile(QWidget* parent, const QString& filter, int filterIndex,
                                            const QString& fileName) = 0;
    // A modal message with an OK button.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
};

// The dialogs of the GUI toolkit.
class TQtDialogs : public TDialogs {
public:
    std::optional<QString> OpenFile(QWidget* parent, const QString& filter, int filterIndex,
                                    const QString& fileName) override;
    void ShowMessage(QWidget* parent, const QString& text) override;
};

// The open-file dialog component: a file name, a filter and the selected filter entry.
class TOpenDialog {
public:
    explicit TOpenDialog(TDialogs& dialogs, QWidget* owner) : FDialogs(dialogs), FOwner(owner) {}

    QString FileName;
    QString Filter;
    int FilterIndex = 1;

    // Shows the dialog; true with FileName set when a file was chosen.
    bool Execute() {
        const std::optional<QString> chosen = FDialogs.OpenFile(FOwner, Filter, FilterIndex, FileName);
        if (!chosen) return false;
        FileName = *chosen;
        return true;
    }

private:
    TDialogs& FDialogs;
    QWidget* FOwner;
};
