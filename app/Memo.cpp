#include "Memo.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
}

QString TMemo::Shown(const QString& line) {
    QString shown = line;
    shown.replace(QChar('\r'), QChar(0x240D)).replace(QChar('\n'), QChar(0x240A));
    return shown;
}

void TMemo::Add(const QString& line) {
    if (!FTail.isEmpty()) {
        // The unfinished line is finished by the new one: it stays as shown.
        FLines.append(FTail);
        FTail.clear();
        if (!FTailShown) appendPlainText(Shown(FLines.last()));
    }
    FTailShown = false;
    FLines.append(line);
    appendPlainText(Shown(line));
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TMemo::AppendChar(QChar c) {
    FTail.append(c);
    if (FTail.endsWith(kCrLf)) {
        FTail.chop(2);
        FLines.append(FTail);
        FTail.clear();
        ShowTail(FLines.last());  // its block now holds a finished line
        FTailShown = false;
        return;
    }
    QString shown = FTail;
    if (shown.endsWith(QChar('\r'))) shown.chop(1);  // a CR waits for the LF that may follow
    ShowTail(shown);
}

// Shows text in the unfinished line's block, which is made when it is not there yet.
void TMemo::ShowTail(const QString& text) {
    if (!FTailShown) {
        appendPlainText(Shown(text));
        FTailShown = true;
    } else {
        QTextCursor cursor(document()->lastBlock());
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(Shown(text));
    }
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

int TMemo::Count() const { return static_cast<int>(FLines.size()) + (FTail.isEmpty() ? 0 : 1); }

QString TMemo::Line(int i) const {
    if (i >= 0 && i < FLines.size()) return FLines[i];
    return i == FLines.size() ? FTail : QString();
}

QString TMemo::Text() const { return FLines.isEmpty() ? FTail : FLines.join(kCrLf) + kCrLf + FTail; }

void TMemo::SetText(const QString& text) {
    FLines = text.split(kCrLf);
    FTail = FLines.takeLast();
    QStringList shown;
    for (const QString& line : FLines) shown.append(Shown(line));
    FTailShown = !FTail.isEmpty();
    if (FTailShown) shown.append(Shown(FTail));
    setPlainText(shown.join(QChar('\n')));
}

void TMemo::Clear() {
    FLines.clear();
    FTail.clear();
    FTailShown = false;
    clear();
}

void TMemo::ScrollBy(int lines) { verticalScrollBar()->setValue(verticalScrollBar()->value() + lines); }
