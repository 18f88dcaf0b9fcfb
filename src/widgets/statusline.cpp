#include "widgets/statusline.h"

#include <QEvent>
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
    m_label->installEventFilter(this);
    row->addWidget(m_label, 1);
    row->addWidget(m_link);
    row->addWidget(m_cancel);

    // Only while work runs: otherwise Esc keeps its meaning (a dialog closes).
    m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window);
    m_escape->setContext(Qt::WindowShortcut);
    m_escape->setEnabled(false);
    connect(m_escape, &QShortcut::activated, this, &StatusLine::requestCancel);
    connect(m_cancel, &QPushButton::clicked, this, &StatusLine::requestCancel);
    connect(m_link, &QLabel::linkActivated, this, [this](const QString &link) {
        if (link == QLatin1String("offer")) {
            if (m_offer)
                m_offer();
        } else if (openFolder && !m_folder.isEmpty()) {
            openFolder(m_folder);
        }
    });
}

void StatusLine::show(const QString &text) {
    m_text = text;
    m_label->setToolTip(text);
    elide();
}

// A path in the middle of the text gives way; what work did and what failed
// (at the text's ends) stay whole. The full text is the tooltip.
void StatusLine::elide() {
    const int width = m_label->contentsRect().width();
    m_label->setText(width > 0 ? m_label->fontMetrics().elidedText(m_text, Qt::ElideMiddle, width) : m_text);
}

QString StatusLine::shownText() const {
    return m_label->text();
}

bool StatusLine::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_label && event->type() == QEvent::Resize)
        elide();
    return QWidget::eventFilter(watched, event);
}

// Work of another kind may start inside work under way (buttons stay live):
// the line counts them, and a cancel belongs to the innermost.
void StatusLine::offer(const QString &text, const QString &linkText, std::function<void()> action) {
    m_folder.clear();
    m_offer = std::move(action);
    m_link->setText(QStringLiteral("<a href=\"offer\">%1</a>").arg(linkText.toHtmlEscaped()));
    m_link->show();
    show(text);
}

void StatusLine::started(const QString &text) {
    ++m_depth;
    m_cancelRequested = false;
    m_folder.clear();
    m_offer = nullptr;
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
    m_offer = nullptr;
    m_link->setText(QStringLiteral("<a href=\"open\">Open folder</a>"));
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
