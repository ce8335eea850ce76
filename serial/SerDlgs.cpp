#include "SerDlgs.h"

#include <vector>

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
    std::vector<std::int32_t> portNos;
    portNos.reserve(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t portNo = COMManager->PortRecord(i).PortNo;
        portNos.push_back(portNo);
        addItem(QString::fromStdString(COMManager->PortName(i)), portNo);
    }
    int index = -1;
    if (FSerial) {
        const std::int32_t port = FSerial->COMPort();
        for (std::size_t i = 0; i < portNos.size(); ++i)
            if (portNos[i] == port) index = static_cast<int>(i);
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
