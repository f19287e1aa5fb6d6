#include "FormTexts.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>

using namespace hostmoor;
using namespace hostmoor::test;

namespace {

void Enter(TDNSForm& form, QComboBox* box, const QString& text) {
    box->setEditText(text);
    form.AddToDropdownList(box);
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() {
        scope.reset();
        dir.reset();
    }

    void nativeStoreLivesInTheUsersConfigFolder() {
        SettingsStore store;
        QCOMPARE(store.FileName(),
                 qEnvironmentVariable("XDG_CONFIG_HOME") + "/Brightfold/Hostmoor.conf");
    }

    void firstRunWithNothingStored() {
        Open();
        TDNSForm& f = *scope->form;
        QCOMPARE(f.LookupSubject->count(), 0);
        QCOMPARE(f.InEdit->count(), 0);
        QCOMPARE(f.LookupSubject->currentText(), QString(kDefaultHostName));
        QVERIFY(f.ExtendedInfo->isChecked());
        QVERIFY(scope->engine.ShowExtendedInfo);
        QCOMPARE(f.PageControl1->currentIndex(), 0);
        f.FormDestroy();

        QSettings stored(File(), QSettings::IniFormat);
        QVERIFY(!stored.contains("General/MaxSavedDropDownCount"));
        for (const char* box : {"LookupSubject", "InEdit"})
            for (int n = 0; n < 8; ++n) {
                const QString key = QString("Query History/%1 %2").arg(box).arg(n);
                QVERIFY2(stored.contains(key), qPrintable(key));
                QCOMPARE(stored.value(key).toString(), QString());
            }
        QVERIFY(!stored.contains("Query History/LookupSubject 8"));
        QCOMPARE(stored.value("General/ShowExtendedInfo").toString(), QString("1"));
        QCOMPARE(stored.value("General/ActiveTab").toString(), QString("0"));
    }

    void historyIgnoresCaseAndMovesEntriesToTheTop() {
        Open();
        TDNSForm& f = *scope->form;
        Enter(f, f.LookupSubject, "b");
        Enter(f, f.LookupSubject, "a");
        Enter(f, f.LookupSubject, "B");
        QCOMPARE(Items(f.LookupSubject), QStringList({"B", "a"}));
        Enter(f, f.LookupSubject, "A");
        QCOMPARE(Items(f.LookupSubject), QStringList({"A", "B"}));
        Enter(f, f.LookupSubject, "a"); // found at the top: nothing changes
        QCOMPARE(Items(f.LookupSubject), QStringList({"A", "B"}));
        Enter(f, f.LookupSubject, "");
        QCOMPARE(f.LookupSubject->count(), 2);
    }

    void theLimitDropsTheOldestEntry() {
        Open();
        TDNSForm& f = *scope->form;
        for (int i = 1; i <= 9; ++i)
            Enter(f, f.InEdit, QString("e%1").arg(i));
        QCOMPARE(Items(f.InEdit), QStringList({"e9", "e8", "e7", "e6", "e5", "e4", "e3", "e2"}));
    }

    void storedLimitIsConverted_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("limit");
        QTest::newRow("0x3") << "0x3" << 3;
        QTest::newRow("abc") << "abc" << 8;
        QTest::newRow("trailing blank") << "12 " << 8;
        QTest::newRow("empty") << "" << 8;
        QTest::newRow("leading blanks") << "  12" << 12;
        QTest::newRow("$1F") << "$1F" << 31;
        QTest::newRow("0X1f") << "0X1f" << 31;
        QTest::newRow("0x alone") << "0x" << 8;
        QTest::newRow("bad hex") << "0x1G" << 8;
        QTest::newRow("signs") << "-5" << -5;
        QTest::newRow("plus") << "+7" << 7;
        QTest::newRow("too big") << "99999999999" << 8;
        QTest::newRow("negative hex") << "-$10" << -16;
    }
    void storedLimitIsConverted() {
        QFETCH(QString, stored);
        QFETCH(int, limit);
        Open([&](SettingsStore& s) { s.WriteText("General", "MaxSavedDropDownCount", stored); });
        QCOMPARE(scope->settings->MaxSavedDropDownCount, limit);
    }

    void lookupsInFlightAreBounded() {
        for (const auto& [stored, limit] :
             std::vector<std::pair<QString, int>>{{"", TLookupPool::kAutomatic},
                                                  {"8", 8},
                                                  {"0", TLookupPool::kAutomatic},
                                                  {"-3", 1},
                                                  {"5000", 1024},
                                                  {"x", TLookupPool::kAutomatic}}) {
            Open([&](SettingsStore& s) {
                if (!stored.isEmpty())
                    s.WriteText("General", "MaxLookupsInFlight", stored);
            });
            QCOMPARE(scope->engine.LookupPool.Limit(), limit);
            scope.reset();
        }
    }

