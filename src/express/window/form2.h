#pragma once
#include "app/core/ports.h"

#include <QDialog>

namespace pw {

// The Outlook Express window, shown modally over the main window.
class Form2 : public QDialog {
    Q_OBJECT
public:
    explicit Form2(const Ports &ports, QWidget *parent = nullptr);

private:
    Ports m_ports;
};

} // namespace pw
