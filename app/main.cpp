// The tool's start and end: the application, the main-thread queue, the port manager (which
// probes COM1 to COM4), the window and the event loop; at the end the window and its components
// go before the port manager they report to.

#include <QApplication>

#include "QtMainThreadQueue.h"
#include "Serial.h"
#include "Unit1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TQtMainThreadQueue queue;
    rt::InstallMainThreadQueue(&queue);
    int status = 0;
    {
        TCOMManagerInstance manager;
        TQtDialogs dialogs;
        TForm1 form(dialogs);
        form.show();
        status = QApplication::exec();
    }
    rt::InstallMainThreadQueue(nullptr);
    return status;
}
