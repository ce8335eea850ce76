// The real window on the offscreen platform, with scripted dialogs, in a working directory of
// its own, with a temporary port directory and the Qt main-thread queue.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QTest>

#include <deque>
#include <functional>
#include <optional>
#include <tuple>

#include "PtySupport.h"
#include "QtMainThreadQueue.h"
#include "RomFile.h"
#include "RomImage.h"
#include "Unit1.h"

namespace testing_support {

// Answers the window's dialogs as a test says and records what they were asked.
class TScriptedDialogs : public TDialogs {
public:
    std::optional<QString> OpenFile(QWidget*, const QString& filter, int filterIndex,
                                    const QString& fileName) override {
        OpenCalls.emplace_back(filter, filterIndex, fileName);
        if (FileAnswers.empty()) return std::nullopt;
        const QString answer = FileAnswers.front();
        FileAnswers.pop_front();
        if (answer.isNull()) return std::nullopt;
        return answer;
    }
    void ShowMessage(QWidget*, const QString& text) override {
        Messages.append(text);
        if (OnMessage) OnMessage(text);
    }

    std::deque<QString> FileAnswers;  // a null text: the operator cancels
    std::vector<std::tuple<QString, int, QString>> OpenCalls;
    QStringList Messages;
    std::function<void(const QString&)> OnMessage;
};

// Keeps running the event loop until done() holds or the time is up.
inline bool Until(const std::function<bool()>& done, int timeoutMs = 5000) {
    return Eventually(done, [] { QApplication::processEvents(QEventLoop::AllEvents, 10); },
                      std::chrono::milliseconds(timeoutMs));
}

inline QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items.append(box->itemText(i));
    return items;
}

// The operator picks an entry with the keyboard, as with the mouse: the box's change runs.
inline void Pick(QComboBox* box, const QString& text) {
    const int target = box->findText(text);
    ASSERT_GE(target, 0) << text.toStdString();
    ASSERT_GE(box->count(), 2);
    box->setFocus();
    box->setCurrentIndex(target == 0 ? 1 : target - 1);  // programmatic: no change runs
    QTest::keyClick(box, target == 0 ? Qt::Key_Up : Qt::Key_Down);
    ASSERT_EQ(box->currentIndex(), target);
}

// A ROM file of the image bytes given, scrambled with the window's key.
inline void WriteRom(const std::string& name, const std::vector<std::uint8_t>& image) {
    ResetImageStore();
    std::copy(image.begin(), image.end(), RomImage);
    MarkImageWritten(0, static_cast<std::uint32_t>(image.size()));
    SaveRom(name, "Q7M!_X295836H4F_Z8W");
    ResetImageStore();
}

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        ResetImageStore();
        RxMode = 99;  // FormCreate sets status mode
        FOldDir = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(dir.Path().string()));
        rt::InstallMainThreadQueue(&queue);
    }
    void TearDown() override {
        form.reset();
        manager.reset();
        QApplication::processEvents();
        rt::InstallMainThreadQueue(nullptr);
        QDir::setCurrent(FOldDir);
        ResetImageStore();
    }
    // The port manager as at program start, when the test's links are there already.
    TForm1& Create() {
        if (!manager) manager = std::make_unique<TCOMManagerInstance>();
        form = std::make_unique<TForm1>(dialogs);
        return *form;
    }
    // Shown and activated, so the start-up has run.
    TForm1& Start() {
        if (!form) Create();
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        EXPECT_TRUE(Until([&] { return form->Panel1->isHidden(); }));
        return *form;
    }
    QString LastLine() { return form->Memo1->Line(form->Memo1->Count() - 1); }

    TTempDir dir;  // the working directory of the window
    TPortDir ports;
    TQtMainThreadQueue queue;
    std::unique_ptr<TCOMManagerInstance> manager;
    TScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    QString FOldDir;
};

}  // namespace testing_support
