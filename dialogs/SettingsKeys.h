// Every key of the settings store with the default its readers pass.
// Values are written as text (integers as decimal text) unless a writer says
// otherwise; reading with toString or toInt gives the same either way.
#ifndef MAROVENT_SETTINGSKEYS_H
#define MAROVENT_SETTINGSKEYS_H

#include <QString>

// A key and the value a reader gets while the key is absent.
struct SettingKey {
    const char* name;
    const char* fallback;
};

// Serial dialog, written in this order.
constexpr SettingKey COM_NAME{"COM_NAME", ""};
// "BUARDRATE" is the stored name that existing settings files carry: keep the spelling.
constexpr SettingKey COM_BUARDRATE{"COM_BUARDRATE", "9600"};
constexpr SettingKey COM_PARITY{"COM_PARITY", "0"};      // 0 none, 1 odd, 2 even, 3 mark, 4 space
constexpr SettingKey COM_DATABITS{"COM_DATABITS", "3"};  // combo index: 0..3 for 5..8 bits
constexpr SettingKey COM_STOPBITS{"COM_STOPBITS", "0"};  // 0 one, 1 one and a half, 2 two
constexpr SettingKey COM_RTS{"COM_RTS", "1"};
constexpr SettingKey COM_DTR{"COM_DTR", "1"};

// TCP and KCP dialogs.
constexpr SettingKey TCPSERVER_IP{"TCPSERVER_IP", "127.0.0.1"};
constexpr SettingKey TCPSERVER_PORT{"TCPSERVER_PORT", "5555"};
constexpr SettingKey TCPCLIENT_IP{"TCPCLIENT_IP", "127.0.0.1"};
constexpr SettingKey TCPCLIENT_PORT{"TCPCLIENT_PORT", "5555"};
constexpr SettingKey KCPSERVER_IP{"KCPSERVER_IP", "127.0.0.1"};
constexpr SettingKey KCPSERVER_PORT{"KCPSERVER_PORT", "5555"};
constexpr SettingKey KCPSERVER_MODE{"KCPSERVER_MODE", "0"};  // 0 default, 1 fast, 2 ultra
constexpr SettingKey KCPCLIENT_IP{"KCPCLIENT_IP", "127.0.0.1"};
constexpr SettingKey KCPCLIENT_PORT{"KCPCLIENT_PORT", "5555"};
constexpr SettingKey KCPCLIENT_MODE{"KCPCLIENT_MODE", "0"};

// UDP dialog, all seven from either confirm button.
constexpr SettingKey UDPCLIENT_IP{"UDPCLIENT_IP", "127.0.0.1"};
constexpr SettingKey UDPCLIENT_PORT{"UDPCLIENT_PORT", "5555"};
constexpr SettingKey UDPLOCAL_IP{"UDPLOCAL_IP", "0.0.0.0"};
constexpr SettingKey UDPLOCAL_PORT{"UDPLOCAL_PORT", "5555"};
constexpr SettingKey MULTICAST_IP{"MULTICAST_IP", "224.1.1.1"};
constexpr SettingKey MULTICAST_PORT{"MULTICAST_PORT", "65000"};
// The window's default; the dialog's own field defaults to the first local IPv4 address.
constexpr SettingKey INTERFACE_IP{"INTERFACE_IP", "127.0.0.1"};

// Main window, on close: 0 Default, 1 ASCII, 2 UTF8, 3 UTF16.
constexpr SettingKey ENCODING{"ENCODING", "0"};
// Main window, when toggled: "1" shows times with milliseconds in the receive view.
constexpr SettingKey VIEW_MILLISECONDS{"VIEW_MILLISECONDS", "0"};
// Main window: the folder of the last capture file chosen; empty means the home folder.
constexpr SettingKey CAPTURE_DIR{"CAPTURE_DIR", ""};
// Last pause asked between a file's pieces (UDP and serial), in ms.
constexpr SettingKey FILE_SEND_DELAY{"FILE_SEND_DELAY", "0"};

// Reads through GetSettings with the key's default.
QString SettingText(const SettingKey& key);
int SettingInt(const SettingKey& key);
bool SettingContains(const SettingKey& key);

// Writes through GetSettings. A port is the typed text converted to an
// integer and written back as decimal text, so "007" is stored as "7" and "" as "0".
void SetSettingText(const SettingKey& key, const QString& value);
void SetSettingInt(const SettingKey& key, int value);
void SetSettingPort(const SettingKey& key, const QString& typed);

#endif
