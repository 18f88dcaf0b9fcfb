#include "express/window/expresswindow.h"

#include "core/error.h"
#include "core/fileroutines.h"
#include "core/operation.h"
#include "core/settingsstore.h"
#include "widgets/statusline.h"
#include "widgets/windowfit.h"
#include "download/emlsaveengine.h"
#include "download/folderpickers.h"
#include "express/conversion.h"
#include "express/storesearch.h"
#include "widgets/qtdialogs.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QUrl>

namespace pw {

namespace {
const QString kWindow = QStringLiteral("Form2");

// Two paths name the same file when they lead to it, however they are written.
QString dbxFileKey(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

QString homeFolder() {
    QString home = QDir::homePath();
    if (home.endsWith(QLatin1Char('/')))
        home.chop(1);
    return home;
}
} // namespace

Form2::Form2(const Ports &ports, QWidget *parent) : QDialog(parent), m_ports(ports) {
    setObjectName(QStringLiteral("Form2"));
    setModal(true);
    // A dialog's frame offers no maximise button unless asked; the lists
    // are what a larger window is for.
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    m_files = new MessageListModel(this);
    m_messages = new MessageListModel(this);
    m_pointer = new WindowPointer(*this);
    converterFolder = applicationFolder();
    buildControls();
}

void Form2::buildControls() {
    setUpWindow(*this, 8040, 7980);
    auto button = [this](QPushButton *&b, const char *name, const QString &caption, QWidget *parent,
                         int l, int t, int w, int h) {
        b = makeButton(*this, parent, name, caption, l, t, w, h);
        m_pointer->hover(b, PointerCustom);
    };
    auto list = [this](QTreeView *&v, const char *name, MessageListModel *model, int top) {
        v = new QTreeView(this);
        v->setObjectName(QLatin1String(name));
        v->setGeometry(twipsRect(120, top, 7800, 2115, this));
        setUpListView(*v, *model);
        m_pointer->hover(v, PointerCustom);
        m_pointer->hover(v->viewport(), PointerCustom);
    };

    button(PushButton14, "PushButton14", QStringLiteral("Search For Outlook Express"), this, 120, 120, 3840, 405);
    button(PushButton1, "PushButton1", QStringLiteral("Add Outlook Express File"), this, 4080, 120, 3840, 405);
    list(ListView1, "ListView1", m_files, 630);
    button(PushButton5, "PushButton5", QStringLiteral("Select All Items"), this, 120, 2820, 3840, 405);
    button(PushButton3, "PushButton3", QStringLiteral("Deselect All Items"), this, 4080, 2820, 3840, 405);
    button(PushButton2, "PushButton2", QStringLiteral("Extract Emails With Attachment(s) From Outlook Express"),
           this, 120, 3330, 7800, 405);
    list(ListView2, "ListView2", m_messages, 3840);
    Frame1 = new QGroupBox(QStringLiteral("Save Attachment(s) To This Folder"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(120, 6000, 7800, 825, this));
    Text3 = new QLineEdit(Frame1);
    Text3->setObjectName(QStringLiteral("Text3"));
    Text3->setGeometry(twipsRect(225, 300, 6660, 345, this));
    button(PushButton8, "PushButton8", QStringLiteral("..."), Frame1, 6960, 300, 600, 345);
    button(PushButton4, "PushButton4", QStringLiteral("Select All Items"), this, 120, 6930, 3840, 405);
    button(PushButton6, "PushButton6", QStringLiteral("Deselect All Items"), this, 4080, 6930, 3840, 405);
    button(PushButton7, "PushButton7", QStringLiteral("Start Downloading"), this, 120, 7440, 7800, 405);
    m_pointer->hover(this, PointerDefault);
    m_pointer->hover(Frame1, PointerDefault);

    // Help shown on the window's "What's This" and as the saving button's tip.
    const QString help = QStringLiteral(
        "\"Start Downloading\" saves every attachment of the ticked messages into the folder named under "
        "\"Save Attachment(s) To This Folder\", never over a file that is already there: a name that is taken "
        "gets a number.\n\n"
        "A winmail.dat attachment (the wrapper some Outlook mail arrives in) is unpacked: the files inside it are "
        "saved in its place, and a message attached inside it is saved as an .eml file. A winmail.dat that holds "
        "no file, or cannot be read, is saved as it is.");
    setWhatsThis(help);
    PushButton7->setToolTip(help);
    PushButton7->setWhatsThis(help);

    connect(PushButton14, &QPushButton::clicked, this, &Form2::PushButton14_Click);
    connect(PushButton1, &QPushButton::clicked, this, &Form2::PushButton1_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form2::PushButton3_Click);
    connect(PushButton2, &QPushButton::clicked, this, &Form2::PushButton2_Click);
    connect(PushButton4, &QPushButton::clicked, this, &Form2::PushButton4_Click);
    connect(PushButton6, &QPushButton::clicked, this, &Form2::PushButton6_Click);
    connect(PushButton7, &QPushButton::clicked, this, &Form2::PushButton7_Click);
    connect(PushButton8, &QPushButton::clicked, this, &Form2::PushButton8_Click);
    connect(Text3, &QLineEdit::textChanged, this, [this] { Text3_Change(); });
    fitToWork();
}

// The two lists share the room a larger window gives; full-width controls
// stretch, the button pairs share the width, the rest keeps its place.
void Form2::fitToWork() {
    m_fit = new WindowFit(*this, QStringLiteral("Form2"));
    m_fit->place(PushButton14, 0, 0.5);
    m_fit->place(PushButton1, 0.5, 0.5);
    m_fit->place(ListView1, 0, 1, 0, 0.5);
    m_fit->place(PushButton5, 0, 0.5, 0.5, 0);
    m_fit->place(PushButton3, 0.5, 0.5, 0.5, 0);
    m_fit->place(PushButton2, 0, 1, 0.5, 0);
    m_fit->place(ListView2, 0, 1, 0.5, 0.5);
    m_fit->place(Frame1, 0, 1, 1, 0);
    m_fit->place(Text3, 0, 1);
    m_fit->place(PushButton8, 1, 0);
    m_fit->place(PushButton4, 0, 0.5, 1, 0);
    m_fit->place(PushButton6, 0.5, 0.5, 1, 0);
    m_fit->place(PushButton7, 0, 1, 1, 0);
    // Subject takes the spare width; From and To give way first, so the
    // date stays in view at the given size.
    new ColumnPolicy(*ListView2, 2, {{0, 1100}, {1, 1100}});
    m_fit->rememberColumns(ListView2, QStringLiteral("ListView2"));
    // Files of one folder differ at the end of their paths: a long path
    // loses its middle, and the whole path shows as the row's tip.
    ListView1->setTextElideMode(Qt::ElideMiddle);
    ListView1->header()->setStretchLastSection(true);
    m_status = m_fit->addStatusLine();
    m_status->openFolder = [this](const QString &folder) {
        if (m_ports.urls)
            m_ports.urls->openUrl(QUrl::fromLocalFile(folder).toString());
    };
}

void Form2::Form_Load() {
    // Start-up steps report nothing; a failing step is passed over.
    auto quietly = [](auto &&f) {
        try {
            f();
        } catch (...) {
        }
    };
    quietly([&] { ApplyStandardColours(*this); });
    setWindowTitle(QStringLiteral("Parcelwise"));
    setWindowIcon(QIcon(QStringLiteral(":/parcelwise.svg")));
    quietly([&] { m_fit->restore(); });
    quietly([&] { CenterWindow(*this); });
    quietly([&] { loadHandPointer(*m_pointer, applicationFolder()); });
    if (m_files->columnCount() == 0)
        m_files->addColumn(QStringLiteral("DBX File(s)"), 6000);
    if (m_messages->columnCount() == 0) {
        m_messages->addColumn(QStringLiteral("From"), 1500);
        m_messages->addColumn(QStringLiteral("To"), 1500);
        m_messages->addColumn(QStringLiteral("Subject"), 2000);
        m_messages->addColumn(QStringLiteral("Date Received"), 1500);
    }
    // An absent Location defaults to the desktop; one cleared by the user
    // stays empty.
    QString location;
    quietly([&] { location = SettingsStore::GetSetting(QStringLiteral("Location"), defaultLocation()); });
    if (location.isNull())
        location = SettingsStore::GetSetting(QStringLiteral("Location"), QString());
    Text3->setText(location);
    quietly([&] { m_fit->restoreColumns(); });
}

QString Form2::defaultLocation() {
    // A fresh account may have no desktop folder; saving into a missing
    // folder would fail once per attachment.
    try {
        const QString desktop = DesktopFolderPath();
        if (QFileInfo(desktop).isDir())
            return desktop;
    } catch (...) {
    }
    return homeFolder() + QLatin1Char('/');
}

QString Form2::expandLocation(const QString &text) {
    if (text == QLatin1String("~"))
        return homeFolder() + QLatin1Char('/');
    if (text.startsWith(QLatin1String("~/")))
        return homeFolder() + text.mid(1);
    return text;
}

void Form2::Form_QueryUnload() {
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_fit->save();
    // Saving under way stops before its next message.
    m_status->requestCancel();
    // A converter still running would go on writing into the folder about
    // to be emptied: it is ended, and waited for, first.
    if (m_ports.launcher)
        m_conversionStop.stop(*m_ports.launcher);
    m_ports.events->processEvents();
    m_ports.events->processEvents();
    try {
        DeleteMatchingFiles(workingFolderOrCreate() + QStringLiteral("/*.eml"));
    } catch (...) {
        // Leftover working files are harmless; the window always closes.
    }
    m_ports.events->processEvents();
    m_ports.events->processEvents();
}

void Form2::closeEvent(QCloseEvent *event) {
    Form_QueryUnload();
    event->accept();
    QDialog::closeEvent(event);
}

void Form2::reject() {
    Form_QueryUnload();
    QDialog::reject();
}

void Form2::PushButton14_Click() {
    Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton14_Click"));
    op.step(100, [&] { Express1::FoundDbxFiles.clear(); });
    op.step(102, [&] {
        try {
            Express1::FindStoreFiles(*m_ports.dialogs);
        } catch (...) {
            // A failed search lists nothing, not half of what it found.
            Express1::FoundDbxFiles.clear();
            throw;
        }
    });
    const QStringList found = Express1::FoundDbxFiles;
    for (const QString &path : found)
        op.step(104, [&] { appendDbxFile(path); });
}

// Each file is listed once: a file listed twice would be converted, listed
// and saved twice.
void Form2::appendDbxFile(const QString &path) {
    const QString key = dbxFileKey(path);
    for (int row = 0; row < m_files->count(); ++row) {
        if (dbxFileKey(m_files->text(row, 0)) == key)
            return;
    }
    m_files->appendRow({path});
}

void Form2::PushButton1_Click() {
    Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton1_Click"));
    QStringList chosen;
    op.step(100, [&] {
        chosen = m_ports.dialogs->openFiles(QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"),
                                            QStringLiteral("DBX Files (*.dbx)|*.dbx|"), true);
    });
    if (op.test(102, [&] { return chosen.isEmpty(); }))
        return;
    for (const QString &path : std::as_const(chosen))
        op.step(104, [&] { appendDbxFile(path); });
}

void Form2::PushButton5_Click() {
    TickAllRows(*m_ports.dialogs, *m_files, kWindow, QStringLiteral("PushButton5_Click"), true);
}

void Form2::PushButton3_Click() {
    TickAllRows(*m_ports.dialogs, *m_files, kWindow, QStringLiteral("PushButton3_Click"), false);
}

void Form2::PushButton4_Click() {
    TickAllRows(*m_ports.dialogs, *m_messages, kWindow, QStringLiteral("PushButton4_Click"), true);
}

void Form2::PushButton6_Click() {
    TickAllRows(*m_ports.dialogs, *m_messages, kWindow, QStringLiteral("PushButton6_Click"), false);
}

QString Form2::workingFolderOrCreate() {
    return workingFolder.isEmpty() ? emlWorkingFolder() : workingFolder;
}

void Form2::PushButton2_Click() {
    if (m_unloaded)
        return;
    m_converting.run([this] {
        ConversionContext context{*m_ports.dialogs, *m_ports.events, *m_ports.launcher, *m_files, *m_messages,
                                  EmlFileNames, converterFolder, [this] { return workingFolderOrCreate(); },
                                  [this](int kind) { setPointer(kind); }, &m_conversionStop, m_status};
        convertDbxFiles(context);
        fitColumns(*ListView2, *m_messages);
    });
}

void Form2::PushButton7_Click() {
    if (m_unloaded)
        return;
    m_downloading.run([this] { saveAttachments(); });
}

bool Form2::locationAccepted() {
    if (m_messages->checkedCount() == 0)
        return true; // nothing will be written
    const QString location = expandLocation(Text3->text());
    // An empty or relative Location is refused by the save itself.
    if (location.trimmed().isEmpty() || !QDir::isAbsolutePath(location))
        return true;
    const QFileInfo info(location);
    if (info.isDir())
        return true;
    const QString problem = info.exists() ? QStringLiteral("\"%1\" is not a folder.")
                                          : QStringLiteral("The folder \"%1\" does not exist.");
    m_ports.dialogs->messageBox(problem.arg(location)
                                    + QStringLiteral(" Please enter the folder to save the attachments to in \"%1\".")
                                          .arg(Frame1->title()),
                                MsgButtons::Ok, MsgIcon::Exclamation, QString());
    return false;
}

void Form2::saveAttachments() {
    if (!locationAccepted())
        return;
    QString folder;
    QString problem = QStringLiteral("There is no folder to read the converted messages from");
    try {
        folder = workingFolderOrCreate();
    } catch (const std::exception &e) {
        problem = QString::fromUtf8(e.what());
    }
    if (folder.isEmpty()) {
        // Every ticked row's message is read from the working folder: the
        // step that forms its path there (110) fails once for the run, which
        // then ends as every run does.
        Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton7_Click"));
        if (m_messages->checkedCount() > 0)
            op.fail(110, std::make_exception_ptr(Error(problem)));
        op.step(156, [&] { setPointer(PointerDefault); });
        op.step(158, [&] {
            m_ports.dialogs->messageBox(QStringLiteral("Done."), MsgButtons::Ok, MsgIcon::None, QString());
        });
        return;
    }
    EmlSaveContext context{*m_ports.dialogs, *m_ports.events, *m_messages, EmlFileNames, folder,
                           [this] { return expandLocation(Text3->text()); }, [this](int kind) { setPointer(kind); },
                           m_status};
    saveEmlAttachments(context);
}

void Form2::PushButton8_Click() {
    Operation op(*m_ports.dialogs, kWindow, QStringLiteral("PushButton8_Click"));
    QString folder;
    op.step(100, [&] { folder = AddFolder(*m_ports.dialogs, winId(), QStringLiteral("Please select folder:")); });
    if (op.test(102, [&] { return folder.isEmpty(); }))
        return;
    if (op.test(104, [&] { return !folder.endsWith(QLatin1Char('/')); }))
        op.step(106, [&] { Text3->setText(folder + QLatin1Char('/')); });
    else
        op.step(108, [&] { Text3->setText(folder); });
}

void Form2::Text3_Change() {
    SettingsStore::SaveSetting(QStringLiteral("Location"), Text3->text());
}

// Opening from the command line or a file manager.
void Form2::addDbxFiles(const QStringList &paths) {
    for (const QString &path : paths)
        appendDbxFile(path);
}

} // namespace pw
