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
        ColumnPolicy *policy = ColumnPolicy::of(*it.value());
        for (int c = 0; c < std::min<int>(static_cast<int>(widths.size()), header->count()); ++c) {
            // A hidden column stays hidden, whatever was stored.
            if (model && model->columnWidthTwips(c) <= 1)
                continue;
            const int width = widths.at(c).toInt();
            if (width <= 0)
                continue;
            if (policy) {
                policy->setUserSized(c);
                policy->programmatically([&] { header->resizeSection(c, width); });
            } else {
                header->resizeSection(c, width);
            }
        }
        if (policy)
            policy->share();
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
        // Under a column policy only the widths the user set are kept; the
        // others are fitted anew to what the list holds.
        const ColumnPolicy *policy = ColumnPolicy::of(*it.value());
        for (int c = 0; c < header->count(); ++c)
            widths.append(!policy || policy->userSized(c) ? header->sectionSize(c) : 0);
        settings.setValue(m_name + QLatin1Char('/') + it.key(), widths);
    }
}

void fitColumns(QTreeView &list, MessageListModel &model) {
    model.showPendingRows();
    if (model.count() == 0)
        return;
    if (ColumnPolicy *policy = ColumnPolicy::of(list)) {
        policy->fit();
        return;
    }
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

ColumnPolicy::ColumnPolicy(QTreeView &list, int stretch, QList<Squeeze> squeeze, QList<int> trailing)
    : QObject(&list), m_list(list), m_viewport(list.viewport()), m_stretch(stretch), m_squeeze(std::move(squeeze)),
      m_trailing(std::move(trailing)) {
    setObjectName(QStringLiteral("ColumnPolicy"));
    list.setProperty("pwColumnPolicy", QVariant::fromValue(static_cast<QObject *>(this)));
    list.viewport()->installEventFilter(this);
    // New columns bring new given widths.
    if (list.model())
        connect(list.model(), &QAbstractItemModel::columnsInserted, this, [this] { m_natural.clear(); });
    connect(list.header(), &QHeaderView::sectionResized, this, [this](int column, int, int) {
        // The list's own resizes (a new fill, the given widths) set the
        // property too; only what is left is the user's hand. The text
        // column then takes up what the user's column gave or took.
        if (m_busy || m_list.property("pwResizing").toBool())
            return;
        m_userSized.insert(column);
        share();
    });
}

ColumnPolicy *ColumnPolicy::of(const QTreeView &list) {
    return qobject_cast<ColumnPolicy *>(list.property("pwColumnPolicy").value<QObject *>());
}

bool ColumnPolicy::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::Resize && watched == m_viewport)
        share();
    return QObject::eventFilter(watched, event);
}

int ColumnPolicy::naturalWidth(int column) const {
    const auto found = m_natural.constFind(column);
    return found != m_natural.cend() ? *found : m_list.header()->sectionSize(column);
}

void ColumnPolicy::fit() {
    const auto *model = qobject_cast<const MessageListModel *>(m_list.model());
    if (!model)
        return;
    const int floor = twipsToPixels(kColumnFloorTwips, m_list.window());
    const int ceiling = twipsToPixels(kColumnCeilingTwips, m_list.window());
    QHeaderView *header = m_list.header();
    programmatically([&] {
        for (int c = 0; c < model->columnCount(); ++c) {
            if (model->columnWidthTwips(c) <= 1) {
                header->resizeSection(c, 0);
                continue;
            }
            if (m_userSized.contains(c))
                continue;
            m_list.resizeColumnToContents(c);
            const int fitted = std::max(header->sectionSize(c), header->sectionSizeHint(c));
            m_natural.insert(c, std::clamp(fitted, floor, ceiling));
        }
    });
    share();
}

// Everything fits: the text column takes the spare room. Too little room:
// the columns that may give way narrow toward their floors, trailing
// columns go beyond the edge, and the text column fills what is left.
void ColumnPolicy::share() {
    const auto *model = qobject_cast<const MessageListModel *>(m_list.model());
    if (!model || model->columnCount() == 0)
        return;
    QHeaderView *header = m_list.header();
    const int available = m_list.viewport()->width();
    if (available <= 0)
        return;
    for (int c = 0; c < model->columnCount(); ++c) {
        if (!m_natural.contains(c))
            m_natural.insert(c, header->sectionSize(c));
    }
    QHash<int, int> width;
    int all = 0;
    int leading = 0;
    for (int c = 0; c < model->columnCount(); ++c) {
        if (model->columnWidthTwips(c) <= 1)
            continue;
        const int w = m_userSized.contains(c) ? header->sectionSize(c) : naturalWidth(c);
        width.insert(c, w);
        all += w;
        if (!m_trailing.contains(c))
            leading += w;
    }
    const bool stretchFree = m_stretch >= 0 && width.contains(m_stretch) && !m_userSized.contains(m_stretch);
    const int least = stretchFree ? std::min(naturalWidth(m_stretch), twipsToPixels(2000, m_list.window())) : 0;
    if (stretchFree && all - width[m_stretch] + least <= available) {
        // Every column fits with the text column at least readable: it
        // ends at the list's edge.
        width[m_stretch] = available - (all - width[m_stretch]);
    } else if (all > available) {
        int over = leading - available;
        if (over > 0) {
            // What the squeezable columns can give, each down to its floor.
            int room = 0;
            for (const Squeeze &s : std::as_const(m_squeeze)) {
                if (!width.contains(s.column) || m_userSized.contains(s.column) || m_trailing.contains(s.column))
                    continue;
                room += std::max(0, width[s.column] - twipsToPixels(s.floorTwips, m_list.window()));
            }
            const double part = room > 0 ? std::min(1.0, static_cast<double>(over) / room) : 0.0;
            for (const Squeeze &s : std::as_const(m_squeeze)) {
                if (!width.contains(s.column) || m_userSized.contains(s.column) || m_trailing.contains(s.column))
                    continue;
                const int give = std::max(0, width[s.column] - twipsToPixels(s.floorTwips, m_list.window()));
                const int cut = static_cast<int>(std::ceil(give * part));
                width[s.column] -= cut;
                leading -= cut;
            }
        }
        if (stretchFree) {
            // The text column ends at the list's edge, never narrower than
            // a readable minimum nor than it needs.
            const int others = leading - width[m_stretch];
            width[m_stretch] = std::max(least, available - others);
        }
    }
    programmatically([&] {
        for (auto it = width.cbegin(); it != width.cend(); ++it) {
            if (!m_userSized.contains(it.key()) && header->sectionSize(it.key()) != it.value())
                header->resizeSection(it.key(), it.value());
        }
    });
}

} // namespace pw
