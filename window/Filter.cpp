#include "Filter.h"

#include "SettingsStore.h"

#include "Clock.h"
#include "Resolver.h"
#include "RevLookup.h"
#include "SimpleLookup.h"
#include "Subjects.h"
#include "ThreadManager.h"

#include <QAction>
#include <QCloseEvent>
#include <QSignalBlocker>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace hostmoor {

const char* const kMakerLine = " Hostmoor 1.0 by Brightfold";
const char* const kMakerAddress = "https://www.brightfold.example/";
const char* const kDefaultHostName = "www.brightfold.example";

namespace {

constexpr int kMaxResultLines = 100;

const char* const kInstructionRows[] = {
    "Enter an IP address or a host name to lookup. ",
    "",
    "Lookup a range of IP addresses by using a wildcard, ",
    "for example enter \"205.50.10.*\" to look up ",
    "\"205.50.10.0\", \"205.50.10.1\", etc. all the way to up to ",
    "\"205.50.10.255\". Wildcards can only be used in the ",
    "last section of an address.",
    "",
    "You can also specify a narrower range, for example ",
    "entering \"205.50.10.[10-20]\" will lookup all addresses ",
    "from \"205.50.10.10\" to \"205.50.10.20\".",
    "",
    "Right-click within this text window to open the popup ",
    "menu.",
};

const char* const kAboutRows[] = {
    "Look up Internet hosts starting from either an IP address ",
    "or a host name using the Simple DNS tab. On the ",
    "Advanced DNS tab you can use Hostmoor to ",
    "process text files replacing IP addresses with host ",
    "names. This feature was originally developed to process ",
    "Web server log files, but you may find many other useful ",
    "ways to put this feature to work.",
    "",
    "Brightfold",
    "E-mail: hostmoor@brightfold.example",
    "Web: www.brightfold.example",
};

const char* const kStep2Rows[] = {
    "When you press Process Hostmoor will process",
    "the selected file(s) by replacing all references to IP",
    "addresses with host names by reverse DNS lookup.",
    "The results are written to a file of the same name as ",
    "the original with the extension changed to \".rdns\".",
};

QString Rows(const char* const* rows, std::size_t count) {
    QStringList lines;
    for (std::size_t i = 0; i < count; ++i)
        lines << QString::fromLatin1(rows[i]);
    return lines.join('\n');
}

QLabel* Label(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
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

QString Local(const std::string& text) { return QString::fromLocal8Bit(text); }
std::string Local(const QString& text) { return text.toLocal8Bit().toStdString(); }

// The identities under which a path may be written or read: its absolute path and, when it
// exists, its device and inode.
std::set<std::string> Identities(const QString& path) {
    std::set<std::string> ids;
    ids.insert("path:" + Local(QFileInfo(path).absoluteFilePath()));
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0)
        ids.insert("inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    return ids;
}

bool Overlap(const std::set<std::string>& a, const std::set<std::string>& b) {
    return std::any_of(a.begin(), a.end(), [&b](const std::string& id) { return b.count(id); });
}

} // namespace

QString InstructionText() { return Rows(kInstructionRows, std::size(kInstructionRows)); }

QString OutputFileName(const QString& input) {
    const qsizetype slash = input.lastIndexOf('/');
    const qsizetype dot = input.lastIndexOf('.');
    if (dot > slash)
        return input.left(dot) + ".rdns";
    return input + ".rdns";
}

TDNSForm::TDNSForm(QWidget* parent) : QDialog(parent) {
    setObjectName("DNSForm");
    setWindowTitle("Hostmoor");
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

    CloseButton = Button(this, "CloseButton", "Close", QRect(288, 344, 89, 25));

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setGeometry(0, 400, 408, 22);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setStyleSheet("QStatusBar::item { border: none; }");
    StatusPanel0 = new QLabel(StatusBar1);
    StatusPanel0->setObjectName("StatusPanel0");
    StatusPanel0->setFixedWidth(152);
    StatusPanel1 = new QLabel(kMakerLine, StatusBar1);
    StatusPanel1->setObjectName("StatusPanel1");
    StatusPanel1->setFrameShape(QFrame::Panel);
    StatusPanel1->setFrameShadow(QFrame::Sunken);
    StatusBar1->addWidget(StatusPanel0);
    StatusBar1->addWidget(StatusPanel1, 1);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
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
    OpenDialog1->setNameFilters({"All files (*)", "Text files (*.txt)", "Log files (*.log)"});
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);

