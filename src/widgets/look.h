#pragma once
// The look shared by both windows: twips, centring, colours, the skin
// check and the hand pointer.
#include <QCursor>
#include <QHash>
#include <QObject>
#include <QRect>
#include <QString>
#include <optional>

class QPushButton;
class QTreeView;
class QWidget;

namespace pw {

// Twips (1/1440 inch) to device-independent pixels at the screen's logical DPI.
int twipsToPixels(int twips, const QWidget *window = nullptr);
QRect twipsRect(int left, int top, int width, int height, const QWidget *window = nullptr);

// Both windows: Arial, and a fixed client area given in twips.
void setUpWindow(QWidget &window, int widthTwips, int heightTwips);

// A push button named `name` with `caption`, placed in twips inside `parent`.
QPushButton *makeButton(QWidget &window, QWidget *parent, const char *name, const QString &caption, int left,
                        int top, int width, int height);

// Moves the window so it is centred on its screen; a window larger than
// the screen gets a negative left or top edge.
void CenterWindow(QWidget &window);

// Button-face background for the window and its option buttons, check
// boxes, frames and labels; other controls keep their colours.
void ApplyStandardColours(QWidget &window);

// The skin file under the application folder, "x/o.cjs".
QString skinFilePath(const QString &applicationFolder);

// No skin engine exists on Linux, so a present skin file (a plain,
// non-hidden file) only triggers the colour step. Answers whether it did.
bool ApplySkin(QWidget &form1, const QString &applicationFolder);

// The hand pointer image "HAND-M.CUR" from the application folder, with
// the hot spot the file names; nullopt when it is absent or unreadable.
std::optional<QCursor> loadCursorFile(const QString &path);

class MessageListModel;
// Makes `view` the report-style list of `model`: one row per line, a tick
// in the first column, column widths in twips kept in step with the model.
void setUpListView(QTreeView &view, MessageListModel &model);

class WindowPointer;
// Gives the window the custom pointer image "HAND-M.CUR" of the application
// folder when that file is there; otherwise the window has none.
void loadHandPointer(WindowPointer &pointer, const QString &applicationFolder);

enum PointerKind { PointerDefault = 0, PointerBusy = 11, PointerCustom = 99 };

// A window's pointer: the kind in force, its custom image, and the hover
// table (which control sets which kind). Hovering never replaces the busy
// pointer; controls not in the table leave the pointer as it is.
class WindowPointer : public QObject {
    Q_OBJECT
public:
    explicit WindowPointer(QWidget &window);

    int pointer() const { return m_kind; }
    void setPointer(int kind);
    void setCustomImage(const std::optional<QCursor> &cursor);
    bool hasCustomImage() const { return m_custom.has_value(); }

    // Pointer movement over `control` sets the window's pointer to `kind`.
    void hover(QWidget *control, int kind);
    // What the hover table does for a movement over `control` (also used by tests).
    void pointerMovedOver(QWidget *control);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &m_window;
    int m_kind = PointerDefault;
    std::optional<QCursor> m_custom;
    QHash<QObject *, int> m_table;
};

} // namespace pw
