// The receive view: shows the lines of the selected session. It lays text out
// only in Flush, which the window calls once per tick: lines appended, lines
// trimmed and a rebuild asked for meanwhile wait, so a flood costs at most one
// rebuild, one removal and one insert a tick, and only lines that will be
// shown get formatted. Overlong lines are shortened here (the session keeps
// them whole), and the view follows new lines only while it is scrolled to
// the bottom.
#ifndef MAROVENT_RECEIVEVIEW_H
#define MAROVENT_RECEIVEVIEW_H

#include <QList>
#include <QPlainTextEdit>
#include <QString>
#include <QVector>

#include "SessionLine.h"

class ReceiveView : public QPlainTextEdit {
    Q_OBJECT
public:
    // Longest line laid out in full; longer ones end with a note of their size.
    static const int kLineChars = 16384;

    explicit ReceiveView(QWidget* parent = nullptr);

    // The text a stored line shows: formatted, and shortened when it is too
    // long to lay out without stalling the window.
    static QString ViewText(const SessionLine& line, bool milliseconds = false);

    // Times with milliseconds ("hh:mm:ss.zzz") in lines formatted from now on;
    // the window rebuilds the view to show them on the lines already there.
    void SetMilliseconds(bool on) { milliseconds_ = on; }
    bool Milliseconds() const { return milliseconds_; }

    // Queues a line for the next Flush.
    void AppendLine(const SessionLine& line);
    // At the next Flush the oldest count lines go (the session dropped them).
    void DropFirst(int count);
    // At the next Flush shows exactly these lines (and what queues after),
    // scrolled to the bottom; drops lines queued before.
    void Rebuild(const QList<SessionLine>& lines);
    // Lays out what waits: the rebuild if one is due, the removal of trimmed
    // lines, then the queued lines in one insert.
    void Flush();
    // Forgets what waits (it belongs to a session no longer shown).
    void DropPending();
    // Follows new lines only while the scroll bar is (nearly) at the bottom.
    void ScrollBarMoved(int value);

private:
    // The view text of the last lines of the list, each ending in a newline;
    // appends to spans the document positions each takes.
    QString Joined(const QList<SessionLine>& lines, int last, QVector<int>* spans) const;
    void RemoveShown(int count);
    void ScrollToBottom();

    bool autoScroll_ = true;
    bool milliseconds_ = false;
    bool rebuildDue_ = false;
    QList<SessionLine> rebuildLines_;  // shared with the session's list until it changes
    QList<SessionLine> pending_;
    QVector<int> spans_;  // document positions of each shown line, oldest first
    int dropShown_ = 0;   // shown lines to remove at the next Flush
};

#endif
