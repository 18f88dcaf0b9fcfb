#include "widgets/windowfit.h"

#include "core/messagelistmodel.h"
#include "widgets/look.h"
#include "widgets/statusline.h"

#include <QEvent>
#include <QHeaderView>
#include <QScreen>
#include <QSettings>
#include <QTreeView>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace pw {

namespace {

// Beside the six remembered choices, in a group of their own.
#define PW_WINDOW_SETTINGS(settings)                                                                                \
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillmark"),                  \
                       QStringLiteral("Parcelwise"));                                                               \
    (settings).beginGroup(QStringLiteral("Windows"))

constexpr int kColumnFloorTwips = 600;
constexpr int kColumnCeilingTwips = 7000;
constexpr int kStatusHeightTwips = 390;

int share(int extra, double part) {
    return static_cast<int>(std::lround(extra * part));
}

} // namespace

WindowFit::WindowFit(QWidget &window, const QString &name)
    : QObject(&window), m_window(window), m_name(name), m_base(window.size()) {
    m_window.setMinimumSize(m_base);
    m_window.installEventFilter(this);
    m_saveSoon.setSingleShot(true);
    m_saveSoon.setInterval(500);
    connect(&m_saveSoon, &QTimer::timeout, this, &WindowFit::save);
}

void WindowFit::place(QWidget *control, double dx, double dw, double dy, double dh) {
    m_placements.append(Placement{control, control->geometry(), dx, dw, dy, dh});
}

void WindowFit::rememberColumns(QTreeView *list, const QString &name) {
    m_lists.insert(name, list);
    connect(list->header(), &QHeaderView::sectionResized, this, [this] {
        if (!m_restoring)
            m_saveSoon.start();
    });
}

StatusLine *WindowFit::addStatusLine() {
    auto *status = new StatusLine(m_window);
    const int margin = twipsToPixels(120, &m_window);
    const int height = twipsToPixels(kStatusHeightTwips, &m_window);
    status->setGeometry(margin, m_base.height(), m_base.width() - 2 * margin, height);
    m_base.setHeight(m_base.height() + height);
    m_window.setMinimumSize(m_base);
    m_window.resize(m_base);
    place(status, 0, 1, 1, 0);
    return status;
}

void WindowFit::relayout() {
    const int extraWidth = std::max(0, m_window.width() - m_base.width());
    const int extraHeight = std::max(0, m_window.height() - m_base.height());
    for (const Placement &p : std::as_const(m_placements)) {
        p.control->setGeometry(p.base.x() + share(extraWidth, p.dx), p.base.y() + share(extraHeight, p.dy),
                               p.base.width() + share(extraWidth, p.dw), p.base.height() + share(extraHeight, p.dh));
    }
}

bool WindowFit::eventFilter(QObject *watched, QEvent *event) {
    if (watched == &m_window && event->type() == QEvent::Resize) {
        relayout();
        if (!m_restoring)
            m_saveSoon.start();
    }
    return QObject::eventFilter(watched, event);
}

void WindowFit::restore() {
    m_restoring = true;
    PW_WINDOW_SETTINGS(settings);
    QSize size = settings.value(m_name + QStringLiteral("/size")).toSize();
    if (size.isValid()) {
        // A size kept from a larger screen is cut to this one's, never
        // below the given size.
        if (const QScreen *screen = m_window.screen())
            size = size.boundedTo(screen->availableGeometry().size());
        m_window.resize(size.expandedTo(m_base));
    }
    if (settings.value(m_name + QStringLiteral("/maximized"), false).toBool())
        m_window.setWindowState(m_window.windowState() | Qt::WindowMaximized);
    relayout();
    m_restoring = false;
}

void WindowFit::restoreColumns() {
    m_restoring = true;
    PW_WINDOW_SETTINGS(settings);
    for (auto it = m_lists.cbegin(); it != m_lists.cend(); ++it) {
        const QList<QVariant> widths = settings.value(m_name + QLatin1Char('/') + it.key()).toList();
        QHeaderView *header = it.value()->header();
        const auto *model = qobject_cast<const MessageListModel *>(it.value()->model());
        for (int c = 0; c < std::min<int>(static_cast<int>(widths.size()), header->count()); ++c) {
            // A hidden column stays hidden, whatever was stored.
            if (model && model->columnWidthTwips(c) <= 1)
                continue;
            const int width = widths.at(c).toInt();
            if (width > 0)
                header->resizeSection(c, width);
        }
    }
    m_restoring = false;
}

void WindowFit::save() {
    m_saveSoon.stop();
    PW_WINDOW_SETTINGS(settings);
    const bool maximized = m_window.isMaximized();
    const QSize size = maximized && m_window.normalGeometry().isValid() ? m_window.normalGeometry().size()
                                                                        : m_window.size();
    settings.setValue(m_name + QStringLiteral("/size"), size);
    settings.setValue(m_name + QStringLiteral("/maximized"), maximized);
    for (auto it = m_lists.cbegin(); it != m_lists.cend(); ++it) {
        QList<QVariant> widths;
        const QHeaderView *header = it.value()->header();
        for (int c = 0; c < header->count(); ++c)
            widths.append(header->sectionSize(c));
        settings.setValue(m_name + QLatin1Char('/') + it.key(), widths);
    }
}

void fitColumns(QTreeView &list, MessageListModel &model) {
    model.showPendingRows();
    if (model.count() == 0)
        return;
    QHeaderView *header = list.header();
    const int floor = twipsToPixels(kColumnFloorTwips, list.window());
    const int ceiling = twipsToPixels(kColumnCeilingTwips, list.window());
    const bool lastStretches = header->stretchLastSection();
    for (int c = 0; c < model.columnCount(); ++c) {
        if (model.columnWidthTwips(c) <= 1) {
            header->resizeSection(c, 0);
            continue;
        }
        if (lastStretches && c == model.columnCount() - 1)
            continue;
        list.resizeColumnToContents(c);
        const int fitted = std::max(header->sectionSize(c), header->sectionSizeHint(c));
        header->resizeSection(c, std::clamp(fitted, floor, ceiling));
    }
}

} // namespace pw
