// The port selector: a drop-down list of the COM ports the port manager knows, kept current
// by the manager's listener notification and bound to a serial component whose port it shows
// and sets.
//
// Everything here runs on the GUI thread: user input, the form's property writes and the
// port manager's listener calls.
#pragma once

#include <QComboBox>

#include "Method.h"
#include "Object.h"

class TCustomSerial;

// A combo box whose only behaviour of its own is raising OnClick and OnChange when the user
// picks an entry. A TObject as well, so it can be the sender of a TNotifyEvent.
class TSerComboBox : public QComboBox, public rt::TObject {
    Q_OBJECT

public:
    // The owner becomes the parent. The box is a drop-down list: the user picks, never types.
    explicit TSerComboBox(QWidget* owner = nullptr);

    rt::TNotifyEvent OnChange() const { return FOnChange; }
    void SetOnChange(const rt::TNotifyEvent& value) { FOnChange = value; }
    rt::TNotifyEvent OnClick() const { return FOnClick; }
    void SetOnClick(const rt::TNotifyEvent& value) { FOnClick = value; }

protected:
    // Runs after OnClick when the user picked an entry, never for a programmatic selection.
    // Raises OnChange with the box as sender.
    virtual void Change();

private:
    void UserPicked();

    rt::TNotifyEvent FOnChange;
    rt::TNotifyEvent FOnClick;
};

// The selector of a serial component's port. Its items are a copy of the port manager's list
// (each item carries its port number) and item i always stands for the manager's entry i.
class TSerPortComboBox : public TSerComboBox {
    Q_OBJECT

public:
    // Registers as a listener of COMManager when there is one. The items stay empty until
    // Loaded or a listener call.
    explicit TSerPortComboBox(QWidget* owner = nullptr);
    // Leaves the listener chain before the control goes.
    ~TSerPortComboBox() override;

    // The bound component, or none. It must outlive the binding.
    TCustomSerial* Serial() const { return FSerial; }
    void SetSerial(TCustomSerial* value) { FSerial = value; }

    // After the form has set the properties.
    void Loaded();
    // Refills the items from COMManager and selects the bound component's port, or nothing.
    // Neither changes COMPort nor raises OnChange.
    void RefreshPorts();
    // The listener the port manager calls after each rebuild of its list.
    void PortListChanged();

protected:
    // Stores the picked port in the bound component before OnChange runs, so the handler
    // finds COMPort already set.
    void Change() override;

private:
    TCustomSerial* FSerial = nullptr;
};
