#include "QComboBoxPro.h"

#include <QMouseEvent>

QComboBoxPro::QComboBoxPro(QWidget* parent) : QComboBox(parent) {}

void QComboBoxPro::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        emit clicked();
    QComboBox::mousePressEvent(event);
}
