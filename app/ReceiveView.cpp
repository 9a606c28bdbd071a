#include "ReceiveView.h"

#include <numeric>

#include <QScrollBar>
#include <QTextCursor>

#include "SessionItem.h"

namespace {

// How close to the bottom still counts as following new lines.
const int kAutoScrollSlack = 10;

// Document positions a line takes with its newline: QTextCursor makes "\r\n"
// one block break, so a text can take fewer positions than it has characters.
int Positions(const QString& text) {
    int n = text.size() + 1;
    for (int i = text.indexOf(QChar('\r')); i >= 0; i = text.indexOf(QChar('\r'), i + 1)) {
        if (i + 1 == text.size() || text.at(i + 1) == QChar('\n'))
            --n;
    }
    return n;
}

// Drops up to count items from the front of a list; returns how many went.
template <class List>
int DropFront(List* list, int count) {
    const int n = qBound(0, count, int(list->size()));
    list->erase(list->begin(), list->begin() + n);
    return n;
}

}  // namespace

ReceiveView::ReceiveView(QWidget* parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
}

void ReceiveView::ScrollBarMoved(int value) {
    autoScroll_ = value >= verticalScrollBar()->maximum() - kAutoScrollSlack;
}

// Received lines are bounded by the session's payload limit; a typed line is
// not, and laying out hundreds of thousands of characters stalls the window.
QString ReceiveView::ViewText(const SessionLine& line, bool milliseconds) {
    const QString text = line.Text(milliseconds);
    if (text.size() <= kLineChars)
        return text;
    return text.left(kLineChars) + QString(" … [%0 characters, shortened in this view]").arg(text.size());
}

void ReceiveView::AppendLine(const SessionLine& line) {
    pending_.append(line);
}

// The session's lines are those shown (or to be rebuilt) and then those queued.
void ReceiveView::DropFirst(int count) {
    if (rebuildDue_) {
        count -= DropFront(&rebuildLines_, count);
    } else {
        const int shown = qMin(count, spans_.size() - dropShown_);
        dropShown_ += shown;
        count -= shown;
    }
    DropFront(&pending_, count);
}

void ReceiveView::Rebuild(const QList<SessionLine>& lines) {
    rebuildLines_ = lines;
    rebuildDue_ = true;
    pending_.clear();
    dropShown_ = 0;
}

void ReceiveView::DropPending() {
    rebuildLines_.clear();
    rebuildDue_ = false;
    pending_.clear();
    dropShown_ = 0;
}

// One edit of each kind: editing line by line costs a layout pass per line.
// A session keeps no more than its last lines, so only those are formatted.
void ReceiveView::Flush() {
    const int keep = SessionItem::kMaxReceivedLines;
    const bool changed = rebuildDue_ || dropShown_ > 0 || !pending_.isEmpty();
    if (rebuildDue_) {
        rebuildDue_ = false;
        clear();
        spans_.clear();
        textCursor().insertText(Joined(rebuildLines_, keep - qMin(keep, pending_.size()), &spans_));
        rebuildLines_.clear();
        autoScroll_ = true;
    } else if (dropShown_ > 0) {
        RemoveShown(dropShown_);
        dropShown_ = 0;
    }
    if (!pending_.isEmpty()) {
        QTextCursor cursor = textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(Joined(pending_, keep, &spans_));
        pending_.clear();
    }
    if (changed && autoScroll_)
        ScrollToBottom();
    Q_ASSERT(document()->characterCount() == std::accumulate(spans_.cbegin(), spans_.cend(), 1));
}

QString ReceiveView::Joined(const QList<SessionLine>& lines, int last, QVector<int>* spans) const {
    QString joined;
    for (int i = qMax(0, lines.size() - last); i < lines.size(); ++i) {
        const QString text = ViewText(lines.at(i), milliseconds_);
        joined += text;
        joined += QChar('\n');
        spans->append(Positions(text));
    }
    return joined;
}

// The oldest lines go in one removal rather than a rebuild of those that stay.
void ReceiveView::RemoveShown(int count) {
    int positions = 0;
    for (int i = 0; i < count; ++i)
        positions += spans_.at(i);
    spans_.remove(0, count);
    QTextCursor cursor(document());
    cursor.setPosition(positions, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void ReceiveView::ScrollToBottom() {
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}
