#include "Clock.h"
#include "Resolver.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QClipboard>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <thread>

using namespace hostmoor;
using namespace hostmoor::test;

namespace {

QStringList MemoLines(QPlainTextEdit* memo) {
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

// QSKIP ends only the function it stands in, so this is a macro.
#define REQUIRE_TEST_DNS_QT()                                                                      \
    do {                                                                                           \
        if (!InTestDns())                                                                          \
            QSKIP(qPrintable(QString::fromStdString(TestDnsSkipReason())));                        \
        scope->engine.Resolver.SetResolver(nullptr);                                               \
    } while (0)

void RealPause300(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

} // namespace

class LookupPageTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        resolver = std::make_unique<ScriptedResolver>();
        Open();
    }
    void cleanup() {
        resolver->OpenGate();
        scope.reset();
        resolver.reset();
        dir.reset();
    }

    void everyBlankSeparatedSubjectGetsAWorker() {
        TDNSForm& f = *scope->form;
        resolver->CloseGate();
        Type("a  b c");
        f.LookupButton->click();
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 3);
        QCOMPARE(Items(f.LookupSubject), QStringList({"a  b c"}));
        QCOMPARE(f.LookupSubject->currentText(), QString("a  b c"));
        QCOMPARE(f.LookupSubject->lineEdit()->selectedText(), QString("a  b c"));
        QVERIFY(scope->HasFocus(f.LookupSubject));
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(resolver->Calls("a") + resolver->Calls("b") + resolver->Calls("c"), 3);
    }

    // The box keeps the line breaks of a pasted list (it shows them as blanks).
    void aPastedListGivesOneSubjectALine() {
        TDNSForm& f = *scope->form;
        resolver->CloseGate();
        f.LookupSubject->setEditText("");
        QApplication::clipboard()->setText("192.0.2.1\n192.0.2.2\r\n192.0.2.3\t192.0.2.4\r\n");
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_V, Qt::ControlModifier);
        QVERIFY(f.LookupButton->isEnabled());
        f.LookupButton->click();
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 4);
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        for (const char* subject : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"})
            QCOMPARE(resolver->Calls(subject), 1);
    }

    void subjectsAreLowerCasedButTheHistoryIsNot() {
        TDNSForm& f = *scope->form;
        Type("Host-1.LAN");
        f.LookupButton->click();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(resolver->Calls("host-1.lan"), 1);
        QCOMPARE(resolver->TotalCalls(), 1);
        QCOMPARE(Items(f.LookupSubject), QStringList({"Host-1.LAN"}));
    }

    void blanksOnlyEnableLookupAndEnterTheHistory() {
        TDNSForm& f = *scope->form;
        Type("   ");
        QVERIFY(f.LookupButton->isEnabled());
        f.LookupButton->click();
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 0);
        QCOMPARE(Items(f.LookupSubject), QStringList({"   "}));
        f.LookupSubject->setEditText("");
        QVERIFY(!f.LookupButton->isEnabled());
    }

    void startWithASavedHistory() {
        scope.reset();
        Open([](SettingsStore& s) { s.WriteText("Query History", "LookupSubject 0", "saved"); });
        TDNSForm& f = *scope->form;
        QCOMPARE(f.LookupSubject->currentText(), QString());
        QVERIFY(!f.LookupButton->isEnabled());
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_Return);
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 0);
        QCOMPARE(Items(f.LookupSubject), QStringList({"saved"}));
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_Down);
        QVERIFY(f.LookupButton->isEnabled());
    }

    void keyFilterRefusesWithTheAlertSound() {
        TDNSForm& f = *scope->form;
        QLineEdit* edit = f.LookupSubject->lineEdit();
        f.LookupSubject->setEditText("");
        QTest::keyClicks(edit, "aZ5-.*[]: x");
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(scope->beeps, 0);
        QCOMPARE(edit->text(), QString("aZ5-.*[]: "));
        for (char c : {'_', '%', '/'})
            QTest::keyClick(edit, c);
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_Eacute, QString::fromUtf8("é"),
                            Qt::NoModifier);
        QCOMPARE(scope->beeps, 6);
        QCOMPARE(edit->text(), QString("aZ5-.*[]: "));
        // Copy, cut and paste pass; pasted text is not filtered.
        QApplication::clipboard()->setText("x_y:z/é");
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(edit->text(), QString::fromUtf8("aZ5-.*[]: x_y:z/é"));
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString::fromUtf8("aZ5-.*[]: x_y:z/é"));
        QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(edit->text(), QString());
        QCOMPARE(scope->beeps, 6);
        // Keys typed into the box itself, as the window system delivers them.
        QTest::keyClick(f.LookupSubject, '_');
        QTest::keyClick(f.LookupSubject, 'q');
        QCOMPARE(scope->beeps, 7);
        QCOMPARE(edit->text(), QString("q"));
        // Alt+letter is a shortcut, not a typed character.
        QTest::keyClick(f.LookupSubject, Qt::Key_A, Qt::AltModifier);
        QCOMPARE(scope->beeps, 7);
        QCOMPARE(f.PageControl1->currentWidget(), f.AdvancedDNS);
        f.PageControl1->setCurrentIndex(0);
        // An Alt key that is no control's types nothing, silently.
        QTest::keyClick(edit, Qt::Key_X, Qt::AltModifier);
        QCOMPARE(edit->text(), QString("q"));
        QCOMPARE(scope->beeps, 7);
        // Navigation keys carry no character and pass silently.
        QTest::keyClick(edit, Qt::Key_Left);
        QTest::keyClick(edit, Qt::Key_Home);
        QCOMPARE(scope->beeps, 7);
    }

    void editingKeysEditWithoutTheAlertSound() {
        QLineEdit* edit = scope->form->LookupSubject->lineEdit();
        scope->form->LookupSubject->setEditText("abcd");
        edit->setCursorPosition(0);
        // Delete carries the text DEL on X11.
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_Delete, QString(QChar(0x7f)),
                            Qt::NoModifier);
        QCOMPARE(edit->text(), QString("bcd"));
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClick(edit, Qt::Key_Left);
        QTest::keyClick(edit, Qt::Key_Delete);
        QCOMPARE(edit->text(), QString("b"));
        QCOMPARE(scope->beeps, 0);
    }

    void whatIsTypedIsWhatIsLookedUpAndStored() {
        scope.reset();
        Open([](SettingsStore& s) {
            s.WriteText("Query History", "LookupSubject 0", "192.0.2.10");
            s.WriteText("Query History", "LookupSubject 1", "older");
        });
        TDNSForm& f = *scope->form;
        QLineEdit* edit = f.LookupSubject->lineEdit();
        // Down in the empty box recalls the newest entry.
        QTest::keyClick(edit, Qt::Key_Down);
        QCOMPARE(edit->text(), QString("192.0.2.10"));
        edit->selectAll();
        QTest::keyClicks(edit, "192.0.2.1");
        QCOMPARE(edit->text(), QString("192.0.2.1"));
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(resolver->Calls("192.0.2.1"), 1);
        QCOMPARE(resolver->TotalCalls(), 1);
        for (const char* typed : {"b", "a", "B"}) {
            QTest::keyClicks(edit, typed); // the whole text is selected after each lookup
            QTest::keyClick(edit, Qt::Key_Return);
        }
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Items(f.LookupSubject),
                 QStringList({"B", "a", "192.0.2.1", "192.0.2.10", "older"}));
        QCOMPARE(resolver->Calls("b"), 2);
    }

    void theBoxKeepsTheLast100Lines() {
        TDNSForm& f = *scope->form;
        Post([] {
            std::vector<std::string> lines;
            for (int i = 1; i <= 150; ++i)
                lines.push_back("line " + std::to_string(i));
            return lines;
        }());
        f.LookupResultsTimerTimer();
        const QStringList lines = MemoLines(f.LookupResultMemo);
        QCOMPARE(lines.size(), 100);
        QCOMPARE(lines.first(), QString("line 51"));
        QCOMPARE(lines.last(), QString("line 150"));
        QCOMPARE(f.LookupResultMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
        QScrollBar* bar = f.LookupResultMemo->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum()); // the newest line is shown
        // An empty list leaves the box alone.
        f.LookupResultsTimerTimer();
        QCOMPARE(MemoLines(f.LookupResultMemo).size(), 100);
        Post({"", "more", ""});
        f.LookupResultsTimerTimer();
        QCOMPARE(MemoLines(f.LookupResultMemo).last(), QString("more"));
        QCOMPARE(MemoLines(f.LookupResultMemo).first(), QString("line 52"));
    }

    void aRangeThatExpandsToNothingEndsTheInstructions() {
        TDNSForm& f = *scope->form;
        Type("10.0.0.[3-1]");
        f.LookupButton->click();
        QVERIFY(scope->WaitForWorkers());
        f.LookupResultsTimerTimer();
        QCOMPARE(f.LookupResultMemo->toPlainText(), QString());
        QCOMPARE(f.LookupResultMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(resolver->TotalCalls(), 0);
    }

    void clearAllKeepsTheStateAndPendingLines() {
        TDNSForm& f = *scope->form;
        f.ClearAll1->trigger();
        QCOMPARE(f.LookupResultMemo->toPlainText(), QString());
        QCOMPARE(f.LookupResultMemo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        Post({"first"});
        f.LookupResultsTimerTimer();
        QCOMPARE(MemoLines(f.LookupResultMemo), QStringList({"first"}));
        QCOMPARE(f.LookupResultMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
    }

    void stopIsOfferedAndStopsAFileWorker() {
        TDNSForm& f = *scope->form;
        f.SimpleDNSPopupPopup();
        QVERIFY(!f.Stop1->isEnabled());
        QVERIFY(f.CopyAll1->isEnabled());
        QVERIFY(f.ClearAll1->isEnabled());

        QFile log(dir->path() + "/a.log");
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("10.0.0.1 one\n10.0.0.2 two\n");
        log.close();
        resolver->CloseGate();
        f.InEdit->setEditText(log.fileName());
        f.StartButton->click();
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 1);
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 1);
        f.SimpleDNSPopupPopup();
        QVERIFY(f.Stop1->isEnabled());
        QTRY_VERIFY(resolver->Blocked() >= 1);
        f.Stop1->trigger();
        // The rewrite ends without waiting for the lookups in progress.
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(f.ProgressCaption(), QString(" Stopped. Incomplete: a.rdns"));
        resolver->OpenGate();
    }

    void copyNeedsASelectionAndCopyAllTakesEverything() {
        TDNSForm& f = *scope->form;
        f.ClearAll1->trigger();
        QApplication::clipboard()->setText("before");
        f.SimpleDNSPopupPopup();
        QVERIFY(!f.Copy1->isEnabled());
        f.CopyAll1->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("before"));

        Post({"IP: 10.0.0.1 Host: one", "IP: 10.0.0.2 Host: two"});
        f.LookupResultsTimerTimer();
        f.SimpleDNSPopupPopup();
        QVERIFY(!f.Copy1->isEnabled());
        QTextCursor cursor = f.LookupResultMemo->textCursor();
        cursor.setPosition(4);
        cursor.setPosition(12, QTextCursor::KeepAnchor);
        f.LookupResultMemo->setTextCursor(cursor);
        f.SimpleDNSPopupPopup();
        QVERIFY(f.Copy1->isEnabled());
        f.Copy1->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString("10.0.0.1"));
        f.CopyAll1->trigger();
        QCOMPARE(QApplication::clipboard()->text(),
                 QString("IP: 10.0.0.1 Host: one\nIP: 10.0.0.2 Host: two"));
        QCOMPARE(f.LookupResultMemo->textCursor().selectedText().size(),
                 f.LookupResultMemo->toPlainText().size());
    }

    void tickingExtendedInfoDuringARangeAppliesToLaterAddresses() {
        TDNSForm& f = *scope->form;
        for (int n = 1; n <= 3; ++n) {
            const std::string a = "10.0.0." + std::to_string(n);
            resolver->Answer(a, ScriptedResolver::Record("h" + std::to_string(n), {a},
                                                         {"alias" + std::to_string(n)}));
        }
        f.ExtendedInfo->click();
        QVERIFY(!scope->engine.ShowExtendedInfo);
        scope->engine.Clock.SetSleepFunction(&RealPause300);
        Type("10.0.0.[1-3]");
        f.LookupButton->click();
        QTRY_VERIFY((f.LookupResultsTimerTimer(),
                     f.LookupResultMemo->toPlainText().contains("IP: 10.0.0.1 Host: h1")));
        f.ExtendedInfo->click();
        QVERIFY(scope->engine.ShowExtendedInfo);
        QVERIFY(scope->WaitForWorkers());
        f.LookupResultsTimerTimer();
        const QStringList lines = MemoLines(f.LookupResultMemo);
        QCOMPARE(lines,
                 QStringList({"IP: 10.0.0.1 Host: h1", "IP: 10.0.0.2 Host: h2", "Aliases: alias2",
                              "IP: 10.0.0.3 Host: h3", "Aliases: alias3"}));
    }

    // ---- against the test DNS server

    void typedNameWithThreeAddressesAndAnAlias() {
        REQUIRE_TEST_DNS_QT();
        TDNSForm& f = *scope->form;
        f.LookupSubject->setEditText("");
        QTest::keyClicks(f.LookupSubject->lineEdit(), "alias.hm.test");
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(
            MemoLines(f.LookupResultMemo),
            QStringList({"Host: multi.hm.test IP: 192.0.2.11", "Alternate address: 192.0.2.12",
                         "Alternate address: 192.0.2.13", "Aliases: alias.hm.test"}),
            5000);
        QVERIFY(scope->WaitForWorkers());
    }

    void rangeOverThePtrBlockFillsTheBoxLineByLine() {
        REQUIRE_TEST_DNS_QT();
        TDNSForm& f = *scope->form;
        Type("192.0.2.[1-10]");
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(f.LookupResultMemo->toPlainText().contains("192.0.2.2 "), 5000);
        QVERIFY(!f.LookupResultMemo->toPlainText().contains("192.0.2.10 ")); // still arriving
        QTRY_COMPARE_WITH_TIMEOUT(MemoLines(f.LookupResultMemo).size(), 10, 15000);
        QStringList lines = MemoLines(f.LookupResultMemo);
        for (int n = 1; n <= 10; ++n)
            QCOMPARE(lines[n - 1], QString("IP: 192.0.2.%1 Host: host-%1.hm.test").arg(n));
        QVERIFY(scope->WaitForWorkers());
    }

    void unknownNameShowsHostNotFound() {
        REQUIRE_TEST_DNS_QT();
        TDNSForm& f = *scope->form;
        Type("no-such-host.hm.test");
        f.LookupButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(MemoLines(f.LookupResultMemo),
                                  QStringList({"no-such-host.hm.test: Host not found"}), 5000);
    }

private:
    void Open(const std::function<void(SettingsStore&)>& prepare = {}) {
        scope = std::make_unique<WindowScope>(dir->path(), prepare, resolver.get());
        QVERIFY(scope->Show());
    }
    void Type(const QString& text) { scope->form->LookupSubject->setEditText(text); }
    void Post(const std::vector<std::string>& lines) {
        std::lock_guard guard(scope->engine.LookupResults.ResultsLock);
        std::vector<std::string>* list = scope->engine.LookupResults.Lines();
        list->insert(list->end(), lines.begin(), lines.end());
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ScriptedResolver> resolver;
    std::unique_ptr<WindowScope> scope;
};

QTEST_MAIN(LookupPageTest)
#include "LookupPageTest.moc"
