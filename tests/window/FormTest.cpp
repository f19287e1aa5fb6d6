#include "FormTexts.h"
#include "Resolver.h"
#include "TestSupport.h"
#include "Version.h"
#include "WindowTestSupport.h"

#include <QAccessible>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

using namespace hostmoor;
using namespace hostmoor::test;

class FormTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        scope = std::make_unique<WindowScope>(dir->path(), nullptr, &resolver);
        QVERIFY(scope->Show());
    }
    void cleanup() {
        scope.reset();
        dir.reset();
    }

    void controlsHaveTheirNamesPlacesAndCaptions() {
        TDNSForm& f = *scope->form;
        QCOMPARE(f.windowTitle(), QString("Hostmoor"));
        QCOMPARE(f.size(), QSize(408, 422));
        QCOMPARE(f.minimumSize(), f.maximumSize());
        QCOMPARE(QFontInfo(f.font()).pixelSize(), 13);

        struct Place {
            const char* name;
            QRect rect;
        };
        const Place places[] = {
            {"PageControl1", {8, 8, 393, 385}},
            {"CloseButton", {288, 344, 89, 25}},
            {"StatusBar1", {0, 400, 408, 22}},
            {"ProgressBar1", {1, 402, 150, 20}},
            {"LookupSubject", {16, 48, 337, 24}},
            {"LookupButton", {264, 80, 89, 25}},
            {"LookupResultMemo", {16, 112, 337, 161}},
            {"ExtendedInfo", {16, 284, 209, 17}},
            {"InEdit", {16, 48, 337, 24}},
            {"BrowseButton", {264, 80, 89, 25}},
            {"StartButton", {264, 112, 89, 25}},
            {"VisitMakerButton", {200, 104, 153, 25}},
        };
        for (const Place& p : places) {
            auto* w = f.findChild<QWidget*>(p.name);
            QVERIFY2(w, p.name);
            QCOMPARE(w->geometry(), p.rect);
        }
        QCOMPARE(f.findChild<QPushButton*>("CloseButton")->text(), QString("Close"));
        QCOMPARE(f.findChild<QPushButton*>("LookupButton")->text(), QString("&Lookup"));
        QCOMPARE(f.findChild<QPushButton*>("BrowseButton")->text(), QString("&Browse..."));
        QCOMPARE(f.findChild<QPushButton*>("StartButton")->text(), QString("&Process"));
        QCOMPARE(f.findChild<QPushButton*>("VisitMakerButton")->text(),
                 QString("&Visit Brightfold"));
        QCOMPARE(f.findChild<QCheckBox*>("ExtendedInfo")->text(),
                 QString("Show extended information"));

        auto* pages = f.findChild<QTabWidget*>("PageControl1");
        QCOMPARE(pages->count(), 4);
        const char* names[] = {"SimpleDNS", "AdvancedDNS", "AboutPage", "AboutMaker"};
        const char* captions[] = {"&Simple DNS", "&Advanced DNS", "About &This Software",
                                  "About &Brightfold"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(pages->widget(i)->objectName(), QString(names[i]));
            QCOMPARE(pages->tabText(i), QString(captions[i]));
            QVERIFY(pages->tabBar()->tabRect(i).right() < pages->width()); // every tab shows
        }
        QStringList groups;
        for (auto* g : f.findChildren<QGroupBox*>())
            groups << g->title();
        for (const char* title :
             {"Lookup a host name or an IP address", "Step 1 - File information",
              "Step 2 - Processing", "About Hostmoor", "About Brightfold",
              "Visit Brightfold on the Internet"})
            QVERIFY2(groups.contains(title), title);

        auto* popup = f.findChild<QMenu*>("SimpleDNSPopup");
        QVERIFY(popup);
        QStringList items;
        for (QAction* a : popup->actions())
            items << a->objectName() + "=" + a->text();
        QCOMPARE(items, QStringList({"Copy1=&Copy", "CopyAll1=Copy &All", "ClearAll1=C&lear All",
                                     "Stop1=&Stop"}));

        QCOMPARE(f.findChild<QTimer*>("Timer1")->interval(), 5000);
        QCOMPARE(f.findChild<QTimer*>("LookupResultsTimer")->interval(), 1000);
        QVERIFY(f.findChild<QTimer*>("Timer1")->isActive());
        QVERIFY(f.findChild<QTimer*>("LookupResultsTimer")->isActive());

        auto* dialog = f.findChild<QFileDialog*>("OpenDialog1");
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        QCOMPARE(dialog->nameFilters(),
                 QStringList({"All files (*)", "Text files (*.txt)", "Log files (*.log)",
                              "Compressed logs (*.gz *.bz2 *.xz *.zst)"}));
    }

    void controlsAreNamedForScreenReadersByTheirLabels() {
        TDNSForm& f = *scope->form;
        const std::pair<QWidget*, const char*> labelled[] = {
            {f.LookupSubject, "Enter the host name(s) or IP address(s) to lookup"},
            {f.LookupResultMemo, "Lookup results"},
            {f.InEdit, "Enter the names of the file(s) to be processed"},
        };
        for (const auto& [widget, name] : labelled) {
            QCOMPARE(widget->accessibleName(), QString(name));
            QStringList labels;
            for (const auto& [label, relation] :
                 QAccessible::queryAccessibleInterface(widget)->relations(QAccessible::Label))
                labels << label->text(QAccessible::Name);
            QVERIFY2(labels.contains(name), qPrintable(labels.join(" | ")));
        }
        const std::pair<QWidget*, const char*> captioned[] = {
            {f.LookupButton, "Lookup"},
            {f.StartButton, "Process"},
            {f.ExtendedInfo, "Show extended information"},
        };
        for (const auto& [widget, name] : captioned)
            QCOMPARE(QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name),
                     QString(name));
    }

    void initialStates() {
        TDNSForm& f = *scope->form;
        QCOMPARE(f.PageControl1->currentWidget(), f.SimpleDNS);
        QVERIFY(f.LookupButton->isEnabled());
        QVERIFY(f.LookupButton->isDefault());
        QVERIFY(!f.StartButton->isEnabled());
        QVERIFY(f.ExtendedInfo->isChecked());
        QCOMPARE(f.ProgressBar1->value(), 0);
        QCOMPARE(f.ProgressBar1->minimum(), 0);
        QCOMPARE(f.ProgressBar1->maximum(), 100);
        QCOMPARE(f.ProgressCaption(), MakerLine());
        // The version set in the build, in the maker's line and on the About page.
        QVERIFY(MakerLine().contains(" " HOSTMOOR_VERSION " "));
        QVERIFY(f.findChild<QPlainTextEdit*>("AboutText")
                    ->toPlainText()
                    .contains("\nHostmoor " HOSTMOOR_VERSION "\n"));
        QCOMPARE(f.LookupSubject->currentText(), QString(kDefaultHostName));
        QVERIFY(f.LookupResultMemo->isReadOnly());
        QCOMPARE(f.LookupResultMemo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        const QStringList rows = f.LookupResultMemo->toPlainText().split('\n');
        QCOMPARE(rows.size(), 14);
        QCOMPARE(rows[0], QString("Enter an IP address or a host name to lookup. "));
        QCOMPARE(rows[3], QString("for example enter \"205.50.10.*\" to look up "));
        QCOMPARE(rows[6], QString("last section of an address."));
        QCOMPARE(rows[13], QString("menu."));
        for (int empty : {1, 7, 11})
            QCOMPARE(rows[empty], QString());
        for (int blankEnded : {0, 2, 3, 4, 5, 8, 9, 12})
            QVERIFY2(rows[blankEnded].endsWith(' '), qPrintable(rows[blankEnded]));
        // Only the lookup page's button is a default button.
        for (auto* b : f.findChildren<QPushButton*>()) {
            if (b->window() != &f)
                continue; // the file dialog's own
            QVERIFY2(b == f.LookupButton || (!b->isDefault() && !b->autoDefault()),
                     qPrintable(b->objectName()));
        }
    }

    void focusFollowsThePage() {
        TDNSForm& f = *scope->form;
        QVERIFY(scope->HasFocus(f.LookupSubject));
        f.PageControl1->setCurrentIndex(1);
        QVERIFY(scope->HasFocus(f.InEdit));
        QVERIFY(!f.LookupButton->isDefault());
        f.PageControl1->setCurrentIndex(0);
        QVERIFY(scope->HasFocus(f.LookupSubject));
        f.PageControl1->setCurrentIndex(2);
        QCOMPARE(scope->Focused(), f.AboutPage);
        f.PageControl1->setCurrentIndex(3);
        QCOMPARE(scope->Focused(), f.AboutMaker);
    }

    void escapeClosesFromAnyPage() {
        TDNSForm& f = *scope->form;
        for (int page = 0; page < 4; ++page) {
            f.show();
            QApplication::setActiveWindow(&f);
            QVERIFY(QTest::qWaitForWindowActive(&f));
            f.PageControl1->setCurrentIndex(page);
            QVERIFY(f.isVisible());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            QVERIFY2(!f.isVisible(), qPrintable(QString::number(page)));
        }
    }

    void enterPressesLookupOnlyOnTheLookupPage() {
        TDNSForm& f = *scope->form;
        QSignalSpy lookups(f.LookupButton, &QPushButton::clicked);
        QSignalSpy starts(f.StartButton, &QPushButton::clicked);
        QSignalSpy browses(f.BrowseButton, &QPushButton::clicked);
        // Lookups go to the scripted resolver, which knows no name.
        QTest::keyClick(f.LookupSubject->lineEdit(), Qt::Key_Return);
        QCOMPARE(lookups.count(), 1);
        f.ExtendedInfo->setFocus();
        QTest::keyClick(f.ExtendedInfo, Qt::Key_Enter);
        QCOMPARE(lookups.count(), 2);
        f.LookupResultMemo->setFocus();
        QTest::keyClick(f.LookupResultMemo, Qt::Key_Return);
        QCOMPARE(lookups.count(), 3);

        f.PageControl1->setCurrentIndex(1);
        f.InEdit->setEditText("some.log");
        QVERIFY(f.StartButton->isEnabled());
        QTest::keyClick(f.InEdit->lineEdit(), Qt::Key_Return);
        f.BrowseButton->setFocus();
        QTest::keyClick(f.BrowseButton, Qt::Key_Return);
        QCOMPARE(lookups.count(), 3);
        QCOMPARE(starts.count(), 0);
        QCOMPARE(browses.count(), 0);
        QVERIFY(f.isVisible());
        QVERIFY(scope->WaitForWorkers());
    }

    void visitButtonShowsStatusOrFallsBackToAMessage() {
        TDNSForm& f = *scope->form;
        QString during;
        QString opened;
        f.OpenUrl = [&](const QString& url, std::function<void(bool)> done) {
            during = f.ProgressCaption();
            opened = url;
            done(true);
        };
        f.VisitMakerButton->click();
        QCOMPARE(during, QString(" Starting Web browser..."));
        QCOMPARE(opened, QString(kMakerAddress));
        QCOMPARE(f.ProgressCaption(), QString());
        QVERIFY(scope->messages.isEmpty());

        // A failure told at once, or once the browser's opener has ended, leaves the status as
        // it was.
        std::function<void(bool)> pending;
        for (const bool later : {false, true}) {
            f.SetProgressCaption(" before");
            f.OpenUrl = [&](const QString&, std::function<void(bool)> done) {
                if (later)
                    pending = done;
                else
                    done(false);
            };
            f.VisitMakerButton->click();
            if (later)
                pending(false);
            QCOMPARE(f.ProgressCaption(), QString(" before"));
        }
        const QString message =
            QString("Please start your Web browser and point\nit at ") + kMakerAddress;
        QCOMPARE(scope->messages, QStringList({message, message}));
    }

    void statusTextGoesToTheSecondPanel() {
        TDNSForm& f = *scope->form;
        f.SetProgressCaption(" Working...");
        QCOMPARE(f.StatusPanel1->text(), QString(" Working..."));
        f.SetProgressCaption("");
        QCOMPARE(f.StatusPanel1->text(), QString());
        QVERIFY(f.StatusPanel0->text().isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    ScriptedResolver resolver;
    std::unique_ptr<WindowScope> scope;
};

QTEST_MAIN(FormTest)
#include "FormTest.moc"
