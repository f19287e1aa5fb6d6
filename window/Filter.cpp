#include "Filter.h"

#include "EngineRuntime.h"
#include "FormTexts.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <memory>
#include <utility>

namespace hostmoor {

namespace {

constexpr int kMaxResultLines = 100;

QLabel* Label(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

// A control named after the label that stands for it, for screen readers.
void LabelFor(QLabel* label, QWidget* control) {
    label->setBuddy(control);
    control->setAccessibleName(label->text());
}

QPushButton* Button(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false); // no button becomes default by taking the focus
    return button;
}

QComboBox* HistoryBox(QWidget* parent, const char* name, QRect geometry) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setDuplicatesEnabled(true);
    // What is typed is what is used: the history is offered in the drop-down list only, never
    // completed into the text.
    box->setCompleter(nullptr);
    box->setMaxCount(kHistoryCapacity);
    box->setGeometry(geometry);
    box->view()->setStyleSheet("QListView::item { height: 16px; }");
    return box;
}

QPlainTextEdit* StaticText(QWidget* parent, const QString& text, QRect geometry) {
    auto* edit = new QPlainTextEdit(text, parent);
    edit->setGeometry(geometry);
    edit->setReadOnly(true);
    edit->setFrameShape(QFrame::NoFrame);
    edit->setFocusPolicy(Qt::NoFocus);
    edit->viewport()->setAutoFillBackground(false);
    edit->setStyleSheet("QPlainTextEdit { background: transparent; }");
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return edit;
}

QWidget* Page(QTabWidget* pages, const char* name, const QString& caption) {
    auto* page = new QWidget;
    page->setObjectName(name);
    page->setFocusPolicy(Qt::StrongFocus);
    pages->addTab(page, caption);
    return page;
}

QGroupBox* Group(QWidget* parent, const char* name, const QString& title, QRect geometry) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(name);
    group->setGeometry(geometry);
    return group;
}

// QDesktopServices hands an address to xdg-open and does not wait for its answer, which is an
// error when it finds no browser; so xdg-open, where there is one, is run and listened to
// here. A browser that it runs in the foreground means that the address has been opened.
void OpenInBrowser(QObject* context, const QString& url, const std::function<void(bool)>& done) {
    const QString opener = QStandardPaths::findExecutable("xdg-open");
    if (opener.isEmpty()) {
        done(QDesktopServices::openUrl(QUrl(url)));
        return;
    }
    // Not the window's child: it may outlive the window, as the browser it starts does.
    auto* process = new QProcess;
    auto answered = std::make_shared<bool>(false);
    auto answer = [done, answered](bool opened) {
        if (!std::exchange(*answered, true))
            done(opened);
    };
    QObject::connect(process, &QProcess::finished, context,
                     [process, answer](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         answer(status == QProcess::NormalExit && code == 0);
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, answer](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             process->deleteLater();
                             answer(false);
                         }
                     });
    QTimer::singleShot(3000, context, [answer] { answer(true); });
    process->start(opener, {url});
}

// Qt's own file dialog gives its size, type and date columns the width of sample texts, which
// cuts them short here, and fills in sizes and types only after a folder is listed: those
// columns follow their contents as they come, the names take the rest, and the dialog and its
// side panel are made large enough for both.
void FitFileDialogColumns(QFileDialog& dialog) {
    dialog.resize(840, 440);
    auto* view = dialog.findChild<QTreeView*>("treeView");
    if (!view)
        return; // the platform's own dialog
    QHeaderView* header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    // They are fitted to the rows in sight: again as other rows come into it.
    QObject::connect(view->verticalScrollBar(), &QScrollBar::valueChanged, header,
                     [header] { header->resizeSections(QHeaderView::ResizeToContents); });
    if (auto* splitter = dialog.findChild<QSplitter*>("splitter"))
        splitter->setSizes({130, 710});
}

} // namespace

