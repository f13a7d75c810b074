#pragma once

#include "mainwindow/dialog.h"

#include <memory>

class QSlider;

namespace Ui {
class SettingsDialog;
}

// The software settings: clipboard monitoring, the boss key (shown only)
// and the four colour adjustments of the picture. Colours reach the engine
// at once while a file is open in it and are stored in every case.
class SettingsDialog : public Dialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    // Presses on a slider's groove far from its handle move the handle there.
    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    void clipboardMonitorCheckBox_clicked(bool checked);
    void autoPlayNextCheckBox_clicked(bool checked);
    void brightnessAdjustSlider_valueChanged(int value);
    void contrastAdjustSlider_valueChanged(int value);
    void saturationAdjustSlider_valueChanged(int value);
    void hueAdjustSlider_valueChanged(int value);
    void resetDefaultColorPushButton_clicked();

private:
    bool isSlider(QObject *object) const;

    std::unique_ptr<Ui::SettingsDialog> ui;
};
