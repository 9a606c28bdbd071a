// How a session looks up the host name a user typed: the one replaceable
// point between the sessions and the transport's resolver, so that tests can
// answer from a table (or fail) without asking the system.
#ifndef MAROVENT_HOSTRESOLVER_H
#define MAROVENT_HOSTRESOLVER_H

#include <QByteArray>
#include <QString>

#include <functional>

class HostResolver {
public:
    // ip: the first IPv4 address in dotted form; empty when the lookup
    // failed, and error then says why.
    typedef std::function<void(const QByteArray& ip, const QString& error)> Done;
    typedef HostResolver* (*Factory)();

    // What every session gets from Create: the transport's resolver unless replaced.
    static Factory factory;
    static HostResolver* Create() { return factory(); }

    virtual ~HostResolver() = default;
    // Looks host up, dropping a lookup still in flight; done is called from a
    // later Run, never after Cancel or deletion.
    virtual void Start(const QByteArray& host, const Done& done) = 0;
    // Hands on an answer that arrived (on the caller's thread, within its tick).
    virtual void Run() = 0;
    virtual void Cancel() = 0;
};

#endif