TDNSForm::TDNSForm(EngineRuntime& engine, SettingsStore& settings, QWidget* parent)
    : QDialog(parent), Engine(engine), Settings(settings) {
    setObjectName("DNSForm");
    setWindowTitle(tr("Hostmoor"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    // Arial (or a face with its metrics) at 13 pixels, for every widget of the window and its
    // message boxes: widgets with a style sheet take the application's font, not the parent's.
    QFont font("Arial");
    font.setPixelSize(13);
    QApplication::setFont(font);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Text, Qt::black);
    setPalette(palette);
    setFixedSize(408, 422);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(8, 8, 393, 385);
    PageControl1->setUsesScrollButtons(false);
    PageControl1->tabBar()->setExpanding(false);
    PageControl1->setStyleSheet("QTabBar::tab { padding: 3px 2px; }");

    BuildLookupPage();
    BuildRewritePage();
    BuildAboutPages();

    CloseButton = Button(this, "CloseButton", tr("Close"), QRect(288, 344, 89, 25));

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setGeometry(0, 400, 408, 22);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setStyleSheet("QStatusBar::item { border: none; }");
    StatusPanel0 = new QLabel(StatusBar1);
    StatusPanel0->setObjectName("StatusPanel0");
    StatusPanel0->setFixedWidth(152);
    StatusPanel1 = new QLabel(StatusBar1);
    StatusPanel1->setObjectName("StatusPanel1");
    StatusPanel1->setAccessibleName(tr("Status"));
    StatusPanel1->setFrameShape(QFrame::Panel);
    StatusPanel1->setFrameShadow(QFrame::Sunken);
    // The panel is as wide as the bar leaves it, whatever its text: a long one is cut short.
    StatusPanel1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1, 1);
    SetProgressCaption(MakerLine());

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setAccessibleName(tr("Progress"));
    ProgressBar1->setGeometry(1, 402, 150, 20);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->raise();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(5000);
    LookupResultsTimer = new QTimer(this);
    LookupResultsTimer->setObjectName("LookupResultsTimer");
    LookupResultsTimer->setInterval(1000);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
    OpenDialog1->setNameFilters({tr("All files (*)"), tr("Text files (*.txt)"),
                                 tr("Log files (*.log)"),
                                 tr("Compressed logs (*.gz *.bz2 *.xz *.zst)")});
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    FitFileDialogColumns(*OpenDialog1);

    setTabOrder(PageControl1, CloseButton);

    RunOpenDialog = [](QFileDialog& dialog) {
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };
    ShowMessage = [this](const QString& text) {
        QMessageBox::information(this, QApplication::applicationName(), text);
    };
    AskQuestion = [this](const QString& text) { return AskQuestionBox(text); };
    Beep = [] { QApplication::beep(); };
    OpenUrl = [this](const QString& url, std::function<void(bool)> done) {
        OpenInBrowser(this, url, done);
    };

    ConnectHandlers();
    Engine.ThreadManager.OnAllFileJobsFinished = [this] { AllFileJobsFinished(); };

    Timer1->start();
    LookupResultsTimer->start();
}

TDNSForm::~TDNSForm() {
    Engine.ThreadManager.OnAllFileJobsFinished = nullptr;
}

void TDNSForm::ConnectHandlers() {
    connect(PageControl1, &QTabWidget::currentChanged, this, &TDNSForm::PageControl1Change);
    connect(CloseButton, &QPushButton::clicked, this, &TDNSForm::CloseButtonClick);
    connect(VisitMakerButton, &QPushButton::clicked, this, &TDNSForm::VisitMakerButtonClick);
    connect(LookupButton, &QPushButton::clicked, this, &TDNSForm::LookupButtonClick);
    connect(LookupSubject, &QComboBox::editTextChanged, this, &TDNSForm::LookupSubjectChange);
    connect(ExtendedInfo, &QCheckBox::clicked, this, &TDNSForm::ExtendedInfoClick);
    connect(LookupResultsTimer, &QTimer::timeout, this, &TDNSForm::LookupResultsTimerTimer);
    connect(Copy1, &QAction::triggered, this, &TDNSForm::Copy1Click);
    connect(CopyAll1, &QAction::triggered, this, &TDNSForm::CopyAll1Click);
    connect(ClearAll1, &QAction::triggered, this, &TDNSForm::ClearAll1Click);
    connect(Stop1, &QAction::triggered, this, &TDNSForm::Stop1Click);
    connect(LookupResultMemo, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        SimpleDNSPopupPopup();
        SimpleDNSPopup->exec(LookupResultMemo->mapToGlobal(at));
    });
    connect(BrowseButton, &QPushButton::clicked, this, &TDNSForm::BrowseForInputFileClick);
    connect(InEdit, &QComboBox::editTextChanged, this, &TDNSForm::InEditChange);
    // The second click of a double click on Process would land on Stop.
    StartButton->installEventFilter(this);
    // Alt+B is both Browse's and the About Brightfold page's: on the rewrite page, Browse's.
    BrowseButton->installEventFilter(this);
    PageControl1->tabBar()->installEventFilter(this);
    InEdit->installEventFilter(this); // it hands typed keys to its editor directly
    InEdit->lineEdit()->installEventFilter(this);
    connect(StartButton, &QPushButton::clicked, this, [this] {
        if (fStartButtonStops)
            StopRewriteClick();
        else
            StartButtonClick();
    });
    connect(ResolveIPv6, &QCheckBox::clicked, this, &TDNSForm::ResolveIPv6Click);
    connect(RememberAnswers, &QCheckBox::clicked, this, &TDNSForm::RememberAnswersClick);
    connect(VerifyNames, &QCheckBox::clicked, this, &TDNSForm::VerifyNamesClick);
    connect(Timer1, &QTimer::timeout, this, &TDNSForm::Timer1Timer);
}

