// The rewrite page: choosing files, starting one rewrite worker per file, and the progress.
#include "EngineRuntime.h"
#include "EngineText.h"
#include "Filter.h"
#include "RevLookup.h"
#include "Subjects.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcutEvent>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <sys/stat.h>

namespace hostmoor {

namespace {

// The exact names of the files of a drop from a file manager; nothing when it holds anything
// but local files.
std::vector<std::string> DroppedFiles(const QMimeData* data) {
    std::vector<std::string> names;
    for (const QUrl& url : data->hasUrls() ? data->urls() : QList<QUrl>()) {
        if (!url.isLocalFile() || !(url.host().isEmpty() || url.host() == "localhost"))
            return {};
        // The path's bytes: a name that is not valid text is taken exactly.
        const std::string name =
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return {};
        names.push_back(name);
    }
    return names;
}

} // namespace

void TDNSForm::BrowseForInputFileClick() {
    if (!fLastFolder.isEmpty() && QFileInfo(fLastFolder).isDir())
        OpenDialog1->setDirectory(fLastFolder);
    const QStringList files = RunOpenDialog(*OpenDialog1);
    if (files.isEmpty())
        return;
    std::vector<std::string> names;
    for (const QString& file : files) {
        if (const auto name = ChosenFileName(file))
            names.push_back(*name);
        else
            ShowMessage(tr("%1 cannot be entered: no file, or more than one, has that name as "
                           "it is shown.")
                            .arg(file));
    }
    EnterChosenFiles(names);
}

void TDNSForm::EnterChosenFiles(const std::vector<std::string>& names) {
    QString text;
    for (const std::string& name : names)
        text += QuotedFileName(name) + ' ';
    InEdit->setEditText(text);
    InEditChange();
    if (!names.empty())
        fLastFolder =
            QFileInfo(QFile::decodeName(QByteArray::fromStdString(names.front()))).absolutePath();
}

bool TDNSForm::AdvancedDNSDragEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
        fDropAcceptable = !DroppedFiles(static_cast<QDragEnterEvent*>(event)->mimeData()).empty();
        [[fallthrough]];
    case QEvent::DragMove: {
        auto* move = static_cast<QDragMoveEvent*>(event);
        if (fDropAcceptable)
            move->acceptProposedAction();
        else
            move->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const std::vector<std::string> names = DroppedFiles(drop->mimeData());
        if (names.empty()) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        EnterChosenFiles(names);
        return true;
    }
    default:
        return false;
    }
}

bool TDNSForm::RewritePageEvent(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonDblClick:
        // The second press of a double click on Process or Stop: not a click on the other.
        return watched == StartButton;
    case QEvent::Shortcut: {
        const auto* shortcut = static_cast<QShortcutEvent*>(event);
        if (PageControl1->currentWidget() != AdvancedDNS ||
            shortcut->key() != BrowseButton->shortcut())
            return false;
        BrowseButton->animateClick();
        return true;
    }
    case QEvent::KeyPress:
        return (watched == InEdit || watched == InEdit->lineEdit()) &&
               StrayAltKey(*static_cast<QKeyEvent*>(event));
    default:
        return false;
    }
}

void TDNSForm::InEditChange() {
    if (!fStartButtonStops)
        StartButton->setEnabled(!InEdit->currentText().isEmpty());
}

void TDNSForm::ShowStopOrProcess(bool stop) {
    fStartButtonStops = stop;
    // "St&op": Alt+S and Alt+T are pages' keys.
    StartButton->setText(stop ? tr("St&op") : tr("&Process"));
    StartButton->setEnabled(true);
}

QString TDNSForm::RefusalText(const BatchEntry& entry) const {
    const QString input = FileNameText(entry.Job.InFileName);
    const QString output = FileNameText(entry.Job.OutFileName);
    QString reason;
    switch (entry.Verdict) {
    case Refusal::None:
        return {};
    case Refusal::NotAFile:
        return tr("%1 does not exist.").arg(input);
    case Refusal::NamedRdns:
        reason = tr("its output would have the same name and replace it");
        break;
    case Refusal::OutputIsLink:
        reason = tr("its output %1 is a symbolic link").arg(output);
        break;
    case Refusal::OutputNotFile:
        reason = tr("its output %1 is not a regular file").arg(output);
        break;
    case Refusal::OutputLinked:
        reason = tr("its output %1 has other names (hard links), which would change with it")
                     .arg(output);
        break;
    case Refusal::OutputIsInput:
        reason = tr("its output %1 is the file itself").arg(output);
        break;
    case Refusal::NamedTwice:
        reason = tr("it is named more than once (by this name or another of the same file)");
        break;
    case Refusal::SharedOutput:
        reason = tr("its output %1 is also a file of another job").arg(output);
        break;
    case Refusal::Running:
        reason = tr("a rewrite that is still running uses it or its output %1").arg(output);
        break;
    }
    return tr("%1 is not processed: %2.").arg(input, reason);
}

