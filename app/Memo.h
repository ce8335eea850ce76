// The log: a read-only text in which only the pair CR LF breaks a line, shown in a
// QPlainTextEdit. A lone CR or LF is an ordinary character of its line (shown as a control
// picture); the text after the last CR LF is an unfinished line that characters are appended to.
// Used on the GUI thread only.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);

    // A new line at the end; the text keeps ending in a line break and the view follows it.
    void Add(const QString& line);
    // One character appended to the whole text.
    void AppendChar(QChar c);
    // The lines; an empty remainder after the final CR LF is not counted.
    int Count() const;
    // Line i (0 = first), without its line break.
    QString Line(int i) const;
    // The whole text as the model holds it, every line break a CR LF.
    QString Text() const;
    void SetText(const QString& text);
    void Clear();
    // Scrolls the view down by a number of lines.
    void ScrollBy(int lines);

private:
    static QString Shown(const QString& line);
    void ShowTail(const QString& text);

    QStringList FLines;  // the lines ended by CR LF
    QString FTail;       // what follows the last CR LF
    bool FTailShown = false;  // the view's last block shows FTail
};
