// The serial-port dialog: port name and line settings, loaded from the store
// when built and stored on confirm.
#ifndef MAROVENT_OPENPANELCOM_H
#define MAROVENT_OPENPANELCOM_H

#include <QDialog>

namespace Ui {
class OpenPanelCOMClass;
}

class OpenPanelCOM : public QDialog {
    Q_OBJECT
public:
    explicit OpenPanelCOM(QWidget* parent = nullptr);
    ~OpenPanelCOM() override;

    // The stored values, read after exec returned accepted.
    QString GetPortName() const;
    int GetBaudRate() const;
    int GetParity() const;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int GetDataBits() const;  // 5 to 8
    int GetStopBits() const;  // 0 one, 1 one and a half, 2 two
    bool GetRTS() const;
    bool GetDTR() const;

private slots:
    void on_confirmButton_clicked();
    void OnPressComboBox();

private:
    // The stored port when present, else the first present port, else "Unknow".
    static QString InitialPortName();

    Ui::OpenPanelCOMClass* ui;
};

#endif
