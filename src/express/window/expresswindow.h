#pragma once
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/runguard.h"
#include "widgets/look.h"
#include "express/conversion.h"

#include <QDialog>
#include <QStringList>

class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace pw {

class StatusLine;
class WindowFit;

// The Outlook Express window, shown modally over the main window: .dbx
// files in the upper list, converted messages in the lower one, and the
// folder their attachments are saved to.
class Form2 : public QDialog {
    Q_OBJECT
public:
    explicit Form2(const Ports &ports, QWidget *parent = nullptr);

    void Form_Load();
    void Form_QueryUnload();

    void PushButton14_Click();  // "Search For Outlook Express"
    void PushButton1_Click();   // "Add Outlook Express File"
    void PushButton5_Click();   // select all files
    void PushButton3_Click();   // deselect all files
    void PushButton2_Click();   // convert and list
    void PushButton4_Click();   // select all messages
    void PushButton6_Click();   // deselect all messages
    void PushButton7_Click();   // save the attachments
    void PushButton8_Click();   // choose the Location

    // .dbx files named on the command line, added as "Add" adds them.
    void addDbxFiles(const QStringList &paths);
    void Text3_Change();

    // The Location as a folder path: "~/" at its start is the home folder.
    static QString expandLocation(const QString &text);
    // The Location of a window that has none remembered: the desktop
    // folder when there is one, else the home folder; ends with "/".
    static QString defaultLocation();

    int pointer() const { return m_pointer->pointer(); }
    void setPointer(int kind) { m_pointer->setPointer(kind); }
    WindowPointer &windowPointer() { return *m_pointer; }
    MessageListModel &fileList() { return *m_files; }
    MessageListModel &messageList() { return *m_messages; }
    // The status line under the lists, and the window's resizing rules.
    StatusLine &statusLine() { return *m_status; }
    WindowFit &windowFit() { return *m_fit; }

    // The .eml file behind each row of the message list.
    QStringList EmlFileNames;
    // Where the converter is looked for ("unfurl" in this folder) and where
    // the .eml files go; tests point them elsewhere.
    QString converterFolder;
    QString workingFolder;

    QPushButton *PushButton14 = nullptr, *PushButton1 = nullptr, *PushButton5 = nullptr,
                *PushButton3 = nullptr, *PushButton2 = nullptr, *PushButton4 = nullptr,
                *PushButton6 = nullptr, *PushButton7 = nullptr, *PushButton8 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLineEdit *Text3 = nullptr;
    QTreeView *ListView1 = nullptr, *ListView2 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void buildControls();
    QString workingFolderOrCreate();
    // Appends a .dbx file to the file list unless that file is listed already.
    void appendDbxFile(const QString &path);
    // Refuses, with one message, a Location that names no existing folder.
    bool locationAccepted();
    void saveAttachments();

    Ports m_ports;
    MessageListModel *m_files = nullptr;
    MessageListModel *m_messages = nullptr;
    WindowPointer *m_pointer = nullptr;
    bool m_unloaded = false;
    RunGuard m_converting;
    RunGuard m_downloading;
    ConversionStop m_conversionStop;

    // Resizing, the status line, long paths elided in the middle.
    void fitToWork();
    StatusLine *m_status = nullptr;
    WindowFit *m_fit = nullptr;
};

} // namespace pw
