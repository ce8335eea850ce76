#include "SerDlgs.h"

#include "Serial.h"

// ---------------------------------------------------------------- TSerComboBox

TSerComboBox::TSerComboBox(QWidget* owner) : QComboBox(owner) {
    setEditable(false);
    setMaxVisibleItems(8);  // the drop-down shows eight entries
    // activated comes from the user only (mouse, keys, wheel), never from setCurrentIndex.
    connect(this, &QComboBox::activated, this, &TSerComboBox::UserPicked);
}

void TSerComboBox::UserPicked() {
    if (FOnClick) FOnClick(this);
    Change();
}

void TSerComboBox::Change() {
    if (FOnChange) FOnChange(this);
}

// ---------------------------------------------------------------- TSerPortComboBox

TSerPortComboBox::TSerPortComboBox(QWidget* owner) : TSerComboBox(owner) {
    if (COMManager) COMManager->AddListener({this, &TSerPortComboBox::PortListChanged});
}

TSerPortComboBox::~TSerPortComboBox() {
    if (COMManager) COMManager->RemoveListener({this, &TSerPortComboBox::PortListChanged});
}

void TSerPortComboBox::Loaded() {
    RefreshPorts();
}

void TSerPortComboBox::PortListChanged() {
    RefreshPorts();
}

void TSerPortComboBox::RefreshPorts() {
    clear();
    const std::int32_t count = COMManager ? COMManager->PortCount() : 0;
    int index = -1;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t portNo = COMManager->PortRecord(i).PortNo;
        addItem(QString::fromStdString(COMManager->PortName(i)), portNo);
        if (FSerial && portNo == FSerial->COMPort()) index = i;
    }
    // Also undoes the combo box's own choice of the first item when the list was empty.
    setCurrentIndex(index);
}

void TSerPortComboBox::Change() {
    if (FSerial) {
        if (COMManager && COMManager->PortCount() > 0)
            FSerial->SetPortIndex(currentIndex());
        else
            FSerial->SetCOMPort(0);
    }
    TSerComboBox::Change();
}