void TDNSForm::BuildLookupPage() {
    SimpleDNS = Page(PageControl1, "SimpleDNS", tr("&Simple DNS"));
    auto* group = Group(SimpleDNS, "LookupGroup", tr("Lookup a host name or an IP address"),
                        QRect(8, 8, 369, 313));
    QLabel* subjectLabel =
        Label(group, tr("Enter the host name(s) or IP address(s) to lookup"), 16, 26);
    LookupSubject = HistoryBox(group, "LookupSubject", QRect(16, 48, 337, 24));
    LabelFor(subjectLabel, LookupSubject);
    // Typed keys reach the combo box, which hands them to its editor directly; pasted text
    // does not come as key presses at all.
    LookupSubject->installEventFilter(this);
    LookupSubject->lineEdit()->installEventFilter(this);
    LookupButton = Button(group, "LookupButton", tr("&Lookup"), QRect(264, 80, 89, 25));
    LookupButton->setDefault(true);
    QLabel* resultsLabel = Label(group, tr("Lookup results"), 16, 92);

    LookupResultMemo = new QPlainTextEdit(InstructionText(), group);
    LookupResultMemo->setObjectName("LookupResultMemo");
    LookupResultMemo->setGeometry(16, 112, 337, 161);
    LookupResultMemo->setReadOnly(true);
    LookupResultMemo->setMaximumBlockCount(kMaxResultLines);
    LookupResultMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LookupResultMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    LookupResultMemo->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                              Qt::TextSelectableByKeyboard);
    LookupResultMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    LabelFor(resultsLabel, LookupResultMemo);

    ExtendedInfo = new QCheckBox(tr("Show extended information"), group);
    ExtendedInfo->setObjectName("ExtendedInfo");
    ExtendedInfo->setGeometry(16, 284, 209, 17);

    SimpleDNSPopup = new QMenu(this);
    SimpleDNSPopup->setObjectName("SimpleDNSPopup");
    Copy1 = SimpleDNSPopup->addAction(tr("&Copy"));
    Copy1->setObjectName("Copy1");
    CopyAll1 = SimpleDNSPopup->addAction(tr("Copy &All"));
    CopyAll1->setObjectName("CopyAll1");
    ClearAll1 = SimpleDNSPopup->addAction(tr("C&lear All"));
    ClearAll1->setObjectName("ClearAll1");
    Stop1 = SimpleDNSPopup->addAction(tr("&Stop"));
    Stop1->setObjectName("Stop1");

    setTabOrder(LookupButton, LookupSubject);
    setTabOrder(LookupSubject, ExtendedInfo);
    setTabOrder(ExtendedInfo, LookupResultMemo);
}

void TDNSForm::BuildRewritePage() {
    AdvancedDNS = Page(PageControl1, "AdvancedDNS", tr("&Advanced DNS"));
    // Files dropped anywhere on the page, the file box included, are taken as Browse takes
    // them.
    AdvancedDNS->setAcceptDrops(true);
    AdvancedDNS->installEventFilter(this);

    // Step 2 is made first: it comes first in the page's tab order.
    auto* step2 =
        Group(AdvancedDNS, "Step2Group", tr("Step 2 - Processing"), QRect(8, 136, 369, 145));
    for (int row = 0; row < 5; ++row)
        Label(step2, Step2Row(row), 16, 26 + 16 * row);
    // Options of the rewrite, in the space left of Process.
    ResolveIPv6 = new QCheckBox(tr("Also resolve IPv&6 addresses"), step2);
    ResolveIPv6->setObjectName("ResolveIPv6");
    ResolveIPv6->setGeometry(16, 108, 240, 17);
    RememberAnswers = new QCheckBox(tr("Re&member answers between runs"), step2);
    RememberAnswers->setObjectName("RememberAnswers");
    RememberAnswers->setGeometry(16, 125, 240, 17);
    StartButton = Button(step2, "StartButton", tr("&Process"), QRect(264, 112, 89, 25));
    StartButton->setEnabled(false);

    auto* step1 =
        Group(AdvancedDNS, "Step1Group", tr("Step 1 - File information"), QRect(8, 8, 369, 113));
    QLabel* filesLabel = Label(step1, tr("Enter the names of the file(s) to be processed"), 16, 26);
    InEdit = HistoryBox(step1, "InEdit", QRect(16, 48, 337, 24));
    LabelFor(filesLabel, InEdit);
    InEdit->lineEdit()->setAcceptDrops(false); // its drops are the page's
    BrowseButton = Button(step1, "BrowseButton", tr("&Browse..."), QRect(264, 80, 89, 25));

    // Below the group, left of Close: whether only names that point back replace addresses.
    VerifyNames = new QCheckBox(tr("Only &use names that point back to the address"), AdvancedDNS);
    VerifyNames->setObjectName("VerifyNames");
    VerifyNames->setGeometry(24, 287, 330, 17);

    setTabOrder(ResolveIPv6, RememberAnswers);
    setTabOrder(RememberAnswers, VerifyNames);
    setTabOrder(VerifyNames, StartButton);
    setTabOrder(StartButton, BrowseButton);
    setTabOrder(BrowseButton, InEdit);
}