    void limitZeroKeepsNothing() {
        Open([](SettingsStore& s) {
            s.WriteText("General", "MaxSavedDropDownCount", "0");
            s.WriteText("Query History", "LookupSubject 0", "x");
            s.WriteText("Query History", "LookupSubject 1", "y");
        });
        TDNSForm& f = *scope->form;
        QCOMPARE(Items(f.LookupSubject), QStringList({"x", "y"}));
        Enter(f, f.LookupSubject, "new");
        QCOMPARE(Items(f.LookupSubject), QStringList({"x", "y"}));
        Enter(f, f.LookupSubject, "Y");
        QCOMPARE(Items(f.LookupSubject), QStringList({"Y", "x"}));
        QFile::remove(File());
        f.FormDestroy();
        QSettings stored(File(), QSettings::IniFormat);
        QVERIFY(!stored.contains("Query History/LookupSubject 0"));
        QVERIFY(!stored.contains("Query History/InEdit 0"));
    }

    void limitThreeAfterEightSavedEntries() {
        Open([](SettingsStore& s) {
            s.WriteText("General", "MaxSavedDropDownCount", "3");
            for (int n = 0; n < 8; ++n)
                s.WriteText("Query History", QString("InEdit %1").arg(n), QString("old%1").arg(n));
        });
        TDNSForm& f = *scope->form;
        QCOMPARE(f.InEdit->count(), 8);
        QCOMPARE(f.InEdit->currentText(), QString()); // the text is not touched
        Enter(f, f.InEdit, "new");
        QCOMPARE(Items(f.InEdit),
                 QStringList({"new", "old0", "old1", "old3", "old4", "old5", "old6", "old7"}));
        f.FormDestroy();
        QSettings stored(File(), QSettings::IniFormat);
        const QStringList expected{"new", "old0", "old1", "old3", "old4", "old5", "old6", "old7"};
        for (int n = 0; n < 8; ++n)
            QCOMPARE(stored.value(QString("Query History/InEdit %1").arg(n)).toString(),
                     n < 3 ? expected[n] : QString("old%1").arg(n));
    }

