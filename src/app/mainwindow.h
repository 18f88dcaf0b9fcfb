#pragma once
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "core/runguard.h"
#include "widgets/look.h"
#include "outlook/outlookscan.h"

#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;

namespace pw {

class StatusLine;
class WindowFit;

// The main window: the Outlook side of the program.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(const Ports &ports, QWidget *parent = nullptr);
    ~Form1() override;

    // Runs the start-up sequence; the constructor does not.
    void Form_Load();

    // Button operations.
    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void PushButton9_Click();

    void Option1_Click();
    void Option2_Click();
    void Combo1_Click();
    void Text1_Change();
    void Text2_Change();

    // Shut-down: stops a scan under way and ends every Outlook process.
    void Form_Unload();

    static QString helpText();
    // The help text's paragraph on where the mail stores are looked for.
    static QString storesHelpText();
    // Draws n in 1..100; n == 7 opens the home page, when there is one. Answers n.
    int OpenHomePageAtRandom();
    // The home page set when the program was built (empty: none).
    QString homePage;

    int pointer() const { return m_pointer->pointer(); }
    void setPointer(int kind) { m_pointer->setPointer(kind); }
    WindowPointer &windowPointer() { return *m_pointer; }
    MessageListModel &listModel() { return *m_model; }
    OutlookScan &scan() { return *m_scan; }
    const Ports &ports() const { return m_ports; }

    // The status line under the list, and the window's resizing rules.
    StatusLine &statusLine() { return *m_status; }
    WindowFit &windowFit() { return *m_fit; }

    // A store named on the command line: "PST File:" chosen, its path
    // filled in (and remembered, as if typed). Call after Form_Load.
    void openStoreFile(const QString &path);

    // Opens the Outlook Express window modally; replaceable in tests.
    std::function<void()> showForm2;
    // Ends the program after the shut-down; replaceable in tests.
    std::function<void()> endProgram;

    // Controls, by their names.
    QPushButton *PushButton1 = nullptr, *PushButton2 = nullptr, *PushButton3 = nullptr,
                *PushButton4 = nullptr, *PushButton5 = nullptr, *PushButton6 = nullptr,
                *PushButton7 = nullptr, *PushButton8 = nullptr, *PushButton9 = nullptr;
    QGroupBox *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr;
    QRadioButton *Option1 = nullptr, *Option2 = nullptr;
    QLineEdit *Text1 = nullptr, *Text2 = nullptr;
    QComboBox *Combo1 = nullptr;
    QTreeView *ListView1 = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void optionSelected(QRadioButton *selected, QRadioButton *other);
    void keepAnOptionSelected(QRadioButton *cleared);

    Ports m_ports;
    MessageListModel *m_model = nullptr;
    WindowPointer *m_pointer = nullptr;
    std::unique_ptr<OutlookScan> m_scan;
    RunGuard m_downloading;
    bool m_unloaded = false;

    // Resizing, the status line, Enter in the search box.
    void fitToWork();
    // A profile without mail files: where they were looked for, and a way
    // to add a folder of them.
    void offerStoreFolder();
    void chooseStoreFolder();
    StatusLine *m_status = nullptr;
    WindowFit *m_fit = nullptr;
};

} // namespace pw
