#include "Application.h"

#include "EngineRuntime.h"

#include <QFile>
#include <QIcon>
#include <QPushButton>
#include <QTest>
#include <stdexcept>
#include <thread>

using namespace hostmoor;

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void anExceptionLeavingAHandlerIsReportedAndTheWindowStaysUsable() {
        QStringList reports;
        HostmoorApplication::Reporter = [&](const QString& text) { reports << text; };
        QPushButton button("Throw");
        int clicks = 0;
        QObject::connect(&button, &QPushButton::clicked, [&] {
            if (++clicks == 1)
                throw std::runtime_error("Failed to set data for 'ActiveTab'");
        });
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(reports, QStringList({"Failed to set data for 'ActiveTab'"}));
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(clicks, 2);
        QCOMPARE(reports.size(), 1);
        HostmoorApplication::Reporter = nullptr;
    }

    // Docks and task switchers find the window's desktop entry by its desktop file name, and
    // on X11 by the window's class, which is the application's name.
    void theIconIsSetAndTheDesktopEntryMatches() {
        SetApplicationIdentity();
        const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
        for (const int size : {16, 32, 48, 256})
            QVERIFY(sizes.contains(QSize(size, size)));
        QFile entry(HOSTMOOR_DATA_DIR "/" + QGuiApplication::desktopFileName() + ".desktop");
        QVERIFY2(entry.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(entry.fileName()));
        const QStringList lines = QString::fromUtf8(entry.readAll()).split('\n');
        QVERIFY(lines.contains("Icon=" + QGuiApplication::desktopFileName()));
        QVERIFY(lines.contains("StartupWMClass=" + QApplication::applicationName()));
    }

    void completionHandlersRunOnTheMainThread() {
        EngineRuntime engine;
        engine.SetMainThreadHook(QtMainThreadHook());
        std::thread::id ranOn;
        std::thread worker(
            [&] { engine.RunOnMainThread([&] { ranOn = std::this_thread::get_id(); }); });
        QTRY_VERIFY(ranOn != std::thread::id());
        worker.join();
        QCOMPARE(ranOn, std::this_thread::get_id());
    }
};

int main(int argc, char** argv) {
    HostmoorApplication app(argc, argv);
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "ApplicationTest.moc"
