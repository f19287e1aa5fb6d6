#include "Application.h"

#include <QDir>
#include <QIcon>
#include <QMessageBox>
#include <QThread>
#include <exception>

namespace hostmoor {

HostmoorApplication::HostmoorApplication(int& argc, char** argv) : QApplication(argc, argv) {}

HostmoorApplication::~HostmoorApplication() = default;

bool HostmoorApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ReportError("Unknown error");
    }
    return false;
}

std::function<void(const QString&)> HostmoorApplication::Reporter;

void HostmoorApplication::ReportError(const QString& text) {
    if (Reporter) {
        Reporter(text);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
}

void SetApplicationIdentity() {
    QApplication::setApplicationName("Hostmoor");
    QGuiApplication::setDesktopFileName(HOSTMOOR_ID);
    QIcon icon;
    for (const QString& size : QDir(":/icons").entryList(QDir::Dirs))
        icon.addFile(":/icons/" + size + "/" HOSTMOOR_ID ".png");
    QApplication::setWindowIcon(icon);
}

MainThreadHook QtMainThreadHook() {
    return [](const std::function<void()>& call) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        if (QThread::currentThread() == app->thread()) {
            call();
            return;
        }
        QMetaObject::invokeMethod(app, call, Qt::BlockingQueuedConnection);
    };
}

} // namespace hostmoor
