#include "widgets/statusline.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>

namespace pw {

StatusLine::StatusLine(QWidget &window) : QWidget(&window) {
    setObjectName(QStringLiteral("StatusLine"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("StatusText"));
    // A long text (a deep folder path) must not widen the window.
    m_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("StatusOpenFolder"));
    m_link->setTextFormat(Qt::RichText);
    m_link->setText(QStringLiteral("<a href=\"open\">Open folder</a>"));
    m_link->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("StatusCancel"));
    m_cancel->setAutoDefault(false);
    m_cancel->hide();
    row->addWidget(m_label, 1);
    row->addWidget(m_link);
    row->addWidget(m_cancel);

    // Only while work runs: otherwise Esc keeps its meaning (a dialog closes).
    m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window);
    m_escape->setContext(Qt::WindowShortcut);
    m_escape->setEnabled(false);
    connect(m_escape, &QShortcut::activated, this, &StatusLine::requestCancel);
    connect(m_cancel, &QPushButton::clicked, this, &StatusLine::requestCancel);
    connect(m_link, &QLabel::linkActivated, this, [this] {
        if (openFolder && !m_folder.isEmpty())
            openFolder(m_folder);
    });
}

void StatusLine::show(const QString &text) {
    m_text = text;
    m_label->setText(text);
    m_label->setToolTip(text);
}

// Work of another kind may start inside work under way (buttons stay live):
// the line counts them, and a cancel belongs to the innermost.
void StatusLine::started(const QString &text) {
    ++m_depth;
    m_cancelRequested = false;
    m_folder.clear();
    m_link->hide();
    m_cancel->show();
    m_escape->setEnabled(true);
    show(text);
}

void StatusLine::progress(const QString &text) {
    show(text);
}

void StatusLine::finished(const QString &text, const QString &folder) {
    if (m_depth > 0)
        --m_depth;
    m_cancelRequested = false;
    if (m_depth == 0) {
        m_cancel->hide();
        m_escape->setEnabled(false);
    }
    m_folder = folder;
    m_link->setVisible(!folder.isEmpty());
    show(text);
}

void StatusLine::requestCancel() {
    if (m_depth == 0)
        return;
    m_cancelRequested = true;
    show(m_text.endsWith(QStringLiteral(" Stopping...")) ? m_text : m_text + QStringLiteral(" Stopping..."));
}

} // namespace pw
