#pragma once
#include <QString>
#include <stdexcept>

namespace pw {

// The one exception type our code throws. Its text is what the error box
// shows as the failure's description, so it says what failed and why.
class Error : public std::runtime_error {
public:
    explicit Error(const QString &text) : std::runtime_error(text.toStdString()) {}
    explicit Error(const std::string &text) : std::runtime_error(text) {}
    explicit Error(const char *text) : std::runtime_error(text) {}
    QString text() const { return QString::fromUtf8(what()); }
};

// Work stopped on request (Cancel, Esc, closing a window, a signal) before it
// was complete. Whatever was being written is removed, never left partial.
class Stopped : public Error {
public:
    Stopped() : Error("stopped on request") {}
};

// An attachment saved only in part: what there was has been saved, under
// the name the text gives, but it is not the whole file (a message that ends
// inside it; an attached message with a message inside it that cannot be
// read).
class IncompleteAttachmentError : public Error {
public:
    using Error::Error;
};

// Description text of any exception, for the error box.
QString describeException(std::exception_ptr failure);

} // namespace pw
