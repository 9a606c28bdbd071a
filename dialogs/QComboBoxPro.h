// A combo box that announces a left press before its popup opens, so the
// owner can rebuild the list the popup is about to show.
#ifndef MAROVENT_QCOMBOBOXPRO_H
#define MAROVENT_QCOMBOBOXPRO_H

#include <QComboBox>

class QComboBoxPro : public QComboBox {
    Q_OBJECT
public:
    explicit QComboBoxPro(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

#endif
