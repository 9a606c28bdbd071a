#include "SessionKinds.h"

#include <QTreeWidgetItem>

#include "OpenPanelCOM.h"
#include "OpenPanelKCPClient.h"
#include "OpenPanelKCPServer.h"
#include "OpenPanelTCPClient.h"
#include "OpenPanelTCPServer.h"
#include "OpenPanelUDPClient.h"
#include "SessionItemCOM.h"
#include "SessionItemKCPServer.h"
#include "SessionItemTCPServer.h"
#include "SessionItemUDPClient.h"
#include "marovent.h"

namespace {

const int kConnectTimeoutMs = 5000;

const char* const kLedOn = "background-color: #00FF00";
const char* const kLedOff = "background-color: #CDCDCD";
const char* const kLedConnecting = "background-color: #FFFF00";

// The remote address row while the typed host name is being looked up.
QString Resolving(const QString& host) {
    return host + "（解析中）";
}

}  // namespace

// The rows' functions; a friend of the window, whose slots and tree placement they use.
class KindRows {
public:
    template <class Dialog, class Server>
    static SessionItem* CreateServer(marovent* window, QTreeWidgetItem* root, bool* started) {
        Dialog dialog(window);
        if (dialog.exec() != QDialog::Accepted)
            return nullptr;
        Server* server = NewServer(dialog);
        window->Wire(server);
        window->PlaceSession(server, root, dialog.GetIP(), dialog.GetPort());
        *started = server->Start(dialog.GetIP().toUtf8(), (unsigned)dialog.GetPort());
        server->GetTreeItem()->setExpanded(true);
        return server;
    }

    // Clients only remember their target; the start button connects.
    template <class Dialog, class Client>
    static SessionItem* CreateClient(marovent* window, QTreeWidgetItem* root, bool*) {
        Dialog dialog(window);
        if (dialog.exec() != QDialog::Accepted)
            return nullptr;
        Client* client = NewClient(dialog);
        window->Wire(client);
        window->PlaceSession(client, root, dialog.GetIP(), dialog.GetPort());
        client->SetTarget(dialog.GetIP().toUtf8(), (unsigned)dialog.GetPort(), kConnectTimeoutMs);
        return client;
    }

    static SessionItemTCPServer* NewServer(const OpenPanelTCPServer&) {
        return new SessionItemTCPServer("TCPServer");
    }
    static SessionItemKCPServer* NewServer(const OpenPanelKCPServer& dialog) {
        return new SessionItemKCPServer("KCPServer", dialog.GetMode());
    }
    static SessionItemTCPClient* NewClient(const OpenPanelTCPClient&) {
        return new SessionItemTCPClient("TCPClient");
    }
    static SessionItemKCPClient* NewClient(const OpenPanelKCPClient& dialog) {
        return new SessionItemKCPClient("KCPClient", dialog.GetMode());
    }

    static SessionItem* CreateUDP(marovent* window, QTreeWidgetItem* root, bool* started) {
        OpenPanelUDPClient dialog(window);
        if (dialog.exec() != QDialog::Accepted)
            return nullptr;
        auto* udp = new SessionItemUDPClient("UDPClient");
        window->Wire(udp);
        window->PlaceSession(udp, root, dialog.GetRemoteIP(), dialog.GetRemotePort());
        *started = udp->Start(dialog.GetRemoteIP().toUtf8(), (quint32)dialog.GetRemotePort(),
                              dialog.GetLocalIP().toUtf8(), (quint32)dialog.GetLocalPort(),
                              dialog.IsMulticast(), dialog.GetInterfaceIP().toUtf8());
        return udp;
    }

    static SessionItem* CreateCOM(marovent* window, QTreeWidgetItem* root, bool* started) {
        OpenPanelCOM dialog(window);
        if (dialog.exec() != QDialog::Accepted)
            return nullptr;
        auto* com = new SessionItemCOM("COM");
        window->Wire(com);
        window->PlaceSession(com, root, dialog.GetPortName(), dialog.GetBaudRate());
        *started = com->Open(dialog.GetPortName().toUtf8(), (quint32)dialog.GetBaudRate(),
                             (quint32)dialog.GetParity(), (quint32)dialog.GetDataBits(),
                             (quint32)dialog.GetStopBits(), dialog.GetRTS(), dialog.GetDTR());
        return com;
    }

    // The typed signals of each kind; Qt needs the handle type to match.
    template <class Server, auto connected, auto disconnected>
    static void WireServer(marovent* window, SessionItem* session) {
        auto* server = static_cast<Server*>(session);
        QObject::connect(server, &Server::OnClientConnectedSignal, window, connected);
        QObject::connect(server, &Server::OnClientDisconnectedSignal, window, disconnected);
    }
    template <class Client, auto result, auto disconnected>
    static void WireClient(marovent* window, SessionItem* session) {
        auto* client = static_cast<Client*>(session);
        QObject::connect(client, &Client::OnClientConnectResultSignal, window, result);
        QObject::connect(client, &Client::OnClientDisconnectedSignal, window, disconnected);
    }
    static void WireNothing(marovent*, SessionItem*) {}

    static void DescribeServer(SessionItem* session, PanelState* state) {
        const bool running = static_cast<SessionItemServer*>(session)->IsRunning();
        state->full = false;
        state->startEnabled = !running;
        state->closeEnabled = running;
        state->led = running ? kLedOn : kLedOff;
        state->icon = running ? &IconServerRun() : &IconServerStop();
    }

