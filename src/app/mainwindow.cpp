#include "app/mainwindow.h"

#include "core/fileroutines.h"
#include "core/operation.h"
#include "core/settingsstore.h"
#include "widgets/statusline.h"
#include "widgets/windowfit.h"
#include "buildconfig.h"
#include "download/outlookdownload.h"
#include "outlook/outlookroutines.h"
#include "platform/process/processterminator.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>
#include <QTreeView>
#include <QUrl>

#include <cmath>

// Resources of a static library are registered by hand.
static void initParcelwiseResources() {
    Q_INIT_RESOURCE(resources);
}

namespace pw {

namespace {
const QString kWindow = QStringLiteral("Form1");

struct Column {
    const char *header;
    int widthTwips;
};
constexpr Column kColumns[] = {
    {"Root", 2000},  {"Folder", 2000}, {"Subfolder", 2000},   {"Date", 1500}, {"From/To", 1900},
    {"Email", 2000}, {"Attachments", 1500}, {"Subject", 7000}, {"ID", 1},
};

constexpr int kFromColumn = 4;
constexpr int kSubjectColumn = 7;

const char *const kDownloadOptions[] = {"Checked Items", "All",           "Inbox",
                                        "Outbox",        "Drafts",        "Sent Items",
                                        "Deleted Items", "User-specified Folder"};
} // namespace

Form1::Form1(const Ports &ports, QWidget *parent) : QWidget(parent), m_ports(ports) {
    initParcelwiseResources();
    setObjectName(QStringLiteral("Form1"));
    m_model = new MessageListModel(this);
    m_pointer = new WindowPointer(*this);
    buildControls();
    ScanControls controls;
    controls.option1Selected = [this] { return Option1->isChecked(); };
    controls.option2Selected = [this] { return Option2->isChecked(); };
    controls.pstPath = [this] { return Text2->text(); };
    controls.searchText = [this] { return Text1->text(); };
    controls.setPointer = [this](int kind) { setPointer(kind); };
    controls.redrawList = [this] { ListView1->viewport()->update(); };
    controls.status = m_status;
    controls.noStoreFiles = [this] { offerStoreFolder(); };
    m_scan = std::make_unique<OutlookScan>(*m_ports.dialogs, *m_ports.events, *m_model, controls);
    m_scan->setPstPath = [this](const QString &path) { Text2->setText(path); };
    homePage = QStringLiteral(PARCELWISE_HOME_PAGE);
    showForm2 = [] {};
    endProgram = [] { QApplication::exit(0); };
}

Form1::~Form1() = default;

void Form1::buildControls() {
    setUpWindow(*this, 8040, 9060);
    auto button = [this](QPushButton *&b, const char *name, const QString &caption, QWidget *parent,
                         int l, int t, int w, int h) { b = makeButton(*this, parent, name, caption, l, t, w, h); };
    auto frame = [this](QGroupBox *&f, const char *name, const QString &caption, int l, int t, int w, int h) {
        f = new QGroupBox(caption, this);
        f->setObjectName(QLatin1String(name));
        f->setGeometry(twipsRect(l, t, w, h, this));
    };

    button(PushButton7, "PushButton7", QStringLiteral("Help"), this, 120, 120, 7800, 405);
    frame(Frame1, "Frame1", QStringLiteral("Source"), 120, 630, 7800, 1875);
    Option1 = new QRadioButton(
        QStringLiteral("Outlook 2000/2002/2003/2007/2010/etc. (Outlook but not Outlook Express)"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(twipsRect(240, 300, 6870, 255, this));
    Option2 = new QRadioButton(QStringLiteral("PST File:"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(twipsRect(240, 780, 1230, 255, this));
    // Exclusion is done by hand, so that the stored pair is applied one
    // option at a time as it is read.
    Option1->setAutoExclusive(false);
    Option2->setAutoExclusive(false);
    Text2 = new QLineEdit(Frame1);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(1320, 720, 5565, 400, this));
    button(PushButton8, "PushButton8", QStringLiteral("..."), Frame1, 6960, 720, 585, 405);
    button(PushButton9, "PushButton9", QStringLiteral("Show Outlook Express Options"), Frame1, 240, 1275, 7320, 405);
    button(PushButton1, "PushButton1", QStringLiteral("Get All Emails From Outlook"), this, 120, 2625, 3840, 405);
    button(PushButton4, "PushButton4", QStringLiteral("Get Only Emails With Attachments"), this, 4080, 2625, 3840, 405);

    ListView1 = new QTreeView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(twipsRect(120, 3120, 7800, 3105, this));
    setUpListView(*ListView1, *m_model);
    // Subject takes the spare width; where there is too little, the store
    // and folder columns give way and Email and Attachments lie beyond the
    // edge, so that the date, sender and subject of a row stay readable.
    new ColumnPolicy(*ListView1, kSubjectColumn,
                     {{0, 800}, {1, 800}, {2, 600}, {kFromColumn, 1100}}, {5, 6});

    button(PushButton5, "PushButton5", QStringLiteral("Select All Items"), this, 120, 6315, 3840, 405);
    button(PushButton6, "PushButton6", QStringLiteral("Deselect All Items"), this, 4080, 6315, 3840, 405);
    frame(Frame3, "Frame3", QStringLiteral("Search For"), 120, 6750, 7800, 800);
    Text1 = new QLineEdit(Frame3);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(240, 300, 5895, 345, this));
    button(PushButton2, "PushButton2", QStringLiteral("Find"), Frame3, 6240, 300, 1275, 345);
    frame(Frame2, "Frame2", QStringLiteral("Download Option"), 120, 7590, 7800, 790);
    Combo1 = new QComboBox(Frame2);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(twipsRect(240, 300, 7305, 345, this));
    button(PushButton3, "PushButton3", QStringLiteral("Start Downloading"), this, 120, 8520, 7815, 405);

    connect(PushButton1, &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(PushButton6, &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(PushButton7, &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(PushButton8, &QPushButton::clicked, this, &Form1::PushButton8_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form1::PushButton9_Click);
    connect(Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option1_Click();
        else
            keepAnOptionSelected(Option1);
    });
    connect(Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option2_Click();
        else
            keepAnOptionSelected(Option2);
    });
    connect(Combo1, &QComboBox::currentIndexChanged, this, [this] { Combo1_Click(); });
    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
    connect(Text2, &QLineEdit::textChanged, this, [this] { Text2_Change(); });

    for (QPushButton *b : {PushButton1, PushButton2, PushButton3, PushButton4, PushButton5, PushButton6,
                           PushButton7, PushButton8, PushButton9})
        m_pointer->hover(b, PointerCustom);
    for (QWidget *w : std::initializer_list<QWidget *>{this, Frame1, Frame2, Frame3, ListView1, Text1})
        m_pointer->hover(w, PointerDefault);
    m_pointer->hover(ListView1->viewport(), PointerDefault);
    fitToWork();
}

// The list takes the room a larger window gives; full-width controls
// stretch, the button pairs share the width, the rest keeps its place.
void Form1::fitToWork() {
    m_fit = new WindowFit(*this, QStringLiteral("Form1"));
    m_fit->place(PushButton7, 0, 1);
    m_fit->place(Frame1, 0, 1);
    m_fit->place(Text2, 0, 1);
    m_fit->place(PushButton8, 1, 0);
    m_fit->place(PushButton9, 0, 1);
    m_fit->place(PushButton1, 0, 0.5);
    m_fit->place(PushButton4, 0.5, 0.5);
    m_fit->place(ListView1, 0, 1, 0, 1);
    m_fit->place(PushButton5, 0, 0.5, 1, 0);
    m_fit->place(PushButton6, 0.5, 0.5, 1, 0);
    m_fit->place(Frame3, 0, 1, 1, 0);
    m_fit->place(Text1, 0, 1);
    m_fit->place(PushButton2, 1, 0);
    m_fit->place(Frame2, 0, 1, 1, 0);
    m_fit->place(Combo1, 0, 1);
    m_fit->place(PushButton3, 0, 1, 1, 0);
    m_fit->rememberColumns(ListView1, QStringLiteral("ListView1"));
    m_status = m_fit->addStatusLine();
    m_status->openFolder = [this](const QString &folder) {
        if (m_ports.urls)
            m_ports.urls->openUrl(QUrl::fromLocalFile(folder).toString());
    };
    // Enter in the search box searches, as "Find" does.
    connect(Text1, &QLineEdit::returnPressed, this, &Form1::PushButton2_Click);
}

void Form1::Form_Load() {
    // Start-up steps report nothing; a failing step is passed over.
    auto quietly = [](auto &&f) {
        try {
            f();
        } catch (...) {
        }
    };
    quietly([&] { ApplySkin(*this, applicationFolder()); });
    quietly([&] { m_fit->restore(); });
    quietly([&] { CenterWindow(*this); });
    setWindowTitle(QStringLiteral("Parcelwise"));
    setWindowIcon(QIcon(QStringLiteral(":/parcelwise.svg")));
    quietly([&] { loadHandPointer(*m_pointer, applicationFolder()); });
    quietly([&] { OpenHomePageAtRandom(); });
    Text2->setText(SettingsStore::GetSetting(QStringLiteral("PST File"), QString()));
    if (m_model->columnCount() == 0) {
        for (const Column &c : kColumns)
            m_model->addColumn(QLatin1String(c.header), c.widthTwips);
        // Shown next to the sender, before the address and the count.
        QHeaderView *header = ListView1->header();
        header->moveSection(header->visualIndex(kSubjectColumn), header->visualIndex(kFromColumn) + 1);
    }
    m_model->clear();
    ListView1->viewport()->update();
    {
        const QSignalBlocker block(Combo1);
        for (const char *entry : kDownloadOptions)
            Combo1->addItem(QLatin1String(entry));
        Combo1->setCurrentIndex(-1);
    }
    int index = SettingsStore::readWholeNumber(QStringLiteral("Combo1"), 0);
    if (index < 0 || index >= Combo1->count())
        index = 0;
    Combo1->setCurrentIndex(index);
    Text1->setText(SettingsStore::GetSetting(QStringLiteral("Text1"), QString()));
    Option1->setChecked(SettingsStore::readTruth(QStringLiteral("Option1"), true));
    Option2->setChecked(SettingsStore::readTruth(QStringLiteral("Option2"), false));
    // A stored pair with neither selected would leave the scan buttons
    // without a source: the window's own default applies.
    if (!Option1->isChecked() && !Option2->isChecked())
        Option1->setChecked(true);
    quietly([&] { m_fit->restoreColumns(); });
}

int Form1::OpenHomePageAtRandom() {
    const QTime t = m_ports.clock->now().time();
    m_ports.random->seed(static_cast<std::uint64_t>(t.msecsSinceStartOfDay()));
    const int n = static_cast<int>(std::floor(m_ports.random->next() * 100.0)) + 1;
    if (n == 7 && !homePage.trimmed().isEmpty())
        m_ports.urls->openUrl(homePage.trimmed());
    return n;
}

// The option just selected clears the other; both are stored either way.
void Form1::optionSelected(QRadioButton *selected, QRadioButton *other) {
    if (selected->isChecked() && other->isChecked()) {
        const QSignalBlocker block(other);
        other->setChecked(false);
    }
    SettingsStore::SaveSetting(QStringLiteral("Option1"), SettingsStore::fromTruth(Option1->isChecked()));
    SettingsStore::SaveSetting(QStringLiteral("Option2"), SettingsStore::fromTruth(Option2->isChecked()));
}

// Clicking the option that is already selected must not clear it: one of
// the pair is always the source.
void Form1::keepAnOptionSelected(QRadioButton *cleared) {
    if (Option1->isChecked() || Option2->isChecked())
        return;
    const QSignalBlocker block(cleared);
    cleared->setChecked(true);
}

void Form1::Option1_Click() {
    optionSelected(Option1, Option2);
}

void Form1::Option2_Click() {
    optionSelected(Option2, Option1);
}

void Form1::Combo1_Click() {
    if (Combo1->currentIndex() >= 0)
        SettingsStore::SaveSetting(QStringLiteral("Combo1"), QString::number(Combo1->currentIndex()));
}

void Form1::Text1_Change() {
    SettingsStore::SaveSetting(QStringLiteral("Text1"), Text1->text());
}

void Form1::Text2_Change() {
    SettingsStore::SaveSetting(QStringLiteral("PST File"), Text2->text());
}

QString Form1::helpText() {
    const QString gap = QStringLiteral("\r\n\r\n");
    return QStringLiteral("If you are getting a query message that says") + gap
           + QStringLiteral("\"Allow access for x minutes Yes No Help\"") + gap
           + QStringLiteral("You may want to deactivate it so that my software can work with Outlook for a "
                            "longer period of time.")
           + gap + QStringLiteral("To deactivate this query message, look for an option resembling:") + gap
           + QStringLiteral("Outlook > Tools > Trust Center > Allow programmatic access") + gap
           + storesHelpText();
}

// Where the first option's stores come from, for a newcomer whose list
// stays empty.
QString Form1::storesHelpText() {
    return QStringLiteral(
        "Where your mail stores are looked for: the .pst and .ost files named by the environment variable "
        "PARCELWISE_PROFILE (files or folders, separated by \":\"), or, when it is not set, those in "
        "~/Documents/Outlook Files and in the folders added with \"Choose a folder of mail files...\" (offered "
        "under the list when no mail file is found). To read one PST file from anywhere, choose \"PST File:\" "
        "and pick it with \"...\".");
}

void Form1::offerStoreFolder() {
    m_status->offer(QStringLiteral("No mail files (.pst, .ost) were found in %1.").arg(Outlook1::storePlacesText()),
                    QStringLiteral("Choose a folder of mail files..."), [this] { chooseStoreFolder(); });
}

void Form1::chooseStoreFolder() {
    QString folder;
    try {
        folder = m_ports.dialogs->pickFolder(QStringLiteral("Choose a folder of mail files"));
    } catch (...) {
        return;
    }
    if (folder.isEmpty())
        return;
    Outlook1::addStoreFolder(folder);
    if (!qEnvironmentVariableIsEmpty("PARCELWISE_PROFILE")) {
        m_status->finished(QStringLiteral("Added %1; PARCELWISE_PROFILE is set, so its places are read instead "
                                          "until it is unset.").arg(folder));
        return;
    }
    m_status->finished(QStringLiteral("Added %1 to the places mail files are read from; click \"%2\" to list "
                                      "its mail.").arg(folder, PushButton1->text()));
}

void Form1::PushButton7_Click() {
    Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton7_Click"));
    op.step(112, [&] { m_ports.dialogs->messageBox(helpText(), MsgButtons::Ok, MsgIcon::None, QString()); });
}

void Form1::PushButton9_Click() {
    Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton9_Click"));
    op.step(100, [&] { showForm2(); });
}

void Form1::PushButton5_Click() {
    TickAllRows(*m_ports.dialogs, *m_model, kWindow, QStringLiteral("PushButton5_Click"), true);
}

void Form1::PushButton6_Click() {
    TickAllRows(*m_ports.dialogs, *m_model, kWindow, QStringLiteral("PushButton6_Click"), false);
}

void Form1::PushButton1_Click() {
    m_scan->PushButton1_Click();
    fitColumns(*ListView1, *m_model);
}

void Form1::PushButton2_Click() {
    m_scan->PushButton2_Click();
    fitColumns(*ListView1, *m_model);
}

void Form1::PushButton3_Click() {
    if (m_unloaded)
        return;
    m_downloading.run([this] {
        DownloadControls controls;
        controls.choiceText = [this] { return Combo1->currentText(); };
        controls.setPointer = [this](int kind) { setPointer(kind); };
        controls.sourcePstPath = [this] { return m_scan->listSourcePstPath; };
        controls.events = m_ports.events;
        controls.status = m_status;
        OutlookDownload(*m_ports.dialogs, *m_model, controls);
    });
}

void Form1::PushButton4_Click() {
    m_scan->PushButton4_Click();
    fitColumns(*ListView1, *m_model);
}

void Form1::PushButton8_Click() {
    m_scan->PushButton8_Click();
}

void Form1::Form_Unload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_fit->save();
    // A download under way stops before its next message.
    m_status->requestCancel();
    // A scan under way would go on with the store open behind a closed
    // window; it stops at its next event point instead.
    m_scan->stop();
    if (m_ports.processes)
        TerminateProcessesByName(*m_ports.processes, QStringLiteral("OUTLOOK.EXE"));
}

void Form1::closeEvent(QCloseEvent *event) {
    Form_Unload();
    event->accept();
    endProgram();
}

// Opening from the command line or a file manager.
void Form1::openStoreFile(const QString &path) {
    Option2->setChecked(true);
    Text2->setText(path);
}

} // namespace pw
