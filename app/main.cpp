// Start-up and shut-down of Hostmoor.
#include "Application.h"
#include "EngineRuntime.h"
#include "Filter.h"
#include "SettingsStore.h"
#include "Version.h"

#include <QCommandLineParser>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
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

// SIGTERM and SIGINT close the window as the Close button does, so the settings are saved,
// but without asking about a running rewrite; a message box that is open then (even one shown
// while the program ends) is closed too.
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
        form.CloseWithoutAsking();
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

// --help and --version are answered before any window or display is asked for. Qt's own
// options (-platform, -style...) are taken by the application object, not here.
std::optional<int> AnswerCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Look up Internet hosts, and rewrite log files with host names in place of addresses.");
    const QCommandLineOption help({"h", "help"}, "Print this help and end.");
    const QCommandLineOption version({"V", "version"}, "Print the version and end.");
    parser.addOption(help);
    parser.addOption(version);
    // Qt's own options have one dash; an unknown one with two is a mistake found here.
    const bool asked = std::any_of(arguments.begin() + 1, arguments.end(), [](const QString& a) {
        return a.startsWith("--") || a == "-h" || a == "-V";
    });
    if (!asked)
        return std::nullopt;
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "hostmoor: %s\nTry 'hostmoor --help'.\n",
                     parser.errorText().isEmpty() ? "it takes no arguments"
                                                  : qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help))
        std::fputs(qPrintable(parser.helpText().replace("<executable_name>", "hostmoor")), stdout);
    else
        std::printf("hostmoor %s\n", HOSTMOOR_VERSION);
    return 0;
}

// What is left after the application object has taken Qt's options must be nothing.
bool CommandLineIsEmpty(const QStringList& arguments) {
    if (arguments.size() <= 1)
        return true;
    std::fprintf(stderr, "hostmoor: unknown argument '%s'\nTry 'hostmoor --help'.\n",
                 qPrintable(arguments.at(1)));
    return false;
}

int main(int argc, char** argv) {
    if (const auto answered = AnswerCommandLine(argc, argv))
        return *answered;
    // The application object is left in place when workers may still wait on it at the end.
    auto* app = new HostmoorApplication(argc, argv);
    if (!CommandLineIsEmpty(QApplication::arguments()))
        return 2;

    auto engine = std::make_unique<EngineRuntime>();
    auto settings = std::make_unique<SettingsStore>();
    Guarded([&] { settings->ReadStartupValues(); });
    engine->LookupPool.SetLimit(settings->MaxLookupsInFlight);
    SetApplicationIdentity();
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
