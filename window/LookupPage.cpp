// The lookup page: one worker per subject, the key filter, the results drain and the results
// box's pop-up menu.
#include "EngineRuntime.h"
#include "EngineText.h"
#include "Filter.h"
#include "SimpleLookup.h"
#include "Subjects.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

namespace hostmoor {

// The colon is for IPv6 literals.
bool TDNSForm::LookupSubjectAccepts(int code) {
    return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
           (code >= '0' && code <= '9') || code == '-' || code == '.' || code == '*' ||
           code == '[' || code == ']' || code == ':' || code == ' ' || code == 8 || code == 3 ||
           code == 22 || code == 24;
}

bool TDNSForm::LookupSubjectKeyPress(int code) {
    if (LookupSubjectAccepts(code))
        return true;
    Beep();
    return false;
}

bool TDNSForm::StrayAltKey(const QKeyEvent& key) {
    return (key.modifiers() & (Qt::AltModifier | Qt::MetaModifier)) &&
           !(key.modifiers() & Qt::ControlModifier) && !key.text().isEmpty();
}

bool TDNSForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == AdvancedDNS)
        return AdvancedDNSDragEvent(event) || QDialog::eventFilter(watched, event);
    if (watched == StartButton || watched == BrowseButton || watched == InEdit ||
        watched == InEdit->lineEdit() || watched == PageControl1->tabBar())
        return RewritePageEvent(watched, event) || QDialog::eventFilter(watched, event);
    const bool subject = watched == LookupSubject || watched == LookupSubject->lineEdit();
    if (!subject || event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const int k = key->key();
    if (key->modifiers() & (Qt::AltModifier | Qt::MetaModifier))
        return StrayAltKey(*key);
    // Enter and Escape belong to the window's default and cancel buttons; Delete (which
    // carries the text DEL on X11) and Tab are editing and moving, not typing.
    if (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape || k == Qt::Key_Tab ||
        k == Qt::Key_Backtab || k == Qt::Key_Delete)
        return false;
    int code = -1;
    if ((key->modifiers() & Qt::ControlModifier) && k >= Qt::Key_A && k <= Qt::Key_Z)
        code = k - Qt::Key_A + 1;
    else if (k == Qt::Key_Backspace)
        code = 8;
    else if (!key->text().isEmpty() && !key->text()[0].isNull())
        code = key->text()[0].unicode();
    if (code < 0)
        return false; // a key without a character: navigation, function keys
    return !LookupSubjectKeyPress(code);
}

void TDNSForm::LookupButtonClick() {
    Engine.Resolver.ResolverStartup();
    const QString text = LookupSubject->currentText();
    const auto subjects = SplitSubjects(ToEngine(text));
    if (subjects) {
        for (const std::string& subject : *subjects) {
            Engine.Clock.SleepMs(0);
            auto* worker = new TSimpleLookup(Engine, subject);
            worker->OnTerminate = Engine.ThreadManager.DoneHandler();
            worker->Start();
        }
    }
    AddToDropdownList(LookupSubject);
    LookupSubject->setEditText(text);
    LookupSubject->setFocus();
    LookupSubject->lineEdit()->selectAll();
}

void TDNSForm::LookupSubjectChange() {
    LookupButton->setEnabled(!LookupSubject->currentText().isEmpty());
}

void TDNSForm::ExtendedInfoClick() {
    Engine.ShowExtendedInfo = ExtendedInfo->isChecked();
}

void TDNSForm::LookupResultsTimerTimer() {
    std::vector<std::string> batch;
    {
        std::lock_guard guard(Engine.LookupResults.ResultsLock);
        std::vector<std::string>* lines = Engine.LookupResults.Lines();
        if (!lines || lines->empty())
            return;
        batch.swap(*lines);
    }
    if (fFirstResults) {
        LookupResultMemo->clear();
        LookupResultMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
        fFirstResults = false;
    }
    // The box keeps its last 100 lines itself (its maximum block count).
    auto append = [this, &batch] {
        for (const std::string& line : batch)
            if (!line.empty())
                LookupResultMemo->appendPlainText(FromEngine(line));
    };
    try {
        append();
    } catch (const std::exception&) {
        LookupResultMemo->clear();
        append();
    }
    QScrollBar* bar = LookupResultMemo->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TDNSForm::SimpleDNSPopupPopup() {
    Copy1->setEnabled(LookupResultMemo->textCursor().hasSelection());
    Stop1->setEnabled(Engine.ThreadManager.ThreadCount() > 0);
    CopyAll1->setEnabled(true);
    ClearAll1->setEnabled(true);
}

void TDNSForm::Copy1Click() {
    LookupResultMemo->copy();
}

void TDNSForm::CopyAll1Click() {
    LookupResultMemo->selectAll();
    LookupResultMemo->copy();
}

void TDNSForm::ClearAll1Click() {
    LookupResultMemo->clear();
}

void TDNSForm::Stop1Click() {
    Engine.ThreadManager.StopAll();
}

} // namespace hostmoor
