// The client map of a server session over its transport's connection handle,
// and the operations that TCP and KCP servers share on it. Child is the
// client session kind that shows one accepted connection.
#ifndef MAROVENT_SESSIONITEMSERVEROF_H
#define MAROVENT_SESSIONITEMSERVEROF_H

#include <QMap>

#include "SessionItemServer.h"

template <typename Handle, typename Child>
class SessionItemServerOf : public SessionItemServer {
public:
    // Children first, in ascending handle order, then one pass of the transport.
    void Update() override {
        SessionItem::Update();
        for (QTreeWidgetItem* item : clients_.values()) {
            if (SessionItem* child = SessionItem::FromTreeItem(item))
                child->Update();
        }
        RunTransport();
    }

    // One disconnect signal per child, smallest handle first. The window's
    // slot removes each entry; one that is still there afterwards is dropped
    // here so that a server without a window cannot spin forever.
    void Close() override {
        while (!clients_.isEmpty()) {
            const Handle handle = clients_.firstKey();
            EmitClientDisconnected(clients_.first(), handle);
            clients_.remove(handle);
        }
        StopTransport();
        SetRunning(false);
    }

    // A handle already listed keeps its first item: the transport reports each
    // live connection once, so a second add is a stale caller.
    bool AddClient(Handle client, QTreeWidgetItem* item) {
        if (client == nullptr || item == nullptr || clients_.contains(client))
            return false;
        clients_.insert(client, item);
        return true;
    }

    bool RemoveClient(Handle client) { return clients_.remove(client) > 0; }

    // Unknown handles are ignored: the map holds exactly the live children.
    void NotifyDisconnected(Handle client) {
        const auto it = clients_.constFind(client);
        if (it != clients_.constEnd())
            EmitClientDisconnected(it.value(), client);
    }

    QTreeWidgetItem* ItemOf(Handle client) const { return clients_.value(client, nullptr); }

    bool AddChild(SessionItem* child, QTreeWidgetItem* item) override {
        Child* session = dynamic_cast<Child*>(child);
        return session != nullptr && AddClient(session->GetHandle(), item);
    }
    bool RemoveChild(SessionItem* child) override {
        Child* session = dynamic_cast<Child*>(child);
        return session != nullptr && RemoveClient(session->GetHandle());
    }
    void NotifyChildClosed(SessionItem* child) override {
        if (Child* session = dynamic_cast<Child*>(child))
            NotifyDisconnected(session->GetHandle());
    }
    int ChildCount() const override { return clients_.size(); }

protected:
    explicit SessionItemServerOf(const QString& kind) : SessionItemServer(kind) {}

    virtual void StopTransport() = 0;
    virtual void RunTransport() = 0;
    virtual void EmitClientDisconnected(QTreeWidgetItem* item, Handle client) = 0;

    // Data for a connection the window has not listed (or no longer lists) has
    // no child to show it under, and is dropped.
    void ClientReceived(Handle client, const char* data, int length) {
        Child* child = dynamic_cast<Child*>(SessionItem::FromTreeItem(ItemOf(client)));
        if (child != nullptr && length >= 0)
            child->ReceiveFromServer(QByteArray(data, length));
    }

private:
    QMap<Handle, QTreeWidgetItem*> clients_;
};

#endif
