// The input boxes' histories and the window's settings: restored when the window is created,
// saved when it is destroyed.
#include "EngineRuntime.h"
#include "Filter.h"
#include "FormTexts.h"
#include "Resolver.h"
#include "SettingsStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLocale>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTabWidget>
#include <algorithm>

namespace hostmoor {

namespace {

const QString kHistorySection = QStringLiteral("Query History");
const QString kGeneralSection = QStringLiteral("General");

QString HistoryName(const QComboBox* box, int position) {
    return box->objectName() + ' ' + QString::number(position);
}

} // namespace

void TDNSForm::AddToDropdownList(QComboBox* box) {
    const QString text = box->currentText();
    if (text.isEmpty())
        return;
    const QLocale locale;
    const QString key = locale.toLower(text);
    int found = -1;
    for (int i = 0; i < box->count(); ++i) {
        if (locale.toLower(box->itemText(i)) == key) {
            found = i;
            break;
        }
    }
    const int limit = std::max(Settings.MaxSavedDropDownCount, 0);
    if (found < 0) {
        box->insertItem(0, text);
        if (box->count() > limit)
            box->removeItem(limit);
    } else if (found > 0) {
        box->insertItem(0, text);
        box->removeItem(found + 1);
    }
    // The entry just used is the current one, so that Down recalls the one before it.
    box->setCurrentIndex(box->count() > 0 && locale.toLower(box->itemText(0)) == key ? 0 : -1);
}

void TDNSForm::ReadDropdownList(QComboBox* box) {
    const QSignalBlocker blocker(box);
    const QString text = box->currentText();
    for (int n = 0; n < 8; ++n) {
        const QString entry = Settings.ReadText(kHistorySection, HistoryName(box, n), "!!NO_DATA");
        if (entry != "!!NO_DATA" && !entry.isEmpty())
            box->addItem(entry);
    }
    // No entry is current, so that Down in the box recalls the newest.
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

void TDNSForm::WriteDropdownList(QComboBox* box) {
    const int positions = std::min(Settings.MaxSavedDropDownCount, box->maxCount());
    for (int n = 0; n < positions; ++n)
        Settings.WriteText(kHistorySection, HistoryName(box, n),
                           n < box->count() ? box->itemText(n) : QString());
}

void TDNSForm::FormCreate() {
    ProgressBar1->setValue(0);
    ReadDropdownList(LookupSubject);
    ReadDropdownList(InEdit);
    Engine.ShowExtendedInfo =
        Settings.ReadSwitch(kGeneralSection, "ShowExtendedInfo", Engine.ShowExtendedInfo);
    ExtendedInfo->setChecked(Engine.ShowExtendedInfo);
    Engine.ResolveIPv6 = Settings.ReadSwitch(kGeneralSection, "ResolveIPv6", false);
    ResolveIPv6->setChecked(Engine.ResolveIPv6);
    Engine.VerifyNames = Settings.ReadSwitch(kGeneralSection, "VerifyNames", false);
    VerifyNames->setChecked(Engine.VerifyNames);
    Engine.RememberAnswers = Settings.ReadSwitch(kGeneralSection, "RememberAnswers", false);
    RememberAnswers->setChecked(Engine.RememberAnswers);
    const int pages = PageControl1->count();
    fLastFolder = Settings.ReadText(kGeneralSection, "LastFolder", {});
    const int n = Settings.ReadNumber(kGeneralSection, "ActiveTab", 0);
    for (int i = 0; i < n % pages; ++i)
        PageControl1->setCurrentIndex((PageControl1->currentIndex() + 1) % pages);
    if (LookupSubject->count() == 0)
        LookupSubject->setEditText(kDefaultHostName);
    LookupSubjectChange(); // an empty box, with a saved history, gives no change to follow
}

void TDNSForm::FormDestroy() {
    Engine.ThreadManager.StopAll();
    Engine.Resolver.ResolverCleanup();
    Engine.ThreadManager.WaitForAll();
    // Everything reaches the store at once, and a failure is reported once.
    Settings.BeginSave();
    WriteDropdownList(LookupSubject);
    WriteDropdownList(InEdit);
    Settings.WriteSwitch(kGeneralSection, "ShowExtendedInfo", Engine.ShowExtendedInfo);
    Settings.WriteSwitch(kGeneralSection, "ResolveIPv6", Engine.ResolveIPv6);
    Settings.WriteSwitch(kGeneralSection, "VerifyNames", Engine.VerifyNames);
    Settings.WriteSwitch(kGeneralSection, "RememberAnswers", Engine.RememberAnswers);
    Settings.WriteNumber(kGeneralSection, "ActiveTab", PageControl1->currentIndex());
    if (!fLastFolder.isEmpty())
        Settings.WriteText(kGeneralSection, "LastFolder", fLastFolder);
    Settings.EndSave();
}

} // namespace hostmoor
