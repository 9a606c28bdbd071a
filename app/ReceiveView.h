// The receive view: shows the lines of the selected session. Lines that arrive
// during a tick are laid out in one insert at its end, a rebuild inserts all
// lines at once, overlong lines are shortened here (the session keeps them
// whole), and the view follows new lines only while it is scrolled to the bottom.
#ifndef MAROVENT_RECEIVEVIEW_H
#define MAROVENT_RECEIVEVIEW_H

#include <QByteArray>
#include <QList>
#include <QPlainTextEdit>
#include <QString>

class ReceiveView : public QPlainTextEdit {
    Q_OBJECT
public:
    // Longest line laid out in full; longer ones end with a note of their size.
    static const int kLineChars = 16384;

    explicit ReceiveView(QWidget* parent = nullptr);

    // The text a stored line shows: decoded, and shortened when it is too long
    // to lay out without stalling the window.
    static QString ViewText(const QByteArray& line);

    // Between these two, appended lines wait and go in as one insert.
    void BeginBatch() { batching_ = true; }
    void EndBatch();
    void AppendLine(const QByteArray& line);
    // Shows exactly these lines, scrolled to the bottom; drops lines still waiting.
    void Rebuild(const QList<QByteArray>& lines);
    // Forgets lines still waiting (they belong to a session no longer shown).
    void DropPending() { pending_.clear(); }
    // Follows new lines only while the scroll bar is (nearly) at the bottom.
    void ScrollBarMoved(int value);

private:
    void InsertAtEnd(const QString& text);
    void ScrollToBottom();

    bool batching_ = false;
    bool autoScroll_ = true;
    QString pending_;
};

#endif
