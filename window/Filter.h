// The main window: its pages and controls and the handlers of both working pages. The
// construction and the window's own handlers are in Filter.cpp, the pages' handlers in
// LookupPage.cpp and RewritePage.cpp, the history and settings in History.cpp.
#pragma once

#include "RewriteBatch.h"

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QKeyEvent;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;
class QWidget;

namespace hostmoor {

class EngineRuntime;
class SettingsStore;
class TWorker;

// The most entries a box's history holds and saves, whatever MaxSavedDropDownCount says.
constexpr int kHistoryCapacity = 1000;

class TDNSForm : public QDialog {
    Q_OBJECT

public:
    TDNSForm(EngineRuntime& engine, SettingsStore& settings, QWidget* parent = nullptr);
    ~TDNSForm() override;

    // Start-up and shut-down steps of the window; the application calls them.
    void FormCreate();
    void FormDestroy();

    void SetProgressCaption(const QString& text);
    QString ProgressCaption() const;

    // Closes as Close does, without asking about a running rewrite, which is stopped: the
    // program was asked to end by a signal, and nobody may be there to answer.
    void CloseWithoutAsking();

    void AddToDropdownList(QComboBox* box);
    void ReadDropdownList(QComboBox* box);
    void WriteDropdownList(QComboBox* box);

    // Seams for the outside world; tests replace them.
    std::function<QStringList(QFileDialog&)> RunOpenDialog; // empty list: cancelled
    std::function<void(const QString&)> ShowMessage;        // modal, one OK button
    std::function<bool(const QString&)> AskQuestion;        // modal, Yes and No: true for Yes
    std::function<void()> Beep;
    // Opens a web address in the browser; done(false) tells of a failure, at once or later.
    std::function<void(const QString&, std::function<void(bool)> done)> OpenUrl;

    // Controls, named as their objectName.
    QTabWidget* PageControl1;
    QWidget* SimpleDNS;
    QWidget* AdvancedDNS;
    QWidget* AboutPage;
    QWidget* AboutMaker;
    QPushButton* CloseButton;
    QStatusBar* StatusBar1;
    QLabel* StatusPanel0;
    QLabel* StatusPanel1;
    QProgressBar* ProgressBar1;
    QTimer* Timer1;
    QTimer* LookupResultsTimer;
    QFileDialog* OpenDialog1;
    QMenu* SimpleDNSPopup;
    QAction* Copy1;
    QAction* CopyAll1;
    QAction* ClearAll1;
    QAction* Stop1;
    QComboBox* LookupSubject;
    QPushButton* LookupButton;
    QPlainTextEdit* LookupResultMemo;
    QCheckBox* ExtendedInfo;
    QComboBox* InEdit;
    QPushButton* BrowseButton;
    QPushButton* StartButton;
    QCheckBox* ResolveIPv6;
    QCheckBox* RememberAnswers;
    QCheckBox* VerifyNames;
    QPushButton* VisitMakerButton;

public slots:
    void FormShow();
    void PageControl1Change();
    void CloseButtonClick();
    void VisitMakerButtonClick();

    void LookupButtonClick();
    void LookupSubjectChange();
    void ExtendedInfoClick();
    void LookupResultsTimerTimer();
    void SimpleDNSPopupPopup();
    void Copy1Click();
    void CopyAll1Click();
    void ClearAll1Click();
    void Stop1Click();

    void BrowseForInputFileClick();
    void InEditChange();
    void StartButtonClick();
    void StopRewriteClick();
    void ResolveIPv6Click();
    void RememberAnswersClick();
    void VerifyNamesClick();
    void Timer1Timer();

public:
    // Whether a typed character may enter LookupSubject.
    static bool LookupSubjectAccepts(int code);
    // Lets the character through or swallows it with the alert sound.
    bool LookupSubjectKeyPress(int code);
    // A key pressed with Alt that reached a box: no control has it, and it is no character
    // either (Ctrl with Alt may be how a keyboard gives one).
    static bool StrayAltKey(const QKeyEvent& key);
    // AskQuestion's own box. A question on closing that the end of the batch makes moot is
    // answered Yes then: the close goes on.
    bool AskQuestionBox(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildLookupPage();
    void BuildRewritePage();
    void BuildAboutPages();
    void ConnectHandlers();
    void AllFileJobsFinished();
    void FileJobDone(TWorker* worker);
    // Enters the files in InEdit as Browse does, and remembers their folder.
    void EnterChosenFiles(const std::vector<std::string>& names);
    // Events of the rewrite page's controls that their own handling gets wrong; true when
    // taken here.
    bool RewritePageEvent(QObject* watched, QEvent* event);
    // Takes files dropped on the rewrite page; true when the event was the page's.
    bool AdvancedDNSDragEvent(QEvent* event);
    // Whether the rewrite page's batch is running; while it is, Process is Stop.
    bool RewriteRunning() const { return !fJobFiles.empty(); }
    void ShowStopOrProcess(bool stop);
    void StopRewrite();
    QString RefusalText(const BatchEntry& entry) const;
    // Opens the answer store the first time a rewrite remembers answers.
    void OpenAnswerStore();

    EngineRuntime& Engine;
    SettingsStore& Settings;
    bool fFirstResults = true;
    // Input and output of every running rewrite job.
    std::map<TWorker*, RewriteJob> fJobFiles;
    bool fStartButtonStops = false;
    bool fStopping = false; // Stop was pressed and the jobs are ending
    bool fCloseWithoutAsking = false;
    bool fDropAcceptable = false; // what is being dragged over the rewrite page
    // Where the open dialog starts: the folder of the files last chosen or dropped.
    QString fLastFolder;
    // The outputs of the batch's jobs that a stop or an error cut short, and whether a stop did.
    std::vector<std::string> fIncomplete;
    std::vector<std::string> fBatchOutputs; // in the order they were named
    bool fBatchStopped = false;
    QPointer<QMessageBox> fQuestion; // the question on closing, while it is asked
    QString fCaption;                // the status text, whole
    bool fAnswerStoreOpened = false;
};

} // namespace hostmoor