    static void DescribeClient(SessionItem* session, PanelState* state) {
        auto* client = static_cast<SessionItemClient*>(session);
        const bool connecting = client->IsConnecting();
        const bool connected = client->IsConnected();
        state->startText = "连接";
        state->closeText = "断开";
        state->startEnabled = !connecting && !connected;
        state->closeEnabled = connecting || connected;
        state->led = connecting ? kLedConnecting : (connected ? kLedOn : kLedOff);
        state->icon = connecting ? &IconNetConnect() : (connected ? &IconNetRun() : &IconNetStop());
        state->labels[0] = "远程IP：";
        state->labels[1] = client->IsResolving() ? Resolving(QString::fromUtf8(client->GetIP())) : client->GetPeerIP();
        state->labels[2] = "远程Port：";
        state->labels[3] = QString("%0").arg(client->GetPeerPort());
        state->localRow = true;
        state->localPort = QString("%0").arg(client->GetLocalPort());
    }

    static void DescribeUDP(SessionItem* session, PanelState* state) {
        auto* udp = static_cast<SessionItemUDPClient*>(session);
        const bool open = udp->IsOpen();
        const bool resolving = udp->IsResolving();
        const bool multicast = udp->IsMulticast();
        state->startEnabled = !open && !resolving;
        state->closeEnabled = open || resolving;
        state->led = resolving ? kLedConnecting : (open ? kLedOn : kLedOff);
        state->icon = resolving ? &IconNetConnect() : (open ? &IconNetRun() : &IconNetStop());
        state->labels[0] = multicast ? "组播IP：" : "远程IP：";
        state->labels[1] = resolving ? Resolving(udp->GetRemoteIp()) : udp->GetRemoteIp();
        state->labels[2] = multicast ? "组播Port：" : "远程Port：";
        state->labels[3] = QString("%0").arg(udp->GetRemotePort());
        // A group member's local port is the group's own.
        state->localRow = !multicast;
        state->localPort = QString("%0").arg(udp->GetLocalPort());
    }

    static void DescribeCOM(SessionItem* session, PanelState* state) {
        auto* com = static_cast<SessionItemCOM*>(session);
        const bool open = com->IsOpen();
        state->startText = "打开";
        state->startEnabled = !open;
        state->closeEnabled = open;
        state->led = open ? kLedOn : kLedOff;
        state->icon = open ? &IconSerialRun() : &IconSerialStop();
        state->labels[0] = "串口：";
        state->labels[1] = QString::fromUtf8(com->GetPortName());
        state->labels[2] = "波特率：";
        state->labels[3] = QString("%0").arg(com->GetBaudRate());
    }

    static bool ClientReady(SessionItem* s) { return static_cast<SessionItemClient*>(s)->IsConnected(); }
    static bool UDPReady(SessionItem* s) { return static_cast<SessionItemUDPClient*>(s)->IsOpen(); }
    // A port that failed a write counts as gone until it is opened again.
    static bool COMReady(SessionItem* s) {
        auto* com = static_cast<SessionItemCOM*>(s);
        return com->IsOpen() && com->IsDeviceOpen();
    }

    static const SessionKind kinds[];
};

namespace {

const char* const kClientGone = "Error : client is disconnected";

}  // namespace

// Roots appear in this order; a client row also describes the connections a
// server of its protocol accepted.
const SessionKind KindRows::kinds[] = {
    {TYPE_TCP_SERVER, 0, "TCP Server", false,
     &CreateServer<OpenPanelTCPServer, SessionItemTCPServer>,
     &WireServer<SessionItemTCPServer, &marovent::OnTCPServer_ClientConnected,
                 &marovent::OnTCPServer_ClientDisconnected>,
     &DescribeServer, nullptr, nullptr},
    {TYPE_TCP_CLIENT, TYPE_TCP_SERVER_CLIENT, "TCP Client", false,
     &CreateClient<OpenPanelTCPClient, SessionItemTCPClient>,
     &WireClient<SessionItemTCPClient, &marovent::OnTCPClient_ClientConnectResult,
                 &marovent::OnTCPClient_ClientDisconnected>,
     &DescribeClient, &ClientReady, kClientGone},
    {TYPE_UDP, 0, "UDP", false,
     &CreateUDP, &WireNothing, &DescribeUDP, &UDPReady, kClientGone},
    {TYPE_SERIAL_PORT, 0, "SerialPort", false,
     &CreateCOM, &WireNothing, &DescribeCOM, &COMReady, "Error : com is unavailable"},
    {TYPE_KCP_SERVER, 0, "KCP Server", true,
     &CreateServer<OpenPanelKCPServer, SessionItemKCPServer>,
     &WireServer<SessionItemKCPServer, &marovent::OnKCPServer_ClientConnected,
                 &marovent::OnKCPServer_ClientDisconnected>,
     &DescribeServer, nullptr, nullptr},
    {TYPE_KCP_CLIENT, TYPE_KCP_SERVER_CLIENT, "KCP Client", true,
     &CreateClient<OpenPanelKCPClient, SessionItemKCPClient>,
     &WireClient<SessionItemKCPClient, &marovent::OnKCPClient_ClientConnectResult,
                 &marovent::OnKCPClient_ClientDisconnected>,
     &DescribeClient, &ClientReady, kClientGone},
};

const SessionKind* AllSessionKinds(int* count) {
    *count = int(sizeof(KindRows::kinds) / sizeof(KindRows::kinds[0]));
    return KindRows::kinds;
}

const SessionKind* SessionKindOf(int type) {
    for (const SessionKind& kind : KindRows::kinds) {
        if (kind.type == type || (kind.acceptedType != 0 && kind.acceptedType == type))
            return &kind;
    }
    return nullptr;
}
