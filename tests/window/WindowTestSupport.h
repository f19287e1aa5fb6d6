// Shared objects and a shown main window for the window's tests, as the application makes
// them; settings in a file of the test's own.
#pragma once

#include "Application.h"
#include "EngineRuntime.h"
#include "Filter.h"
#include "SettingsStore.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace hostmoor::test {

// A box's history, top first.
inline QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// An engine, a settings store and the main window, made as the application makes them.
class WindowScope {
public:
    // Settings come from `dir`/settings.conf; `prepare` may write to the store before the
    // window reads it. A null resolver is the system's.
    explicit WindowScope(const QString& dir,
                         const std::function<void(SettingsStore&)>& prepare = {},
                         IResolver* resolver = nullptr)
        : engine(resolver) {
        engine.SetMainThreadHook(QtMainThreadHook());
        settings = std::make_unique<SettingsStore>(dir + "/settings.conf");
        if (prepare)
            prepare(*settings);
        settings->ReadStartupValues();
        engine.LookupPool.SetLimit(settings->MaxLookupsInFlight);
        form = std::make_unique<TDNSForm>(engine, *settings);
        form->Beep = [this] { ++beeps; };
        form->ShowMessage = [this](const QString& text) { messages << text; };
        form->AskQuestion = [this](const QString& text) {
            questions << text;
            return answer;
        };
    }
    ~WindowScope() {
        engine.ThreadManager.StopAll();
        WaitForWorkers();
        form.reset();
        settings.reset();
    }

    bool Show() {
        form->FormCreate();
        form->show();
        QApplication::setActiveWindow(form.get());
        return QTest::qWaitForWindowActive(form.get());
    }

    // Lets the event loop run worker completion handlers until the registry is empty.
    bool WaitForWorkers(int timeoutMs = 30000) {
        return QTest::qWaitFor([this] { return engine.ThreadManager.ThreadCount() == 0; },
                               timeoutMs);
    }

    QWidget* Focused() const { return QApplication::focusWidget(); }
    bool HasFocus(QComboBox* box) const { return Focused() == box || Focused() == box->lineEdit(); }

    EngineRuntime engine;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<TDNSForm> form;
    int beeps = 0;
    QStringList messages;
    QStringList questions;
    bool answer = true; // to every question
};

} // namespace hostmoor::test
