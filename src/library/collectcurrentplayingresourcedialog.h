#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class CollectCurrentPlayingResourceDialog;
}

// Asks for the name under which the file open in the player becomes a
// favourite, and adds it on the service.
class CollectCurrentPlayingResourceDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CollectCurrentPlayingResourceDialog(QWidget *parent = nullptr);
    ~CollectCurrentPlayingResourceDialog() override;

signals:
    void collectionFinished();

public slots:
    void okPushButtonClicked();

private:
    std::unique_ptr<Ui::CollectCurrentPlayingResourceDialog> ui;
};
