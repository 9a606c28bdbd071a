// One row per session kind: everything the window does differently per kind.
// Adding a kind means one more row here plus its session class.
#ifndef MAROVENT_SESSIONKINDS_H
#define MAROVENT_SESSIONKINDS_H

#include <QString>

class QIcon;
class QTreeWidgetItem;
class SessionItem;
class marovent;

// How the state panel and the tree show one session.
struct PanelState {
    bool full = true;  // receive view, send box and statistics shown as well
    const char* startText = "启用";
    const char* closeText = "关闭";
    bool startEnabled = false;
    bool closeEnabled = false;
    const char* led = nullptr;
    const QIcon* icon = nullptr;
    QString labels[4];      // L11 to L14; none for a server
    bool localRow = false;  // L23 and L24 shown
    QString localPort;
};

struct SessionKind {
    int type;          // the root's key, and GetType of the sessions created under it
    int acceptedType;  // GetType of a server's connection shown as this kind; 0 when none
    const char* rootText;
    bool kcpOnly;      // offered only when the program runs with -kcp
    // Runs the kind's dialog; once accepted, builds the session, wires it to
    // the window, places it under root and takes the kind's first action
    // (started: false when that failed). Null when the dialog was cancelled.
    SessionItem* (*create)(marovent* window, QTreeWidgetItem* root, bool* started);
    // Connects the kind's own signals to the window (the view's are common).
    void (*wire)(marovent* window, SessionItem* session);
    void (*describe)(SessionItem* session, PanelState* state);
    // Whether a send may go out now; null for a kind that takes no data.
    bool (*ready)(SessionItem* session);
    const char* notReady;  // the line a send writes when it may not go out
};

// Every kind in the order of the tree's roots; count receives their number.
const SessionKind* AllSessionKinds(int* count);
// The kind of a root key or of a session's GetType, or null.
const SessionKind* SessionKindOf(int type);

#endif
