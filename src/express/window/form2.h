#pragma once
#include "app/core/messagelistmodel.h"
#include "app/core/ports.h"
#include "app/look/look.h"

#include <QDialog>
#include <QStringList>

class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace pw {

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
    void Text3_Change();

    int pointer() const { return m_pointer->pointer(); }
    void setPointer(int kind) { m_pointer->setPointer(kind); }
    WindowPointer &windowPointer() { return *m_pointer; }
    MessageListModel &fileList() { return *m_files; }
    MessageListModel &messageList() { return *m_messages; }

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
    // The working folder, or a report under `operation` when it cannot be made.
    bool workingFolderFor(const QString &operation, QString &folder);

    Ports m_ports;
    MessageListModel *m_files = nullptr;
    MessageListModel *m_messages = nullptr;
    WindowPointer *m_pointer = nullptr;
    bool m_unloaded = false;
};

} // namespace pw