void TDNSForm::StartButtonClick() {
    const QString text = InEdit->currentText();
    Engine.Resolver.ResolverStartup();
    OpenAnswerStore();
    Engine.TotalBytes = 0;
    Engine.ProcessedBytes = 1;
    if (Engine.ThreadManager.FileJobCount() == 0) {
        Engine.Confirmations.BeginBatch();
        fBatchOutputs.clear();
    }
    QStringList refusals;
    if (const auto items = SplitSubjects(FileNamesToEngine(text), SplitMode::FileNames)) {
        std::vector<RewriteJob> running;
        for (const auto& [worker, job] : fJobFiles)
            running.push_back(job);
        // The whole batch is checked before any job starts.
        for (const BatchEntry& entry : PlanRewriteBatch(*items, running)) {
            if (entry.Verdict != Refusal::None) {
                refusals << RefusalText(entry);
                continue;
            }
            auto* worker = new TRevLookup(Engine, entry.Job.InFileName, entry.Job.OutFileName);
            worker->OnTerminate = [this](TWorker* w) { FileJobDone(w); };
            fJobFiles[worker] = entry.Job;
            fBatchOutputs.push_back(entry.Job.OutFileName);
            try {
                worker->Start();
            } catch (...) {
                fJobFiles.erase(worker);
                throw;
            }
        }
    }
    if (Engine.ThreadManager.FileJobCount() > 0) {
        SetProgressCaption(tr(" Working..."));
        ShowStopOrProcess(true);
    }
    AddToDropdownList(InEdit);
    InEdit->setEditText(text);
    // The refusals are told while the files taken are being rewritten, not before them.
    for (const QString& refusal : refusals) {
        ShowMessage(refusal);
        if (!isVisible())
            break; // the window closed while the message was shown
    }
}

void TDNSForm::ResolveIPv6Click() {
    Engine.ResolveIPv6 = ResolveIPv6->isChecked();
}

void TDNSForm::VerifyNamesClick() {
    Engine.VerifyNames = VerifyNames->isChecked();
}

void TDNSForm::RememberAnswersClick() {
    Engine.RememberAnswers = RememberAnswers->isChecked();
}

void TDNSForm::OpenAnswerStore() {
    if (fAnswerStoreOpened || !Engine.RememberAnswers)
        return;
    fAnswerStoreOpened = true;
    // A problem is met on whichever thread uses the store; it is shown from the main thread.
    QPointer<TDNSForm> form(this);
    Engine.UseAnswerStore(hostmoor::OpenAnswerStore(
        DefaultAnswerStorePath(), {},
        [form](const std::string& problem) {
            QMetaObject::invokeMethod(
                qApp,
                [form, text = FileNameText(problem)] {
                    if (form)
                        form->ShowMessage(text);
                },
                Qt::QueuedConnection);
        },
        std::time(nullptr)));
}

void TDNSForm::StopRewriteClick() {
    StopRewrite();
}

void TDNSForm::StopRewrite() {
    if (!RewriteRunning())
        return;
    for (const auto& [worker, job] : fJobFiles)
        worker->Terminate();
    fStopping = true;
    SetProgressCaption(tr(" Stopping..."));
    StartButton->setEnabled(false);
}

void TDNSForm::FileJobDone(TWorker* worker) {
    const RewriteJob job = fJobFiles[worker];
    fJobFiles.erase(worker);
    const QString error = FileNameText(worker->FatalError());
    const bool stopped = static_cast<TRevLookup*>(worker)->Stopped;
    if (stopped || !error.isEmpty())
        fIncomplete.push_back(job.OutFileName);
    fBatchStopped = fBatchStopped || stopped;
    Engine.ThreadManager.ThreadDone(worker);
    if (!error.isEmpty()) {
        // Shown once the handler has returned, so that the worker is not held meanwhile.
        QTimer::singleShot(0, this, [this, input = FileNameText(job.InFileName), error] {
            ShowMessage(tr("%1 was not rewritten completely:\n%2").arg(input, error));
        });
    }
}

void TDNSForm::AllFileJobsFinished() {
    // Names the batch met that do not point back, where it asked, found now or before.
    const std::size_t notConfirmed = Engine.Confirmations.NotConfirmedMet();
    const QString verdicts = notConfirmed == 0   ? QString()
                             : notConfirmed == 1 ? tr(" 1 name not confirmed.")
                                                 : tr(" %1 names not confirmed.").arg(notConfirmed);
    if (fIncomplete.empty()) {
        SetProgressCaption(tr(" Finished.") + verdicts);
    } else {
        // The names, in the order they were given, fit the status bar; the whole paths are in
        // its tool tip.
        QStringList names;
        QStringList paths;
        for (const std::string& output : fBatchOutputs) {
            if (std::find(fIncomplete.begin(), fIncomplete.end(), output) == fIncomplete.end())
                continue;
            names << FileNameText(output.substr(output.rfind('/') + 1));
            paths << FileNameText(output);
        }
        SetProgressCaption((fBatchStopped ? tr(" Stopped.") : tr(" Finished.")) + verdicts +
                           tr(" Incomplete: %1").arg(names.join(", ")));
        StatusPanel1->setToolTip(tr("Incomplete:\n%1").arg(paths.join('\n')));
    }
    fIncomplete.clear();
    fBatchStopped = false;
    fStopping = false;
    ProgressBar1->setValue(0);
    ShowStopOrProcess(false);
    // Closing waits for an answer to whether to stop the batch: there is none to stop now.
    if (fQuestion)
        fQuestion->done(QMessageBox::Yes);
}

void TDNSForm::Timer1Timer() {
    const std::int64_t total = Engine.TotalBytes.load();
    if (Engine.ThreadManager.FileJobCount() == 0 || total <= 0 || fStopping)
        return;
    const double percent = std::trunc(static_cast<double>(Engine.ProcessedBytes.load()) /
                                      static_cast<double>(total) * 100.0);
    ProgressBar1->setValue(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
    SetProgressCaption(tr(" Working (%1% complete)...").arg(ProgressBar1->value()));
}

} // namespace hostmoor
