// The main of the GUI tests: one QApplication for the whole process, on Qt's offscreen
// platform, so the tests need no display and show nothing.

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Before the application exists: the platform plugin is chosen when it is created.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