    setTabOrder(PageControl1, CloseButton);

    RunOpenDialog = [](QFileDialog& dialog) {
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };
    ShowMessage = [this](const QString& text) {
        QMessageBox::information(this, QApplication::applicationName(), text);
    };
    Beep = [] { QApplication::beep(); };
    OpenUrl = [](const QString& url) { return QDesktopServices::openUrl(QUrl(url)); };

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
    connect(StartButton, &QPushButton::clicked, this, &TDNSForm::StartButtonClick);
    connect(Timer1, &QTimer::timeout, this, &TDNSForm::Timer1Timer);

    if (ThreadManager)
        ThreadManager->OnAllFileJobsFinished = [this] { AllFileJobsFinished(); };

    Timer1->start();
    LookupResultsTimer->start();
}

TDNSForm::~TDNSForm() {
    if (ThreadManager)
        ThreadManager->OnAllFileJobsFinished = nullptr;
}

void TDNSForm::BuildLookupPage() {
    SimpleDNS = new QWidget;
    SimpleDNS->setObjectName("SimpleDNS");
    SimpleDNS->setFocusPolicy(Qt::StrongFocus);
    PageControl1->addTab(SimpleDNS, "&Simple DNS");

    auto* group = new QGroupBox("Lookup a host name or an IP address", SimpleDNS);
    group->setObjectName("LookupGroup");
    group->setGeometry(8, 8, 369, 313);
    Label(group, "Enter the host name(s) or IP address(s) to lookup", 16, 26);
    LookupSubject = HistoryBox(group, "LookupSubject", QRect(16, 48, 337, 24));
    // Typed keys reach the combo box, which hands them to its editor directly; pasted text
    // does not come as key presses at all.
    LookupSubject->installEventFilter(this);
    LookupSubject->lineEdit()->installEventFilter(this);
    LookupButton = Button(group, "LookupButton", "&Lookup", QRect(264, 80, 89, 25));
    LookupButton->setDefault(true);
    Label(group, "Lookup results", 16, 92);

    LookupResultMemo = new QPlainTextEdit(InstructionText(), group);
    LookupResultMemo->setObjectName("LookupResultMemo");
    LookupResultMemo->setGeometry(16, 112, 337, 161);
    LookupResultMemo->setReadOnly(true);
    LookupResultMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LookupResultMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    LookupResultMemo->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                              Qt::TextSelectableByKeyboard);
    LookupResultMemo->setContextMenuPolicy(Qt::CustomContextMenu);

    ExtendedInfo = new QCheckBox("Show extended information", group);
    ExtendedInfo->setObjectName("ExtendedInfo");
    ExtendedInfo->setGeometry(16, 284, 209, 17);

    SimpleDNSPopup = new QMenu(this);
    SimpleDNSPopup->setObjectName("SimpleDNSPopup");
    Copy1 = SimpleDNSPopup->addAction("&Copy");
    Copy1->setObjectName("Copy1");
    CopyAll1 = SimpleDNSPopup->addAction("Copy &All");
    CopyAll1->setObjectName("CopyAll1");
    ClearAll1 = SimpleDNSPopup->addAction("C&lear All");
    ClearAll1->setObjectName("ClearAll1");
    Stop1 = SimpleDNSPopup->addAction("&Stop");
    Stop1->setObjectName("Stop1");

    setTabOrder(LookupButton, LookupSubject);
    setTabOrder(LookupSubject, ExtendedInfo);
    setTabOrder(ExtendedInfo, LookupResultMemo);
}

