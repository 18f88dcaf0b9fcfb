#include "express/window/form2.h"

namespace pw {

Form2::Form2(const Ports &ports, QWidget *parent) : QDialog(parent), m_ports(ports) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Parcelwise"));
    setModal(true);
}

} // namespace pw