void TDNSForm::BuildAboutPages() {
    AboutPage = Page(PageControl1, "AboutPage", tr("About &This Software"));
    auto* about = Group(AboutPage, "AboutGroup", tr("About Hostmoor"), QRect(8, 8, 369, 273));
    QPlainTextEdit* aboutText = StaticText(about, AboutText(), QRect(16, 24, 337, 247));
    aboutText->setObjectName("AboutText");
    aboutText->setAccessibleName(about->title());

    AboutMaker = Page(PageControl1, "AboutMaker", tr("About &Brightfold"));
    auto* maker = Group(AboutMaker, "MakerGroup", tr("About Brightfold"), QRect(8, 8, 369, 129));
    StaticText(maker, MakerText(), QRect(16, 24, 337, 97))->setAccessibleName(maker->title());
    auto* visit = Group(AboutMaker, "VisitGroup", tr("Visit Brightfold on the Internet"),
                        QRect(8, 144, 369, 137));
    StaticText(visit, VisitText(), QRect(16, 24, 337, 72))->setAccessibleName(visit->title());
    VisitMakerButton =
        Button(visit, "VisitMakerButton", tr("&Visit Brightfold"), QRect(200, 104, 153, 25));
}

void TDNSForm::SetProgressCaption(const QString& text) {
    fCaption = text;
    // A text longer than the panel ends in an ellipsis, and is whole in the tool tip.
    const int room = StatusPanel1->contentsRect().width() - 2 * StatusPanel1->margin() - 4;
    const QString shown =
        room > 0 ? StatusPanel1->fontMetrics().elidedText(text, Qt::ElideRight, room) : text;
    StatusPanel1->setText(shown);
    StatusPanel1->setToolTip(shown == text ? QString() : text.trimmed());
}

QString TDNSForm::ProgressCaption() const {
    return fCaption;
}

void TDNSForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TDNSForm::FormShow() {
    if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    PageControl1Change();
}

void TDNSForm::PageControl1Change() {
    QWidget* page = PageControl1->currentWidget();
    LookupButton->setDefault(page == SimpleDNS);
    if (page == SimpleDNS)
        LookupSubject->setFocus();
    else if (page == AdvancedDNS)
        InEdit->setFocus();
    else
        page->setFocus();
}

void TDNSForm::CloseButtonClick() {
    close();
}

void TDNSForm::reject() {
    CloseButton->click();
}

void TDNSForm::closeEvent(QCloseEvent* event) {
    if (RewriteRunning() && !fCloseWithoutAsking) {
        const bool stop = AskQuestion(tr("Files are still being rewritten.\nStop the rewrite and "
                                         "close Hostmoor?\nThe lines written so far are kept."));
        if (!stop && !fCloseWithoutAsking) { // a signal may have closed the window meanwhile
            event->ignore();
            return;
        }
    }
    StopRewrite();
    event->accept();
}

bool TDNSForm::AskQuestionBox(const QString& text) {
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    fQuestion = &box;
    return box.exec() == QMessageBox::Yes;
}

void TDNSForm::CloseWithoutAsking() {
    fCloseWithoutAsking = true;
    if (fQuestion)
        fQuestion->done(QMessageBox::Yes);
    close();
}

void TDNSForm::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier) {
        if (PageControl1->currentWidget() == SimpleDNS && LookupButton->isEnabled())
            LookupButton->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TDNSForm::VisitMakerButtonClick() {
    const QString before = ProgressCaption();
    const QString starting = tr(" Starting Web browser...");
    SetProgressCaption(starting);
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    OpenUrl(kMakerAddress, [this, before, starting](bool opened) {
        // A status that has changed meanwhile is another's.
        if (ProgressCaption() == starting)
            SetProgressCaption(opened ? QString() : before);
        if (!opened)
            ShowMessage(tr("Please start your Web browser and point\nit at ") + kMakerAddress);
    });
}

} // namespace hostmoor
