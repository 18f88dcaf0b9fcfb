#include "widgets/look.h"

#include "core/fileroutines.h"
#include "core/messagelistmodel.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QTreeView>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

#include <memory>

namespace pw {

namespace {
qreal logicalDpi(const QWidget *window) {
    const QScreen *screen = window && window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const qreal dpi = screen ? screen->logicalDotsPerInch() : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

void setButtonFace(QWidget &w) {
    QPalette p = w.palette();
    p.setColor(QPalette::Window, w.palette().color(QPalette::Button));
    w.setPalette(p);
    w.setAutoFillBackground(true);
}
} // namespace

int twipsToPixels(int twips, const QWidget *window) {
    return qRound(twips * logicalDpi(window) / 1440.0);
}

QRect twipsRect(int left, int top, int width, int height, const QWidget *window) {
    return QRect(twipsToPixels(left, window), twipsToPixels(top, window), twipsToPixels(width, window),
                 twipsToPixels(height, window));
}

void setUpWindow(QWidget &window, int widthTwips, int heightTwips) {
    QFont arial(QStringLiteral("Arial"));
    arial.setPointSizeF(8.25);
    window.setFont(arial);
    // The given size is where the window opens and the smallest it gets;
    // it may grow (WindowFit lays the controls out).
    const QSize size(twipsToPixels(widthTwips, &window), twipsToPixels(heightTwips, &window));
    window.setMinimumSize(size);
    window.resize(size);
}

QPushButton *makeButton(QWidget &window, QWidget *parent, const char *name, const QString &caption, int left,
                        int top, int width, int height) {
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    b->setGeometry(twipsRect(left, top, width, height, &window));
    return b;
}

void CenterWindow(QWidget &window) {
    const QScreen *screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize outer = window.frameGeometry().size();
    // Halves are kept as well as pixels allow; the edges may be negative.
    const int left = area.x() + (area.width() - outer.width()) / 2;
    const int top = area.y() + (area.height() - outer.height()) / 2;
    window.move(left, top);
}

void ApplyStandardColours(QWidget &window) {
    setButtonFace(window);
    const auto children = window.findChildren<QWidget *>();
    for (QWidget *child : children) {
        if (qobject_cast<QRadioButton *>(child) || qobject_cast<QCheckBox *>(child)
            || qobject_cast<QGroupBox *>(child) || qobject_cast<QLabel *>(child))
            setButtonFace(*child);
    }
}

QString skinFilePath(const QString &applicationFolder) {
    return applicationFolder + QStringLiteral("/x/o.cjs");
}

bool ApplySkin(QWidget &form1, const QString &applicationFolder) {
    const QFileInfo skin(skinFilePath(applicationFolder));
    if (!skin.exists() || !skin.isFile() || skin.isHidden())
        return false;
    ApplyStandardColours(form1);
    return true;
}

std::optional<QCursor> loadCursorFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(22);
    file.close();
    QImage image(path, "ICO");
    if (image.isNull())
        image = QImage(path);
    if (image.isNull())
        return std::nullopt;
    int hotX = -1, hotY = -1;
    // A .cur directory entry keeps the hot spot where an icon keeps planes/bits.
    if (head.size() >= 22 && static_cast<uchar>(head[2]) == 2) {
        hotX = static_cast<uchar>(head[10]) | (static_cast<uchar>(head[11]) << 8);
        hotY = static_cast<uchar>(head[12]) | (static_cast<uchar>(head[13]) << 8);
        if (hotX >= image.width() || hotY >= image.height())
            hotX = hotY = -1;
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

void setUpListView(QTreeView &view, MessageListModel &model) {
    view.setRootIsDecorated(false);
    view.setUniformRowHeights(true); // keeps 100,000 rows smooth
    view.setItemsExpandable(false);
    view.setAllColumnsShowFocus(true);
    view.header()->setStretchLastSection(false);
    view.header()->setMinimumSectionSize(0);
    view.setModel(&model);
    // The given widths apply when the columns are made; emptying the list
    // keeps the widths the user or the last fill gave them.
    auto columnsShown = std::make_shared<QStringList>();
    const auto applyWidths = [&view, &model, columnsShown] {
        const bool sameColumns = *columnsShown == model.headers();
        // Resizes made here are the list's own, not the user's.
        view.setProperty("pwResizing", true);
        for (int c = 0; c < model.columnCount(); ++c) {
            if (!sameColumns || model.columnWidthTwips(c) <= 1)
                view.header()->resizeSection(c, twipsToPixels(model.columnWidthTwips(c), view.window()));
        }
        view.setProperty("pwResizing", false);
        *columnsShown = model.headers();
    };
    QObject::connect(&model, &QAbstractItemModel::columnsInserted, &view, applyWidths);
    QObject::connect(&model, &QAbstractItemModel::modelReset, &view, applyWidths);
}

void loadHandPointer(WindowPointer &pointer, const QString &applicationFolder) {
    const QString cursorFile = applicationFolder + QStringLiteral("/HAND-M.CUR");
    pointer.setCustomImage(FileExists(cursorFile) ? loadCursorFile(cursorFile) : std::nullopt);
}

WindowPointer::WindowPointer(QWidget &window) : QObject(&window), m_window(window) {}

void WindowPointer::setPointer(int kind) {
    m_kind = kind;
    switch (kind) {
    case PointerBusy: m_window.setCursor(Qt::WaitCursor); break;
    case PointerCustom:
        if (m_custom)
            m_window.setCursor(*m_custom);
        else
            m_window.unsetCursor();
        break;
    default: m_window.unsetCursor(); break;
    }
}

void WindowPointer::setCustomImage(const std::optional<QCursor> &cursor) {
    m_custom = cursor;
    if (m_kind == PointerCustom)
        setPointer(PointerCustom);
}

void WindowPointer::hover(QWidget *control, int kind) {
    m_table.insert(control, kind);
    control->setMouseTracking(true);
    control->installEventFilter(this);
}

void WindowPointer::pointerMovedOver(QWidget *control) {
    const auto it = m_table.constFind(control);
    if (it == m_table.constEnd() || m_kind == PointerBusy)
        return;
    if (m_kind != it.value())
        setPointer(it.value());
}

bool WindowPointer::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter
        || event->type() == QEvent::HoverMove) {
        if (auto *w = qobject_cast<QWidget *>(watched))
            pointerMovedOver(w);
    }
    return QObject::eventFilter(watched, event);
}

} // namespace pw
