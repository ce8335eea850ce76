// A group box of radio buttons with one selected item, its index counted in the order the
// buttons were made.
#pragma once

#include <QGroupBox>
#include <QList>
#include <QRadioButton>

class TRadioGroup : public QGroupBox {
public:
    explicit TRadioGroup(QWidget* parent = nullptr) : QGroupBox(parent) {}

    QList<QRadioButton*> Items() const {
        return findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
    }
    // The selected item, -1 for none.
    int ItemIndex() const {
        const QList<QRadioButton*> items = Items();
        for (int i = 0; i < items.size(); ++i)
            if (items[i]->isChecked()) return i;
        return -1;
    }
    void SetItemIndex(int index) {
        const QList<QRadioButton*> items = Items();
        if (index >= 0 && index < items.size()) items[index]->setChecked(true);
    }
};
