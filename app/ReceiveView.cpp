#include "ReceiveView.h"

#include <QScrollBar>
#include <QTextCursor>

#include "Encoding.h"

namespace {

// How close to the bottom still counts as following new lines.
const int kAutoScrollSlack = 10;

}  // namespace

ReceiveView::ReceiveView(QWidget* parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
}

void ReceiveView::ScrollBarMoved(int value) {
    autoScroll_ = value >= verticalScrollBar()->maximum() - kAutoScrollSlack;
}

// Laying out a 64 KiB chunk shown as hex (192 K characters) costs tens of
// milliseconds per line and seconds per rebuild; the bound keeps a rebuild of
// 500 lines near a tenth of a second.
QString ReceiveView::ViewText(const QByteArray& line) {
    // Every encoding takes at least one byte per character (UTF-8 up to four),
    // so decoding this many bytes always yields enough to show.
    const int limit = kLineChars * 4;
    QString text = BytesToText(line.size() > limit ? line.left(limit) : line);
    if (text.size() <= kLineChars && line.size() <= limit)
        return text;
    text.truncate(kLineChars);
    return text + QString(" … [%0 bytes, shortened in this view]").arg(line.size());
}

void ReceiveView::AppendLine(const QByteArray& line) {
    const QString text = ViewText(line) + QChar('\n');
    if (batching_)
        pending_ += text;
    else
        InsertAtEnd(text);
}

void ReceiveView::EndBatch() {
    batching_ = false;
    if (pending_.isEmpty())
        return;
    InsertAtEnd(pending_);
    pending_.clear();
}

// One insert of the joined lines: inserting line by line costs a layout pass per line.
void ReceiveView::Rebuild(const QList<QByteArray>& lines) {
    pending_.clear();
    clear();
    QString joined;
    for (const QByteArray& line : lines) {
        joined += ViewText(line);
        joined += QChar('\n');
    }
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(joined);
    setTextCursor(cursor);
    ScrollToBottom();
    autoScroll_ = true;
}

void ReceiveView::InsertAtEnd(const QString& text) {
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (autoScroll_)
        ScrollToBottom();
}

void ReceiveView::ScrollToBottom() {
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}
