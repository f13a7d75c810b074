#pragma once

#include <QDialog>

// Base of the program's dialogs: frameless, and dragged anywhere on its
// surface with the left mouse button.
class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(QWidget *parent = nullptr);

    bool eventFilter(QObject *watched, QEvent *event) override;
};
