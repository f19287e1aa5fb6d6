#include "AnswerStore.h"
#include "Compression.h"
#include "Resolver.h"
#include "RevLookup.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/mount.h>
#include <unistd.h>

using namespace hostmoor;
using namespace hostmoor::test;

namespace {

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Files whose names are bytes that are not text, which QFile cannot name.
bool WriteRaw(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QByteArray Compressed(Compression format, const QByteArray& text) {
    std::string out;
    const auto encoder = MakeEncoder(format);
    encoder->Encode(text.toStdString(), out);
    encoder->Finish(out);
    return QByteArray::fromStdString(out);
}

QByteArray Decompressed(Compression format, const QByteArray& data) {
    const auto decoder = MakeDecoder(format);
    QByteArray out;
    char buffer[4096];
    std::string_view in(data.constData(), data.size());
    try {
        for (CodecStep step; !in.empty() || step.Written > 0;) {
            step = decoder->Decode(in, buffer, sizeof buffer, true);
            in.remove_prefix(step.Read);
            out.append(buffer, step.Written);
        }
    } catch (const DamagedData& e) {
        return e.what();
    }
    return out;
}

QByteArray ReadRaw(const QByteArray& path) {
    QByteArray bytes(4096, '\0');
    const int fd = ::open(path.constData(), O_RDONLY);
    const ssize_t n = fd >= 0 ? ::read(fd, bytes.data(), bytes.size()) : -1;
    ::close(fd);
    return n >= 0 ? bytes.left(n) : QByteArray("<missing>");
}

} // namespace

class RewritePageTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        resolver = std::make_unique<ScriptedResolver>();
        resolver->Answer("10.0.0.1", ScriptedResolver::Record("one.test", {"10.0.0.1"}));
        scope = std::make_unique<WindowScope>(dir->path(), nullptr, resolver.get());
        QVERIFY(scope->Show());
        form = scope->form.get();
        form->PageControl1->setCurrentIndex(1);
        finished = 0;
        auto notice = scope->engine.ThreadManager.OnAllFileJobsFinished;
        scope->engine.ThreadManager.OnAllFileJobsFinished = [this, notice] {
            ++finished;
            notice();
        };
    }
    void cleanup() {
        resolver->OpenGate();
        scope.reset();
        resolver.reset();
        // Names that are not text are beyond QDir: the folder goes by its bytes.
        std::error_code error;
        std::filesystem::remove_all(QFile::encodeName(dir->path()).toStdString(), error);
        dir.reset();
    }

    void browseEntersEachChosenFileAndCancelChangesNothing() {
        const QString a = Make("a.log", "x\n");
        const QString b = Make("My Logs.log", "x\n");
        form->RunOpenDialog = [&](QFileDialog& dialog) {
            opened = dialog.fileMode() == QFileDialog::ExistingFiles;
            return QStringList({a, b});
        };
        form->BrowseButton->click();
        QVERIFY(opened);
        QCOMPARE(form->InEdit->currentText(), a + " \"" + b + "\" ");
        QVERIFY(form->StartButton->isEnabled());
        form->RunOpenDialog = [](QFileDialog&) { return QStringList(); };
        form->BrowseButton->click();
        QCOMPARE(form->InEdit->currentText(), a + " \"" + b + "\" ");
        QVERIFY(form->StartButton->isEnabled());
        // The quoted path reaches the worker whole.
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/My Logs.rdns"), QByteArray("x\r\n"));
        QVERIFY(scope->messages.isEmpty());
    }

    // Over the file box or elsewhere on the page, as a file manager drops them.
    void droppedFilesAreTakenAsBrowseTakesThem() {
        const QString a = Make("a.log", "x\n");
        const QString b = Make("My Logs.log", "x\n");
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
        QMimeData web;
        web.setUrls({QUrl::fromLocalFile(a), QUrl("https://www.brightfold.example/a.log")});
        QMimeData folder;
        folder.setUrls({QUrl::fromLocalFile(dir->path())});
        QMimeData text;
        text.setText(a);
        for (QWidget* over : std::initializer_list<QWidget*>{form->InEdit, form->StartButton}) {
            form->InEdit->setEditText("");
            for (const QMimeData* refused : {&web, &folder, &text})
                QVERIFY(!Drop(over, *refused));
            QCOMPARE(form->InEdit->currentText(), QString());
            QVERIFY(Drop(over, files));
            QCOMPARE(form->InEdit->currentText(), a + " \"" + b + "\" ");
            QVERIFY(form->StartButton->isEnabled());
        }
        // The open dialog starts in the folder last used, also at the next start.
        QVERIFY(QDir(dir->path()).mkdir("sub"));
        const QString c = Make("sub/c.log", "x\n");
        form->RunOpenDialog = [&](QFileDialog& dialog) {
            folderShown = dialog.directory().absolutePath();
            return QStringList({c});
        };
        form->BrowseButton->click();
        QCOMPARE(folderShown, dir->path());
        form->BrowseButton->click();
        QCOMPARE(folderShown, dir->path() + "/sub");
        form->FormDestroy();
        const auto choose = form->RunOpenDialog;
        scope = std::make_unique<WindowScope>(dir->path(), nullptr, resolver.get());
        QVERIFY(scope->Show());
        form = scope->form.get();
        form->RunOpenDialog = choose;
        form->BrowseButton->click();
        QCOMPARE(folderShown, dir->path() + "/sub");
    }

    void upperCaseNamesAreKeptAndFound() {
        const QString in = Make("Access.LOG", "10.0.0.1 - GET\n");
        const QString typed = in + " ";
        form->InEdit->setEditText(typed);
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/Access.rdns"), QByteArray("one.test - GET\r\n"));
        QCOMPARE(Items(form->InEdit), QStringList({typed}));
        QCOMPARE(form->InEdit->currentText(), typed);
        QVERIFY(scope->messages.isEmpty());
    }

    void missingNamesAreReportedAndTheRestProcessed() {
        resolver->CloseGate();
        const QString a = Make("a.log", "10.0.0.1\n");
        const QString missing = dir->path() + "/missing.log";
        form->InEdit->setEditText(a + " " + missing);
        form->StartButton->click();
        QCOMPARE(scope->messages, QStringList({missing + " does not exist."}));
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 1);
        QCOMPARE(form->ProgressCaption(), QString(" Working..."));
        QCOMPARE(form->StartButton->text(), QString("St&op"));
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
        QVERIFY(form->StartButton->isEnabled());
        QCOMPARE(finished, 1);
    }

    void onlyMissingNamesStartNothing() {
        form->SetProgressCaption(" before");
        QVERIFY(QDir(dir->path()).mkdir("folder"));
        const QString text = dir->path() + "/x.log " + dir->path() + "/folder";
        form->InEdit->setEditText(text);
        form->StartButton->click();
        QCOMPARE(scope->messages, QStringList({dir->path() + "/x.log does not exist.",
                                               dir->path() + "/folder does not exist."}));
        QCOMPARE(scope->engine.ThreadManager.ThreadCount(), 0);
        QCOMPARE(form->ProgressCaption(), QString(" before"));
        QVERIFY(form->StartButton->isEnabled());
        QCOMPARE(Items(form->InEdit), QStringList({text}));
    }

    void outputsNeverEmptyOrReplaceAnInput() {
        const QString rdns = Make("old.rdns", "keep me\n");
        const QString a = Make("a.log", "a 10.0.0.1\n");
        Run(rdns);
        // A refusal is told once the files taken, also those named after it, are being
        // rewritten.
        QString button;
        int jobs = 0;
        const auto show = form->ShowMessage;
        form->ShowMessage = [&](const QString& text) {
            button = form->StartButton->text();
            jobs = scope->engine.ThreadManager.FileJobCount();
            show(text);
        };
        const QString x = Make("x.log", "x data\n");
        Run(a + " " + a + " " + x);
        QCOMPARE(button, QString("St&op"));
        QCOMPARE(jobs, 2);
        form->ShowMessage = show;
        const QString c = Make("c", "c data\n");
        QVERIFY(QFile::link(c, dir->path() + "/c.rdns")); // output is the input by another name
        Run(c);
        const QString e = Make("e.log", "e data\n");
        const QString f = Make("f.log", "f data\n");
        QVERIFY(QFile::link(f, dir->path() + "/e.rdns")); // output is another input
        Run(f + " " + e);
        const QString g = Make("g.log", "g data\n");
        const QString h = Make("h.log", "h data\n");
        QCOMPARE(::link(QFile::encodeName(h).constData(),
                        QFile::encodeName(dir->path() + "/g.rdns").constData()),
                 0); // output is a later input
        Run(g + " " + h);
        QCOMPARE(scope->messages.size(), 5);
        QVERIFY2(scope->messages[0].startsWith(rdns + " is not processed: ") &&
                     scope->messages[0].contains("same name"),
                 qPrintable(scope->messages[0]));
        QVERIFY2(scope->messages[1].startsWith(a + " is not processed: it is named more than once"),
                 qPrintable(scope->messages[1]));
        QVERIFY2(scope->messages[2].startsWith(c + " is not processed: ") &&
                     scope->messages[2].contains("the file itself"),
                 qPrintable(scope->messages[2]));
        QVERIFY2(scope->messages[3].startsWith(e + " is not processed: "),
                 qPrintable(scope->messages[3]));
        QCOMPARE(Read(rdns), QByteArray("keep me\n"));
        QCOMPARE(Read(a), QByteArray("a 10.0.0.1\n"));
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("a one.test\r\n"));
        QCOMPARE(Read(c), QByteArray("c data\n"));
        QCOMPARE(Read(e), QByteArray("e data\n"));
        QCOMPARE(Read(f), QByteArray("f data\n"));
        QVERIFY2(scope->messages[4].startsWith(g + " is not processed: "),
                 qPrintable(scope->messages[4]));
        QCOMPARE(Read(h), QByteArray("h data\n"));
        QCOMPARE(Read(dir->path() + "/h.rdns"), QByteArray("h data\r\n"));
    }

    void aFileBeingRewrittenIsRefused() {
        resolver->CloseGate();
        const QString a = Make("a.log", "10.0.0.1\n");
        form->InEdit->setEditText(a);
        form->StartButton->click();
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 1);
        form->InEdit->setEditText(a + " ");
        form->StartButtonClick(); // the button is Stop now; its handler still checks
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 1);
        QCOMPARE(scope->messages.size(), 1);
        QVERIFY2(scope->messages[0].contains("still running"), qPrintable(scope->messages[0]));
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("one.test\r\n"));
    }

    void progressIsTheTruncatedPercentage() {
        form->SetProgressCaption(" idle");
        scope->engine.TotalBytes = 1000;
        scope->engine.ProcessedBytes = 999;
        form->Timer1Timer(); // no file job: nothing changes
        QCOMPARE(form->ProgressCaption(), QString(" idle"));

        resolver->CloseGate();
        form->InEdit->setEditText(Make("a.log", "10.0.0.1\n"));
        form->StartButton->click();
        QTRY_COMPARE(resolver->Blocked(), 1);
        scope->engine.TotalBytes = 0;
        form->Timer1Timer();
        QCOMPARE(form->ProgressCaption(), QString(" Working..."));
        scope->engine.TotalBytes = 1000;
        scope->engine.ProcessedBytes = 999;
        form->Timer1Timer();
        QCOMPARE(form->ProgressBar1->value(), 99);
        QCOMPARE(form->ProgressCaption(), QString(" Working (99% complete)..."));
        scope->engine.ProcessedBytes = 5000;
        form->Timer1Timer();
        QCOMPARE(form->ProgressCaption(), QString(" Working (100% complete)..."));
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(form->ProgressBar1->value(), 0);
    }

    void twoFilesGiveOneFinished() {
        resolver->CloseGate();
        const QString a = Make("a.log", "10.0.0.1 a\n");
        const QString b = Make("b.log", "10.0.0.1 b\n");
        form->InEdit->setEditText(a + " " + b);
        form->StartButton->click();
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 2);
        QTRY_COMPARE(scope->engine.TotalBytes.load(), QFile(a).size() + QFile(b).size());
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(finished, 1);
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
    }

    void stopEndsTheBatchAndNamesTheIncompleteOutput() {
        resolver->CloseGate();
        const QString a = Make("a.log", "first\n10.0.0.1 a\nlast\n");
        const QString b = Make("b.log", "no address in b\n");
        form->InEdit->setEditText(a + " " + b);
        form->StartButton->click();
        QCOMPARE(form->StartButton->text(), QString("St&op"));
        QTRY_COMPARE(scope->engine.ThreadManager.FileJobCount(), 1); // b is done
        QTRY_COMPARE(Read(dir->path() + "/a.rdns"), QByteArray("first\r\n"));
        form->InEdit->setEditText(""); // editing leaves Stop as it is
        QVERIFY(form->StartButton->isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
        QTRY_COMPARE(form->ProgressCaption(), QString(" Stopped. Incomplete: a.rdns"));
        QVERIFY(form->StatusPanel1->toolTip().contains(dir->path() + "/a.rdns"));
        QCOMPARE(form->StartButton->text(), QString("&Process"));
        QVERIFY(form->StartButton->isEnabled());
        QCOMPARE(finished, 1);
        QCOMPARE(Read(dir->path() + "/b.rdns"), QByteArray("no address in b\r\n"));
        // Process starts a batch again.
        resolver->OpenGate();
        Run(a);
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("first\r\none.test a\r\nlast\r\n"));
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
    }

    // Outputs a stop cut short are named in the order they were given, the status text ending
    // in an ellipsis where they do not fit and the tool tip whole.
    void incompleteOutputsAreNamedInTheirOrder() {
        resolver->CloseGate();
        QStringList names;
        for (const char* name : {"webserver-c", "webserver-a", "webserver-b"})
            names << Make(QString(name) + ".log",
                          QString("10.0.0.%1\n").arg(names.size() + 1).toUtf8());
        form->InEdit->setEditText(names.join(' '));
        form->StartButton->click();
        QTRY_COMPARE(resolver->Blocked(), 3);
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(form->ProgressCaption(),
                 QString(" Stopped. Incomplete: webserver-c.rdns, webserver-a.rdns, "
                         "webserver-b.rdns"));
        QVERIFY(form->StatusPanel1->text().endsWith(QChar(0x2026)));
        const QString path = dir->path() + "/webserver-";
        QCOMPARE(form->StatusPanel1->toolTip(),
                 QString("Incomplete:\n%1c.rdns\n%1a.rdns\n%1b.rdns").arg(path));
    }

    // A double click on Process starts the batch; its second click is not one on Stop.
    void aDoubleClickOnProcessDoesNotStopTheBatch() {
        resolver->CloseGate();
        form->InEdit->setEditText(Make("a.log", "10.0.0.1\n"));
        // As a window system gives it: a click, then a double click's press and a release.
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QTest::mouseDClick(form->StartButton, Qt::LeftButton);
        QTest::mouseRelease(form->StartButton, Qt::LeftButton);
        QCOMPARE(form->StartButton->text(), QString("St&op"));
        resolver->OpenGate();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("one.test\r\n"));
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
        // Nor is the second click of a double click on Stop one on Process, once the batch
        // has ended.
        resolver->CloseGate();
        form->InEdit->setEditText(Make("b.log", "10.0.0.2\n"));
        form->StartButton->click();
        QTest::mouseClick(form->StartButton, Qt::LeftButton);
        QTRY_COMPARE(form->StartButton->text(), QString("&Process"));
        QTest::mouseDClick(form->StartButton, Qt::LeftButton);
        QTest::mouseRelease(form->StartButton, Qt::LeftButton);
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 0);
        QCOMPARE(form->ProgressCaption(), QString(" Stopped. Incomplete: b.rdns"));
    }

    // On the rewrite page Alt+B is Browse's, not the About Brightfold page's; an Alt key that
    // is no control's types nothing into the file box.
    void altKeysOnTheRewritePage() {
        form->RunOpenDialog = [&](QFileDialog&) {
            opened = true;
            return QStringList();
        };
        form->InEdit->setEditText("a.log");
        form->InEdit->setFocus();
        QTest::keyClick(form->InEdit, Qt::Key_X, Qt::AltModifier); // as the window system gives it
        QTest::keyClick(form->InEdit->lineEdit(), Qt::Key_X, Qt::AltModifier);
        QCOMPARE(form->InEdit->currentText(), QString("a.log"));
        QTest::keyClick(form->InEdit->lineEdit(), Qt::Key_B, Qt::AltModifier);
        QTRY_VERIFY(opened);
        QCOMPARE(form->PageControl1->currentWidget(), form->AdvancedDNS);
    }

    // The question on closing is answered by the end of the batch: the window closes.
    void theEndOfTheBatchAnswersTheQuestionOnClosing() {
        form->AskQuestion = [this](const QString& text) { return form->AskQuestionBox(text); };
        resolver->CloseGate();
        form->InEdit->setEditText(Make("a.log", "10.0.0.1\n"));
        form->StartButton->click();
        bool asked = false;
        QTimer::singleShot(0, form, [&] {
            asked = QApplication::activeModalWidget() != nullptr;
            resolver->OpenGate();
        });
        // A box left open is closed after a while, so that a failure does not hang the suite.
        QTimer::singleShot(10000, form, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
        });
        form->CloseButton->click();
        QVERIFY(asked);
        QVERIFY(!form->isVisible());
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("one.test\r\n"));
    }

    // Escape, Close and the window's own close control all ask.
    void closingDuringABatchAsksFirst() {
        resolver->CloseGate();
        const QString a = Make("a.log", "10.0.0.1\n");
        form->InEdit->setEditText(a);
        form->StartButton->click();
        scope->answer = false;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QCOMPARE(scope->questions.size(), 1);
        QVERIFY(form->isVisible());
        resolver->OpenGate(); // the batch was left to run to its end
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/a.rdns"), QByteArray("one.test\r\n"));

        resolver->CloseGate();
        form->InEdit->setEditText(Make("b.log", "10.0.0.2\n")); // an address not yet known
        form->StartButton->click();
        QTRY_COMPARE(resolver->Blocked(), 1);
        scope->answer = true;
        form->CloseButton->click();
        QCOMPARE(scope->questions.size(), 2);
        QVERIFY(!form->isVisible());
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(form->ProgressCaption(), QString(" Stopped. Incomplete: b.rdns"));
        // Without a batch, nothing is asked.
        form->show();
        form->close();
        QCOMPARE(scope->questions.size(), 2);
    }

    void aFailedRewriteIsReportedAfterItEnds() {
        // A file system of 1 MiB of our own, in the test environment's mount namespace.
        if (!InTestDns())
            QSKIP(qPrintable(QString::fromStdString(TestDnsSkipReason())));
        QVERIFY(QDir(dir->path()).mkdir("small"));
        const QByteArray small = QFile::encodeName(dir->path() + "/small");
        QCOMPARE(::mount("tmpfs", small.constData(), "tmpfs", 0, "size=1m"), 0);
        // An input that fits, beside an output that grows past the space left.
        Make("small/a.log", QByteArray("10.0.0.1 10.0.0.1 10.0.0.1\n").repeated(22000));
        form->InEdit->setEditText(dir->path() + "/small/a.log");
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QTRY_COMPARE(scope->messages.size(), 1);
        const QByteArray out = Read(dir->path() + "/small/a.rdns");
        ::umount(small.constData());
        QVERIFY2(scope->messages[0].startsWith(dir->path() + "/small/a.log was not rewritten "
                                                             "completely:\n") &&
                     scope->messages[0].contains("No space left"),
                 qPrintable(scope->messages[0]));
        QCOMPARE(form->ProgressCaption(), QString(" Finished. Incomplete: a.rdns"));
        QVERIFY(out.size() > 300000);
        QVERIFY(out.endsWith("one.test one.test one.test\r\n")); // ends on a complete line
    }

    void anOutputInTheWayIsRefusedBeforeAnythingStarts() {
        const QString a = Make("a.log", "10.0.0.1\n");
        QVERIFY(QDir(dir->path()).mkdir("a.rdns"));
        const QString s = Make("s.log", "10.0.0.1\n");
        const QString other = Make("other.txt", "keep me\n");
        QVERIFY(QFile::link(other, dir->path() + "/s.rdns"));
        Run(a + " " + s);
        QCOMPARE(scope->messages, QStringList({a + " is not processed: its output " + dir->path() +
                                                   "/a.rdns is not a regular file.",
                                               s + " is not processed: its output " + dir->path() +
                                                   "/s.rdns is a symbolic link."}));
        QCOMPARE(Read(other), QByteArray("keep me\n"));
        QCOMPARE(scope->engine.ThreadManager.FileJobCount(), 0);
    }

    void aChosenFileIsTheFileThatIsRewritten() {
        // Names that need quoting, escaping, or bytes that are not text.
        const QString odd = Make("my\"odd\".log", "10.0.0.1 odd\n");
        Make("x.log", "plain x\n");
        const QString blank = Make("x.log ", "10.0.0.1 blank\n");
        const QByteArray latin = QFile::encodeName(dir->path()) + "/caf\xE9.log";
        QVERIFY(WriteRaw(latin, "10.0.0.1 latin\n"));
        // The dialog shows (and gives back) the Latin-1 name with a replacement character.
        form->RunOpenDialog = [&](QFileDialog&) {
            return QStringList({odd, blank, QFile::decodeName(latin)});
        };
        form->BrowseButton->click();
        QCOMPARE(form->InEdit->currentText(), "\"" + dir->path() + "/my\\\"odd\\\".log\" \"" +
                                                  dir->path() + "/x.log \" \"" + dir->path() +
                                                  "/caf\\xE9.log\" ");
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QVERIFY2(scope->messages.isEmpty(), qPrintable(scope->messages.join('\n')));
        QCOMPARE(Read(dir->path() + "/my\"odd\".rdns"), QByteArray("one.test odd\r\n"));
        QCOMPARE(Read(dir->path() + "/x.rdns"), QByteArray("one.test blank\r\n"));
        QCOMPARE(ReadRaw(QFile::encodeName(dir->path()) + "/caf\xE9.rdns"),
                 QByteArray("one.test latin\r\n"));
        // A missing name of the kind is reported exactly.
        Run("\"" + dir->path() + "/gone\\xE9.log\"");
        QCOMPARE(scope->messages, QStringList({dir->path() + "/gone\\xE9.log does not exist."}));
    }

    void theIPv6BoxDecidesWhetherIPv6AddressesAreReplaced() {
        resolver->Answer("2001:db8::6", ScriptedResolver::Record("six.test", {"2001:db8::6"}));
        const QString log = Make("v6.log", "[2001:DB8::6]:443 10.0.0.1\n");
        for (const bool on : {false, true}) {
            if (form->ResolveIPv6->isChecked() != on) // its shortcut clicks it, animated
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_6, Qt::AltModifier);
            QTRY_COMPARE(form->ResolveIPv6->isChecked(), on);
            Run(log);
            QCOMPARE(Read(dir->path() + "/v6.rdns"),
                     on ? QByteArray("[six.test]:443 one.test\r\n")
                        : QByteArray("[2001:DB8::6]:443 one.test\r\n"));
        }
    }

    // Ticked, the box keeps answers for the next start of the program; a file that is no store
    // is reported once and the rewrite is as without it.
    void rememberedAnswersServeTheNextStart() {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir->path() + "/cache"));
        const QString log = Make("r.log", "10.0.0.1 x\n");
        QVERIFY(!form->RememberAnswers->isChecked());
        form->RememberAnswers->click();
        Run(log);
        QCOMPARE(resolver->Calls("10.0.0.1"), 1);
        for (const bool damaged : {false, true}) {
            if (damaged)
                QVERIFY(WriteRaw(QFile::encodeName(dir->path() + "/cache/hostmoor/answers.sqlite"),
                                 QByteArray(4096, 'x')));
            scope = std::make_unique<WindowScope>(
                dir->path(),
                [](SettingsStore& s) { s.WriteText("General", "RememberAnswers", "1"); },
                resolver.get());
            QVERIFY(scope->Show());
            form = scope->form.get();
            QVERIFY(form->RememberAnswers->isChecked());
            form->PageControl1->setCurrentIndex(1);
            QFile::remove(dir->path() + "/r.rdns");
            Run(log);
            QCOMPARE(Read(dir->path() + "/r.rdns"), QByteArray("one.test x\r\n"));
            QCOMPARE(resolver->Calls("10.0.0.1"), damaged ? 2 : 1);
            QTRY_COMPARE(scope->messages.size(), damaged ? 1 : 0);
            if (damaged)
                QVERIFY2(scope->messages[0].contains("is unusable"),
                         qPrintable(scope->messages[0]));
        }
        qunsetenv("XDG_CACHE_HOME");
    }

    // Only what is learned while the box is ticked reaches the store: a log rewritten with it
    // unticked leaves no trace there, not even once it is ticked again.
    void answersLearnedWhileUntickedAreNotRemembered() {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir->path() + "/cache"));
        resolver->Answer("10.0.0.2", ScriptedResolver::Record("two.test", {"10.0.0.2"}));
        form->RememberAnswers->click();
        form->RememberAnswers->click();
        QVERIFY(!form->RememberAnswers->isChecked());
        Run(Make("private.log", "10.0.0.1 x\n"));
        form->RememberAnswers->click();
        Run(Make("shared.log", "10.0.0.2 x\n"));
        QCOMPARE(Read(dir->path() + "/shared.rdns"), QByteArray("two.test x\r\n"));
        const std::int64_t now = std::time(nullptr);
        auto store = OpenAnswerStore(DefaultAnswerStorePath(), {}, nullptr, now);
        QCOMPARE(store->Find(HostAddress(TextToAddress("10.0.0.2")).Bytes(), now).Result,
                 StoreResult::Hit);
        QCOMPARE(store->Find(HostAddress(TextToAddress("10.0.0.1")).Bytes(), now).Result,
                 StoreResult::Miss);
        qunsetenv("XDG_CACHE_HOME");
    }

    // Ticked, a name that does not point back leaves its address, and the status says how
    // many did not; the box is kept for the next start.
    void namesThatDoNotPointBackLeaveTheirAddressesWhenTicked() {
        resolver->Answer("A one.test", ScriptedResolver::Record("one.test", {"10.9.9.9"}));
        const QString log = Make("v.log", "10.0.0.1 x\n");
        QVERIFY(!form->VerifyNames->isChecked());
        Run(log);
        QCOMPARE(Read(dir->path() + "/v.rdns"), QByteArray("one.test x\r\n"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_U, Qt::AltModifier);
        QTRY_VERIFY(form->VerifyNames->isChecked());
        Run(log);
        QCOMPARE(Read(dir->path() + "/v.rdns"), QByteArray("10.0.0.1 x\r\n"));
        QTRY_COMPARE(form->ProgressCaption(), QString(" Finished. 1 name not confirmed."));
        Run(log); // the verdict known from the batch before is told again
        QTRY_COMPARE(form->ProgressCaption(), QString(" Finished. 1 name not confirmed."));
        form->FormDestroy();
        scope = std::make_unique<WindowScope>(dir->path(), nullptr, resolver.get());
        QVERIFY(scope->Show());
        form = scope->form.get();
        QVERIFY(form->VerifyNames->isChecked());
        QVERIFY(scope->engine.VerifyNames.load());
    }

    // logrotate's set in one batch: one output per input, none refused, each compressed as its
    // input was.
    void aRotatedSetGivesOneOutputPerInput() {
        const QByteArray text = "10.0.0.1 a\n10.0.0.1 b\n";
        const QByteArray rewritten = "one.test a\r\none.test b\r\n";
        const struct {
            const char* input;
            Compression format;
            const char* output;
        } set[] = {
            {"access.log", Compression::None, "access.rdns"},
            {"access.log.1", Compression::None, "access.log.rdns"},
            {"access.log.2.gz", Compression::Gzip, "access.log.2.rdns.gz"},
            {"access.log.3.bz2", Compression::Bzip2, "access.log.3.rdns.bz2"},
            {"access.log.4.xz", Compression::Xz, "access.log.4.rdns.xz"},
            {"access.log.5.zst", Compression::Zstd, "access.log.5.rdns.zst"},
        };
        QStringList names;
        for (const auto& file : set)
            names << Make(file.input,
                          file.format == Compression::None ? text : Compressed(file.format, text));
        Run(names.join(' '));
        QCOMPARE(scope->messages, QStringList());
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files).size(), qsizetype(2 * std::size(set)));
        for (const auto& file : set) {
            const QByteArray output = Read(dir->path() + "/" + file.output);
            QCOMPARE(file.format == Compression::None ? output : Decompressed(file.format, output),
                     rewritten);
        }
    }

    void combinedLogThroughThePageAgainstTheTestServer() {
        if (!InTestDns())
            QSKIP(qPrintable(QString::fromStdString(TestDnsSkipReason())));
        scope->engine.Resolver.SetResolver(nullptr);
        QByteArray in;
        QByteArray expected;
        for (int i = 0; i < 40; ++i) {
            const int octet = i % 4 == 3 ? 200 + i % 3 : 1 + i % 10;
            const QByteArray address = "192.0.2." + QByteArray::number(octet);
            const QByteArray name =
                octet <= 10 ? "host-" + QByteArray::number(octet) + ".hm.test" : address;
            const QByteArray rest =
                " - frank [07/Dec/2026:12:00:00 +0000] \"GET /a/b" + QByteArray::number(i) +
                ".png HTTP/1.0\" 200 2326 \"-\" \"Mozilla/4.08 [en] (Win98; I ;Nav)\"";
            in += address + rest + "\r\n";
            expected += name + rest + "\r\n";
        }
        const QString log = Make("access.log", in);
        form->InEdit->setEditText(log);
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
        QCOMPARE(Read(dir->path() + "/access.rdns"), expected); // N lines in, N lines out
        QCOMPARE(form->ProgressCaption(), QString(" Finished."));
    }

private:
    // A drag over the widget, then a drop if it is accepted, delivered as Qt delivers them: to
    // the widget, or the nearest of its parents, that takes drops.
    static bool Drop(QWidget* over, const QMimeData& data) {
        QWidget* target = over->childAt(over->rect().center());
        for (target = target ? target : over; !target->acceptDrops();)
            target = target->parentWidget();
        const QPointF at = target->mapFromGlobal(over->mapToGlobal(over->rect().center()));
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return drop.isAccepted();
    }
    QString Make(const QString& name, const QByteArray& bytes) {
        const QString path = dir->path() + "/" + name;
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return path;
    }
    void Run(const QString& text) {
        form->InEdit->setEditText(text);
        form->StartButton->click();
        QVERIFY(scope->WaitForWorkers());
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ScriptedResolver> resolver;
    std::unique_ptr<WindowScope> scope;
    TDNSForm* form = nullptr;
    int finished = 0;
    bool opened = false;
    QString folderShown;
};

QTEST_MAIN(RewritePageTest)
#include "RewritePageTest.moc"
