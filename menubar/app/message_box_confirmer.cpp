#include "app/message_box_confirmer.h"

#include <QMessageBox>
#include <QPushButton>

namespace tessaron::menubar {

bool MessageBoxConfirmer::confirm(const MenuAlert& alert) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Tessaron"));
    box.setText(QString::fromStdString(alert.message));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton* confirmButton = box.addButton(QString::fromStdString(alert.confirmButton), QMessageBox::AcceptRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    // An accessory program has no window of its own: bring the alert to the front.
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == confirmButton;
}

}  // namespace tessaron::menubar
