// A session on one UDP endpoint: bound to a local address, optionally a member
// of a multicast group, sending every payload to one fixed remote address and
// showing every datagram it receives as one line, whoever sent it.
#ifndef MAROVENT_SESSIONITEMUDPCLIENT_H
#define MAROVENT_SESSIONITEMUDPCLIENT_H

#include <netinet/in.h>

#include <QByteArray>
#include <QString>

#include "SessionItem.h"
#include "transport.h"

class SessionItemUDPClient : public SessionItem {
    Q_OBJECT
public:
    // Receive buffer asked of the kernel: some thousands of full datagrams, so
    // that a late tick or a slow redraw costs no data at 20,000 datagrams a
    // second. The kernel caps it at net.core.rmem_max (often far less); past
    // the cap, drops show in the statistics line.
    static const int kRecvBufferBytes = 8 * 1024 * 1024;
    // Datagrams of a file one tick sends: a few MB/s, which a loopback peer's
    // default buffer still takes.
    static const int kFileBurstDatagrams = 32;

    explicit SessionItemUDPClient(const QString& kind);
    ~SessionItemUDPClient() override;

    int GetType() override;
    void Update() override;
    void Close() override;
    bool Send(const QByteArray& data) override;
    // One datagram a piece; no queue, so a tick sends a bounded burst.
    int FileChunkBytes() const override { return MAX_UDP_PAYLOAD; }
    qint64 SendWindowBytes() const override { return kFileBurstDatagrams * MAX_UDP_PAYLOAD; }
    bool PacesFileChunks() const override { return true; }
    // The open socket's count; after a close the last one read, after a restart 0.
    qint64 GetDroppedCount() const override;

    // Stores the six values and opens with them. In multicast mode the socket
    // binds localIp on the remote (group) port and joins remoteIp on
    // interfaceIp; localPort is then unused. The local address must be dotted
    // IPv4; a plain remote may also be a host name, looked up before the socket
    // opens (a failed lookup is reported by FailLater).
    bool Start(const QByteArray& remoteIp, quint32 remotePort, const QByteArray& localIp,
               quint32 localPort, bool multicast, const QByteArray& interfaceIp);
    bool Restart() override;

    // Port of the bound socket as the system reports it; 0 while closed.
    int GetLocalPort() const;
    QString GetRemoteIp() const { return QString::fromUtf8(remoteIp_); }
    int GetRemotePort() const { return int(remotePort_); }
    bool IsOpen() const { return open_; }
    bool IsMulticast() const { return multicast_; }

private:
    static void OnRecv(const char* data, int64_t nread, const struct sockaddr* sender, void* user);
    void OnResolved(const QByteArray& ip, const QString& error);
    // Binds (and joins the group) with the parsed addresses.
    bool Open();

    UDPCLIENT endpoint_;
    QByteArray remoteIp_;
    quint32 remotePort_ = 0;
    QByteArray localIp_;
    quint32 localPort_ = 0;
    bool multicast_ = false;
    QByteArray interfaceIp_;
    struct sockaddr_in remote_ = {};  // parsed at start (or looked up), used by every send
    struct sockaddr_in bind_ = {};    // parsed at start, bound once the remote is known
    bool open_ = false;
    mutable qint64 dropped_ = -1;  // the last count read
};

#endif