    void activeTabIsRestored_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("page");
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("-2") << "-2" << 0;
        QTest::newRow("x") << "x" << 0;
        QTest::newRow("number of pages") << "4" << 0;
        QTest::newRow("beyond") << "7" << 3;
    }
    void activeTabIsRestored() {
        QFETCH(QString, stored);
        QFETCH(int, page);
        Open([&](SettingsStore& s) { s.WriteText("General", "ActiveTab", stored); });
        scope->form->show();
        QApplication::setActiveWindow(scope->form.get());
        QVERIFY(QTest::qWaitForWindowActive(scope->form.get()));
        QCOMPARE(scope->form->PageControl1->currentIndex(), page);
        if (page == 1)
            QVERIFY(scope->HasFocus(scope->form->InEdit));
        scope->form->FormDestroy();
        QCOMPARE(QSettings(File(), QSettings::IniFormat).value("General/ActiveTab").toString(),
                 QString::number(page));
    }

    // The rewrite page's options: off unless stored, read as switches, saved as clicked.
    void rewriteOptionsAreRestoredAndSaved_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored"); // a null text: nothing stored
        QTest::addColumn<bool>("on");
        for (const char* name : {"ResolveIPv6", "RememberAnswers"}) {
            QTest::addRow("%s missing", name) << name << QString() << false;
            QTest::addRow("%s 1", name) << name << "1" << true;
            QTest::addRow("%s 0", name) << name << "0" << false;
            QTest::addRow("%s 0x1", name) << name << "0x1" << true;
            QTest::addRow("%s yes", name) << name << "yes" << false;
        }
    }
    void rewriteOptionsAreRestoredAndSaved() {
        QFETCH(QString, name);
        QFETCH(QString, stored);
        QFETCH(bool, on);
        Open([&](SettingsStore& s) {
            if (!stored.isNull())
                s.WriteText("General", name, stored);
        });
        auto* box = scope->form->findChild<QCheckBox*>(name);
        QVERIFY(box);
        std::atomic<bool>& flag =
            name == "ResolveIPv6" ? scope->engine.ResolveIPv6 : scope->engine.RememberAnswers;
        QCOMPARE(box->isChecked(), on);
        QCOMPARE(flag.load(), on);
        box->click();
        QCOMPARE(flag.load(), !on);
        scope->form->FormDestroy();
        QSettings saved(File(), QSettings::IniFormat);
        QCOMPARE(saved.value("General/" + name).toString(), QString(on ? "0" : "1"));
    }

    void missingAndMarkedEntriesAreSkipped() {
        Open([](SettingsStore& s) {
            s.WriteText("Query History", "LookupSubject 0", "first");
            s.WriteText("Query History", "LookupSubject 1", "!!NO_DATA");
            s.WriteText("Query History", "LookupSubject 3", "");
            for (int n = 4; n < 10; ++n)
                s.WriteText("Query History", QString("LookupSubject %1").arg(n),
                            QString("e%1").arg(n));
            s.WriteText("General", "ShowExtendedInfo", "0");
        });
        TDNSForm& f = *scope->form;
        QCOMPARE(Items(f.LookupSubject), QStringList({"first", "e4", "e5", "e6", "e7"}));
        QCOMPARE(f.LookupSubject->currentText(), QString()); // a history: no default host
        QVERIFY(!f.LookupButton->isEnabled());               // nothing to look up
        QVERIFY(!f.ExtendedInfo->isChecked());
        QVERIFY(!scope->engine.ShowExtendedInfo);
    }

    void storeReadsWhatIsStoredNow() {
        SettingsStore store(File());
        store.WriteText("General", "x", "1");
        QCOMPARE(store.ReadNumber("General", "x", 5), 1);
        QCOMPARE(store.ReadNumber("General", "missing", 5), 5);
        QVERIFY(store.ReadSwitch("General", "missing", true));
        QVERIFY(!store.ReadSwitch("General", "missing", false));
        store.WriteSwitch("General", "s", false);
        QVERIFY(!store.ReadSwitch("General", "s", true));
        store.WriteNumber("General", "n", -42);
        QCOMPARE(store.ReadText("General", "n", ""), QString("-42"));
        // Another writer changes the file: the next read sees it.
        QFile file(File());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[%General]\nx=27\ny=\"a, b\"\nlist=a, b\n");
        file.close();
        QCOMPARE(store.ReadNumber("General", "x", 5), 27);
        QCOMPARE(store.ReadText("General", "y", ""), QString("a, b"));
        QVERIFY_THROWS_EXCEPTION(SettingsError, store.ReadText("General", "list", ""));
        try {
            store.ReadText("General", "list", "");
        } catch (const SettingsError& e) {
            QCOMPARE(QString(e.what()), QString("Invalid data type for 'list'"));
        }
    }

    void storeThatCannotBeWrittenGivesItsErrorText() {
        QFile blocker(dir->path() + "/file");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsStore noFolder(dir->path() + "/file/settings.conf");
        try {
            noFolder.WriteText("General", "ActiveTab", "1");
            QFAIL("no error");
        } catch (const SettingsError& e) {
            QCOMPARE(QString(e.what()), "Failed to create key General in " + dir->path() +
                                            "/file/settings.conf: Not a directory");
        }
        QVERIFY(QDir(dir->path()).mkdir("folder.conf"));
        SettingsStore aFolder(dir->path() + "/folder.conf");
        try {
            aFolder.WriteText("General", "ActiveTab", "1");
            QFAIL("no error");
        } catch (const SettingsError& e) {
            QCOMPARE(QString(e.what()), "Failed to set data for 'ActiveTab' in " + dir->path() +
                                            "/folder.conf: Is a directory");
        }
    }

    void aSaveReachesTheFileOnceAndHistoriesStayBounded() {
        Open([](SettingsStore& s) { s.WriteText("General", "MaxSavedDropDownCount", "2000000"); });
        Enter(*scope->form, scope->form->InEdit, "a.log");
        SettingsStore& store = *scope->settings;
        store.BeginSave();
        store.WriteText("General", "early", "1");
        auto onDisk = [this] {
            QFile file(File());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QVERIFY(!onDisk().contains("early"));
        store.EndSave();
        QVERIFY(onDisk().contains("early=1"));

        scope->form->FormDestroy();
        QSettings stored(File(), QSettings::IniFormat);
        QCOMPARE(stored.value("Query History/InEdit 0").toString(), QString("a.log"));
        QVERIFY(stored.contains("Query History/LookupSubject 999"));
        QVERIFY(!stored.contains("Query History/LookupSubject 1000"));
        QVERIFY(!stored.contains("Query History/InEdit 1000"));
    }

    void aFileWithLinesThatCannotBeReadIsReadAsFarAsItCanAndSavedWhole() {
        QFile file(File());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[%General]\nActiveTab=1\n[unterminated\n\xff\xfe\x01garbage\n"
                   "[Query%20History]\nLookupSubject%200=kept\n");
        file.close();
        Open();
        TDNSForm& f = *scope->form;
        QCOMPARE(f.PageControl1->currentIndex(), 1);
        QCOMPARE(Items(f.LookupSubject), QStringList({"kept"}));
        Enter(f, f.InEdit, "new.log");
        f.ExtendedInfo->click();
        f.FormDestroy(); // no error
        QSettings stored(File(), QSettings::IniFormat);
        QCOMPARE(stored.value("Query History/LookupSubject 0").toString(), QString("kept"));
        QCOMPARE(stored.value("Query History/InEdit 0").toString(), QString("new.log"));
        QCOMPARE(stored.value("Query History/InEdit 7").toString(), QString());
        QCOMPARE(stored.value("General/ShowExtendedInfo").toString(), QString("0"));
        QCOMPARE(stored.value("General/ActiveTab").toString(), QString("1"));
    }

private:
    QString File() const { return dir->path() + "/settings.conf"; }
    void Open(const std::function<void(SettingsStore&)>& prepare = {}) {
        scope = std::make_unique<WindowScope>(dir->path(), prepare);
        scope->form->FormCreate();
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<WindowScope> scope;
};

int main(int argc, char** argv) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    SettingsTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "SettingsTest.moc"
