// Shared objects and a shown main window for the window's tests, as the application makes
// them; settings in a file of the test's own.
#pragma once

#include "Application.h"
#include "Filter.h"
#include "SettingsStore.h"

#include "DNSCache.h"
#include "SimpleLookup.h"
#include "ThreadManager.h"
#include "Worker.h"

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

class WindowScope {
public:
    // Settings come from `dir`/settings.conf; `prepare` may write to the store before the
    // window reads it.
    explicit WindowScope(const QString& dir, const std::function<void(SettingsStore&)>& prepare = {}) {
        InstallQtMainThreadHook();
        CreateCaches();
        ThreadManager = new TThreadManager;
        CreateLookupResults();
        ShowExtendedInfo = true;
        SetApplicationTerminating(false);
        Settings = new SettingsStore(dir + "/settings.conf");
        if (prepare)
            prepare(*Settings);
        MaxSavedDropDownCount = Settings->ReadNumber("General", "MaxSavedDropDownCount", 8);
        form = std::make_unique<TDNSForm>();
        form->Beep = [this] { ++beeps; };
        form->ShowMessage = [this](const QString& text) { messages << text; };
    }
    ~WindowScope() {
        if (ThreadManager) {
            ThreadManager->StopAll();
            WaitForWorkers();
        }
        form.reset();
        delete Settings;
        Settings = nullptr;
        ReleaseLookupResults();
        delete ThreadManager;
        ThreadManager = nullptr;
        ReleaseCaches();
    }

    bool Show() {
        form->FormCreate();
        form->show();
        QApplication::setActiveWindow(form.get());
        return QTest::qWaitForWindowActive(form.get());
    }

    // Lets the event loop run worker completion handlers until the registry is empty.
    bool WaitForWorkers(int timeoutMs = 30000) {
        return QTest::qWaitFor([] { return ThreadManager->ThreadCount() == 0; }, timeoutMs);
    }

    QWidget* Focused() const { return QApplication::focusWidget(); }
    bool HasFocus(QComboBox* box) const {
        return Focused() == box || Focused() == box->lineEdit();
    }

    std::unique_ptr<TDNSForm> form;
    int beeps = 0;
    QStringList messages;
};

} // namespace hostmoor::test
