// The application object: the general error report and the main-thread hook.
#pragma once

#include "Worker.h"

#include <QApplication>
#include <functional>

namespace hostmoor {

class HostmoorApplication : public QApplication {
public:
    HostmoorApplication(int& argc, char** argv);
    ~HostmoorApplication() override;

    // An exception that leaves a handler ends up here and is shown in a critical message box.
    bool notify(QObject* receiver, QEvent* event) override;
    // Shows the text in a critical message box, or hands it to Reporter when one is set.
    static void ReportError(const QString& text);
    static std::function<void(const QString&)> Reporter;
};

// Gives the application its name "Hostmoor" (on X11 also the window's class), its icon, and
// the name of its installed desktop entry, by which docks and task switchers link the window
// to its launcher.
void SetApplicationIdentity();

// Runs worker completion handlers on the main thread by blocking queued invocation.
MainThreadHook QtMainThreadHook();

} // namespace hostmoor