void TDNSForm::BuildRewritePage() {
    AdvancedDNS = new QWidget;
    AdvancedDNS->setObjectName("AdvancedDNS");
    AdvancedDNS->setFocusPolicy(Qt::StrongFocus);
    PageControl1->addTab(AdvancedDNS, "&Advanced DNS");

    // Step 2 is made first: it comes first in the page's tab order.
    auto* step2 = new QGroupBox("Step 2 - Processing", AdvancedDNS);
    step2->setObjectName("Step2Group");
    step2->setGeometry(8, 136, 369, 145);
    for (int row = 0; row < 5; ++row)
        Label(step2, kStep2Rows[row], 16, 26 + 16 * row);
    StartButton = Button(step2, "StartButton", "&Process", QRect(264, 112, 89, 25));
    StartButton->setEnabled(false);

    auto* step1 = new QGroupBox("Step 1 - File information", AdvancedDNS);
    step1->setObjectName("Step1Group");
    step1->setGeometry(8, 8, 369, 113);
    Label(step1, "Enter the names of the file(s) to be processed", 16, 26);
    InEdit = HistoryBox(step1, "InEdit", QRect(16, 48, 337, 24));
    BrowseButton = Button(step1, "BrowseButton", "&Browse...", QRect(264, 80, 89, 25));

    setTabOrder(StartButton, BrowseButton);
    setTabOrder(BrowseButton, InEdit);
}

void TDNSForm::BuildAboutPages() {
    AboutPage = new QWidget;
    AboutPage->setObjectName("AboutPage");
    AboutPage->setFocusPolicy(Qt::StrongFocus);
    PageControl1->addTab(AboutPage, "About &This Software");
    auto* about = new QGroupBox("About Hostmoor", AboutPage);
    about->setGeometry(8, 8, 369, 273);
    StaticText(about, Rows(kAboutRows, std::size(kAboutRows)), QRect(16, 24, 337, 247))
        ->setObjectName("AboutText");

    AboutMaker = new QWidget;
    AboutMaker->setObjectName("AboutMaker");
    AboutMaker->setFocusPolicy(Qt::StrongFocus);
    PageControl1->addTab(AboutMaker, "About &Brightfold");
    auto* maker = new QGroupBox("About Brightfold", AboutMaker);
    maker->setGeometry(8, 8, 369, 129);
    StaticText(maker,
               "Brightfold makes small, careful tools for people who run\n"
               "networks and web sites: utilities that do one job well\n"
               "and stay out of the way.",
               QRect(16, 24, 337, 97));
    auto* visit = new QGroupBox("Visit Brightfold on the Internet", AboutMaker);
    visit->setGeometry(8, 144, 369, 137);
    StaticText(visit,
               "Visit the Brightfold web site for news, updates and\n"
               "our other tools. Press the button below to open it in\n"
               "your Web browser.",
               QRect(16, 24, 337, 72));
    VisitMakerButton =
        Button(visit, "VisitMakerButton", "&Visit Brightfold", QRect(200, 104, 153, 25));
}

// ---- Window as a whole

void TDNSForm::SetProgressCaption(const QString& text) { StatusPanel1->setText(text); }

QString TDNSForm::ProgressCaption() const { return StatusPanel1->text(); }

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

void TDNSForm::CloseButtonClick() { close(); }

void TDNSForm::reject() { CloseButton->click(); }

void TDNSForm::closeEvent(QCloseEvent* event) { event->accept(); }

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
    SetProgressCaption(" Starting Web browser...");
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const bool opened = OpenUrl(kMakerAddress);
    SetProgressCaption("");
    if (!opened)
        ShowMessage(QString("Please start your Web browser and point\nit at ") + kMakerAddress);
}

// ---- Lookup page

bool TDNSForm::LookupSubjectAccepts(int code) {
    return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
           (code >= '0' && code <= '9') || code == '-' || code == '.' || code == '*' ||
           code == '[' || code == ']' || code == ' ' || code == 8 || code == 3 || code == 22 ||
           code == 24;
}

bool TDNSForm::LookupSubjectKeyPress(int code) {
    if (LookupSubjectAccepts(code))
        return true;
    Beep();
    return false;
}

