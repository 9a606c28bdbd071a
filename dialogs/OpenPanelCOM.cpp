#include "OpenPanelCOM.h"

#include <QSerialPortInfo>

#include "DialogForm.h"
#include "SettingsKeys.h"
#include "ui_OpenPanelCOM.h"

// Stored as the data-bits combo's index: the first item is 5 bits.
static const int kFewestDataBits = 5;
static const int kDataBitsChoices = 4;
static const int kParityChoices = 5;
static const int kStopBitsChoices = 3;

static QString FlagText(bool on) {
    return on ? "1" : "0";
}

QString OpenPanelCOM::InitialPortName() {
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    // Spelled so on purpose: users know this placeholder as it stands.
    if (ports.isEmpty())
        return "Unknow";
    const QString stored = SettingText(COM_NAME);
    for (const QSerialPortInfo& port : ports) {
        if (port.portName() == stored)
            return stored;
    }
    return ports.first().portName();
}

OpenPanelCOM::OpenPanelCOM(QWidget* parent) : QDialog(parent), ui(new Ui::OpenPanelCOMClass) {
    ui->setupUi(this);
    ClearContextHelp(this);
    PrepareNumberField(ui->buardrateLineEdit);
    connect(ui->nameComboBox, &QComboBoxPro::clicked, this, &OpenPanelCOM::OnPressComboBox);

    ui->nameComboBox->addItem(InitialPortName());
    ui->buardrateLineEdit->setText(SettingText(COM_BUARDRATE));
    SelectStoredIndex(ui->parityComboBox, COM_PARITY);
    SelectStoredIndex(ui->dataBitsComboBox, COM_DATABITS);
    SelectStoredIndex(ui->stopBitsComboBox, COM_STOPBITS);
    ui->rtsCheckBox->setChecked(SettingInt(COM_RTS) != 0);
    ui->dtrCheckBox->setChecked(SettingInt(COM_DTR) != 0);
}

OpenPanelCOM::~OpenPanelCOM() {
    delete ui;
}

void OpenPanelCOM::OnPressComboBox() {
    auto* combo = qobject_cast<QComboBox*>(sender());
    if (combo == nullptr)
        combo = ui->nameComboBox;
    combo->clear();
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        combo->addItem(port.portName());
}

void OpenPanelCOM::on_confirmButton_clicked() {
    SetSettingText(COM_NAME, ui->nameComboBox->currentText());
    SetSettingText(COM_BUARDRATE, ui->buardrateLineEdit->text());
    SetSettingInt(COM_PARITY, ui->parityComboBox->currentIndex());
    SetSettingInt(COM_DATABITS, ui->dataBitsComboBox->currentIndex());
    SetSettingInt(COM_STOPBITS, ui->stopBitsComboBox->currentIndex());
    SetSettingText(COM_RTS, FlagText(ui->rtsCheckBox->isChecked()));
    SetSettingText(COM_DTR, FlagText(ui->dtrCheckBox->isChecked()));
    done(1);
}

QString OpenPanelCOM::GetPortName() const {
    return SettingText(COM_NAME);
}

int OpenPanelCOM::GetBaudRate() const {
    return SettingInt(COM_BUARDRATE);
}

int OpenPanelCOM::GetParity() const {
    return StoredIndex(COM_PARITY, kParityChoices);
}

int OpenPanelCOM::GetDataBits() const {
    return StoredIndex(COM_DATABITS, kDataBitsChoices) + kFewestDataBits;
}

int OpenPanelCOM::GetStopBits() const {
    return StoredIndex(COM_STOPBITS, kStopBitsChoices);
}

bool OpenPanelCOM::GetRTS() const {
    return SettingInt(COM_RTS) != 0;
}

bool OpenPanelCOM::GetDTR() const {
    return SettingInt(COM_DTR) != 0;
}
