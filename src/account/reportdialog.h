#pragma once

#include <QDialog>

#include <memory>

class QButtonGroup;

namespace Ui {
class ReportDialog;
}

// Reports the resource of the file open in the player as objectionable, in
// one of four categories.
class ReportDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ReportDialog(QWidget *parent = nullptr);
    ~ReportDialog() override;

public slots:
    void submitPushButton_clicked();

private:
    std::unique_ptr<Ui::ReportDialog> ui;
    QButtonGroup *m_categoryGroup;
};
