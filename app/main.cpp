// Start-up and shut-down of Hostmoor.
#include "Application.h"
#include "EngineRuntime.h"
#include "Filter.h"
#include "SettingsStore.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using namespace hostmoor;

namespace {

int gSignalPipe[2] = {-1, -1};
bool gClosedBySignal = false;

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT close the window as the Close button does, so the settings are saved;
// a message box that is open then (even one shown while the program ends) is closed too.
void CloseOnTerminationSignals(TDNSForm& form) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &form);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(gSignalPipe[0], &byte, 1);
        gClosedBySignal = true;
        while (QWidget* modal = QApplication::activeModalWidget())
            if (!modal->close())
                break;
        form.close();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Runs one start-up or shut-down step. Its error goes to the general error report, or, once a
// signal has asked the program to end, to standard error, where nobody has to answer it.
template <typename Step> bool Guarded(Step step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        if (gClosedBySignal)
            std::fprintf(stderr, "hostmoor: %s\n", e.what());
        else
            HostmoorApplication::ReportError(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // The application object is left in place when workers may still wait on it at the end.
    auto* app = new HostmoorApplication(argc, argv);

    auto engine = std::make_unique<EngineRuntime>();
    auto settings = std::make_unique<SettingsStore>();
    Guarded([&] { settings->ReadStartupValues(); });
    engine->LookupPool.SetLimit(settings->MaxLookupsInFlight);
    QApplication::setApplicationName("Hostmoor");
    engine->SetMainThreadHook(QtMainThreadHook());

    auto form = std::make_unique<TDNSForm>(*engine, *settings);
    Guarded([&] { form->FormCreate(); });
    CloseOnTerminationSignals(*form);
    form->show();
    const int rc = QApplication::exec();

    engine->SetApplicationTerminating(true);
    Guarded([&] { form->FormDestroy(); });
    form.reset();
    settings.reset();
    engine->End(rc); // does not return while a worker is still blocked in a lookup
    engine.reset();
    delete app;
    return rc;
}