bool TDNSForm::eventFilter(QObject* watched, QEvent* event) {
    const bool subject = watched == LookupSubject || watched == LookupSubject->lineEdit();
    if (!subject || event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const int k = key->key();
    if (key->modifiers() & (Qt::AltModifier | Qt::MetaModifier))
        return false; // shortcuts such as the pages' Alt+letter, not typed characters
    // Enter and Escape belong to the window's default and cancel buttons.
    if (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape || k == Qt::Key_Tab ||
        k == Qt::Key_Backtab)
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
    ResolverStartup();
    const QString text = LookupSubject->currentText();
    const auto subjects = SplitSubjects(Local(text));
    if (subjects) {
        for (const std::string& subject : *subjects) {
            SleepMs(0);
            auto* worker = new TSimpleLookup(subject);
            worker->OnTerminate = ThreadDone;
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

void TDNSForm::ExtendedInfoClick() { ShowExtendedInfo = ExtendedInfo->isChecked(); }

void TDNSForm::LookupResultsTimerTimer() {
    std::vector<std::string> batch;
    {
        std::lock_guard guard(ResultsLock());
        if (!LookupResults || LookupResults->empty())
            return;
        batch.swap(*LookupResults);
    }
    if (fFirstResults) {
        LookupResultMemo->clear();
        LookupResultMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
        fFirstResults = false;
    }
    auto append = [this, &batch] {
        for (const std::string& line : batch)
            if (!line.empty())
                LookupResultMemo->appendPlainText(Local(line));
    };
    try {
        append();
    } catch (const std::exception&) {
        LookupResultMemo->clear();
        append();
    }
    QTextDocument* doc = LookupResultMemo->document();
    const int excess = doc->blockCount() - kMaxResultLines;
    if (excess > 0) {
        QTextCursor cursor(doc);
        cursor.movePosition(QTextCursor::Start);
        cursor.setPosition(doc->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    LookupResultMemo->verticalScrollBar()->setValue(LookupResultMemo->verticalScrollBar()->maximum());
}

void TDNSForm::SimpleDNSPopupPopup() {
    Copy1->setEnabled(LookupResultMemo->textCursor().hasSelection());
    Stop1->setEnabled(ThreadManager && ThreadManager->ThreadCount() > 0);
    CopyAll1->setEnabled(true);
    ClearAll1->setEnabled(true);
}

void TDNSForm::Copy1Click() { LookupResultMemo->copy(); }

void TDNSForm::CopyAll1Click() {
    LookupResultMemo->selectAll();
    LookupResultMemo->copy();
}

void TDNSForm::ClearAll1Click() { LookupResultMemo->clear(); }

void TDNSForm::Stop1Click() {
    if (ThreadManager)
        ThreadManager->StopAll();
}

// ---- Rewrite page

void TDNSForm::BrowseForInputFileClick() {
    const QStringList files = RunOpenDialog(*OpenDialog1);
    if (files.isEmpty())
        return;
    QString text;
    for (const QString& file : files)
        text += (file.contains(' ') ? '"' + file + '"' : file) + ' ';
    InEdit->setEditText(text);
    InEditChange();
}

void TDNSForm::InEditChange() { StartButton->setEnabled(!InEdit->currentText().isEmpty()); }

QString TDNSForm::RefusalFor(const QString& input, const QString& output,
                             const std::vector<FilePair>& batch) const {
    if (input.endsWith(".rdns"))
        return "its output would have the same name and replace it";
    const std::set<std::string> in = Identities(input);
    const std::set<std::string> out = Identities(output);
    if (Overlap(in, out))
        return "its output " + output + " is the file itself";
    for (const auto& [otherIn, otherOut] : batch) {
        if (Overlap(in, Identities(otherIn)))
            return "it is named more than once";
        if (Overlap(out, Identities(otherIn)) || Overlap(out, Identities(otherOut)) ||
            Overlap(in, Identities(otherOut)))
            return "its output " + output + " is also a file of another job";
    }
    for (const auto& [worker, files] : fJobFiles) {
        if (Overlap(in, Identities(files.first)) || Overlap(in, Identities(files.second)) ||
            Overlap(out, Identities(files.first)) || Overlap(out, Identities(files.second)))
            return "a rewrite that is still running uses it or its output " + output;
    }
    return {};
}

void TDNSForm::StartButtonClick() {
    const QString text = InEdit->currentText();
    ResolverStartup();
    TotalBytes = 0;
    ProcessedBytes = 1;
    const auto items = SplitSubjects(Local(text), SplitMode::FileNames);
    if (items) {
        std::vector<FilePair> batch;
        for (const std::string& item : *items) {
            const QString input = Local(item);
            if (!QFileInfo(input).isFile()) {
                ShowMessage(input + " does not exist.");
                continue;
            }
            const QString output = OutputFileName(input);
            const QString refusal = RefusalFor(input, output, batch);
            if (!refusal.isEmpty()) {
                ShowMessage(input + " is not processed: " + refusal + ".");
                continue;
            }
            auto* worker = new TRevLookup(item, Local(output));
            worker->OnTerminate = [this](TWorker* w) { FileJobDone(w); };
            fJobFiles[worker] = {input, output};
            batch.push_back({input, output});
            try {
                worker->Start();
            } catch (...) {
                fJobFiles.erase(worker);
                throw;
            }
        }
    }
    if (ThreadManager && ThreadManager->FileJobCount() > 0) {
        SetProgressCaption(" Working...");
        StartButton->setEnabled(false);
    }
    AddToDropdownList(InEdit);
    InEdit->setEditText(text);
}

void TDNSForm::FileJobDone(TWorker* worker) {
    const auto files = fJobFiles[worker];
    fJobFiles.erase(worker);
    const QString error = Local(worker->FatalError());
    ThreadDone(worker);
    if (!error.isEmpty()) {
        // Shown once the handler has returned, so that the worker is not held meanwhile.
        QTimer::singleShot(0, this, [this, files, error] {
            ShowMessage(files.first + " was not rewritten completely:\n" + error);
        });
    }
}

void TDNSForm::AllFileJobsFinished() {
    SetProgressCaption(" Finished.");
    ProgressBar1->setValue(0);
    StartButton->setEnabled(true);
}

void TDNSForm::Timer1Timer() {
    const std::int64_t total = TotalBytes.load();
    if (!ThreadManager || ThreadManager->FileJobCount() == 0 || total <= 0)
        return;
    const double percent =
        std::trunc(static_cast<double>(ProcessedBytes.load()) / static_cast<double>(total) * 100.0);
    ProgressBar1->setValue(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
    SetProgressCaption(" Working (" + QString::number(ProgressBar1->value()) + "% complete)...");
}

// ---- Settings and history

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
    const int limit = std::max(MaxSavedDropDownCount, 0);
    if (found < 0) {
        box->insertItem(0, text);
        if (box->count() > limit)
            box->removeItem(limit);
    } else if (found > 0) {
        box->insertItem(0, text);
        box->removeItem(found + 1);
    }
}

void TDNSForm::ReadDropdownList(QComboBox* box) {
    const QSignalBlocker blocker(box);
    const QString text = box->currentText();
    for (int n = 0; n < 8; ++n) {
        const QString entry = Settings->ReadText("Query History",
                                                 box->objectName() + ' ' + QString::number(n),
                                                 "!!NO_DATA");
        if (entry != "!!NO_DATA" && !entry.isEmpty())
            box->addItem(entry);
    }
    box->setEditText(text);
}

void TDNSForm::WriteDropdownList(QComboBox* box) {
    for (int n = 0; n < MaxSavedDropDownCount; ++n) {
        const QString name = box->objectName() + ' ' + QString::number(n);
        Settings->WriteText("Query History", name, n < box->count() ? box->itemText(n) : QString());
    }
}

void TDNSForm::FormCreate() {
    ProgressBar1->setValue(0);
    ReadDropdownList(LookupSubject);
    ReadDropdownList(InEdit);
    ShowExtendedInfo = Settings->ReadSwitch("General", "ShowExtendedInfo", ShowExtendedInfo);
    ExtendedInfo->setChecked(ShowExtendedInfo);
    const int pages = PageControl1->count();
    const int n = Settings->ReadNumber("General", "ActiveTab", 0);
    for (int i = 0; i < n % pages; ++i)
        PageControl1->setCurrentIndex((PageControl1->currentIndex() + 1) % pages);
    if (LookupSubject->count() == 0)
        LookupSubject->setEditText(kDefaultHostName);
}

void TDNSForm::FormDestroy() {
    if (ThreadManager)
        ThreadManager->StopAll();
    ResolverCleanup();
    if (ThreadManager)
        ThreadManager->WaitForAll();
    WriteDropdownList(LookupSubject);
    WriteDropdownList(InEdit);
    Settings->WriteSwitch("General", "ShowExtendedInfo", ShowExtendedInfo);
    Settings->WriteNumber("General", "ActiveTab", PageControl1->currentIndex());
}

} // namespace hostmoor
