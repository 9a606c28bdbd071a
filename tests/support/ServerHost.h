// Plays the window's part for a server session in the session tests: lists
// each accepted connection as a child item and session, and drops it when the
// server reports it gone. Handles are recorded in the order they were reported.
#ifndef MAROVENT_TESTS_SERVERHOST_H
#define MAROVENT_TESTS_SERVERHOST_H

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QThread>
#include <QTreeWidgetItem>

#include <functional>

#include "SessionItem.h"

namespace serverhost {

// Runs the sessions' ticks until done() holds or the watchdog fires.
inline bool Pump(const QList<SessionItem*>& sessions, const std::function<bool()>& done,
                 int timeoutMs = 5000) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (!done()) {
        if (watchdog.elapsed() > timeoutMs)
            return false;
        for (SessionItem* session : sessions)
            session->Update();
        QThread::msleep(1);
    }
    return true;
}

inline void PumpFor(const QList<SessionItem*>& sessions, int ms) {
    Pump(sessions, [] { return false; }, ms);
}

template <typename Server, typename Child, typename Handle>
struct Host {
    Server& server;
    QTreeWidgetItem serverItem;
    QList<Handle> accepted;
    QList<Handle> dropped;
    bool removeOnDisconnect = true;
    // Whether the server still ran when each disconnect was reported.
    QList<bool> runningAtDrop;

    // makeChild builds the child session for one reported handle.
    Host(Server& owned, const std::function<Child*(Handle)>& makeChild) : server(owned) {
        server.SetTreeItem(&serverItem);
        SessionItem::StoreInTreeItem(&serverItem, &server);
        QObject::connect(&server, &Server::OnClientConnectedSignal, [this, makeChild](QTreeWidgetItem* item, Handle client) {
            if (item != &serverItem)
                return;
            Child* child = makeChild(client);
            auto* childItem = new QTreeWidgetItem(&serverItem);
            child->SetParentItem(&serverItem);
            child->SetTreeItem(childItem);
            SessionItem::StoreInTreeItem(childItem, child);
            if (server.AddClient(client, childItem))
                accepted.append(client);
        });
        QObject::connect(&server, &Server::OnClientDisconnectedSignal, [this](QTreeWidgetItem* item, Handle client) {
            dropped.append(client);
            runningAtDrop.append(server.IsRunning());
            if (!removeOnDisconnect || !server.RemoveClient(client))
                return;
            delete SessionItem::FromTreeItem(item);
            delete item;
        });
    }
    ~Host() {
        server.Close();
        for (int i = serverItem.childCount() - 1; i >= 0; --i) {
            delete SessionItem::FromTreeItem(serverItem.child(i));
            delete serverItem.child(i);
        }
    }
    Child* ChildOf(Handle client) { return static_cast<Child*>(SessionItem::FromTreeItem(server.ItemOf(client))); }
};

}  // namespace serverhost

#endif
