#pragma once

#include "mainwindow/dialog.h"

#include <memory>

namespace Ui {
class SubtitleSettingDialog;
}

// Loads an external subtitle into the video that is open and adjusts it:
// shown or hidden, position, timing and size. It keeps nothing of its own;
// every control writes straight into the engine, and only while a file is
// open there. A file far too large for a subtitle is refused with a message.
class SubtitleSettingDialog : public Dialog
{
    Q_OBJECT

public:
    explicit SubtitleSettingDialog(QWidget *parent = nullptr);
    ~SubtitleSettingDialog() override;

public slots:
    void subtitleFilePathLineEdit_textChanged(QString filename);
    void browseSubtitleFilePushButton_clicked();
    void subtitleMoveUpPushButton_clicked();
    void subtitleMoveDownPushButton_clicked();
    void subtitleMoveLeftPushButton_clicked();
    void subtitleMoveRightPushButton_clicked();
    void subtitleSwitchComboBox_currentIndexChanged(QString item);
    void subtitleDelayComboBox_currentIndexChanged(QString item);
    void subtitleSizeComboBox_crrentIndexChanged(QString item);
    void subtitleDelayMillisecondsLineEdit_textChanged(QString milliseconds);

private:
    // Tells the user that the file is too large to be a subtitle.
    void showTooLarge(const QString &filename);
    // Adds the steps to the horizontal (second) and vertical (third) field
    // of the engine's subtitle position.
    void movePlacement(int horizontal, int vertical);

    std::unique_ptr<Ui::SubtitleSettingDialog> ui;
};
