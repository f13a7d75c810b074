#include "preferences/settingsdialog.h"

#include "app/appsettings.h"
#include "player/aplayercontrol.h"

#include "ui_settingsdialog.h"

#include <QMouseEvent>

namespace {

bool isFileActive()
{
    const int state = APlayerControl::instance->state();
    return state != APlayerControl::Ready && state != APlayerControl::Closing;
}

} // namespace

SettingsDialog::SettingsDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::SettingsDialog>())
{
    ui->setupUi(this);
    AppSettings *settings = AppSettings::instance();
    ui->clipboardMonitorCheckBox->setChecked(settings->isClipboardMonitor());
    ui->autoPlayNextCheckBox->setChecked(settings->isAutoPlayNext());
    // Set before the slots are connected: opening the dialog neither touches
    // the engine nor writes the settings.
    ui->brightnessAdjustSlider->setValue(settings->brightness());
    ui->contrastAdjustSlider->setValue(settings->contrast());
    ui->saturationAdjustSlider->setValue(settings->saturation());
    ui->hueAdjustSlider->setValue(settings->hue());

    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->clipboardMonitorCheckBox, &QCheckBox::clicked, this,
        &SettingsDialog::clipboardMonitorCheckBox_clicked);
    connect(ui->autoPlayNextCheckBox, &QCheckBox::clicked, this,
        &SettingsDialog::autoPlayNextCheckBox_clicked);
    connect(ui->brightnessAdjustSlider, &QSlider::valueChanged, this,
        &SettingsDialog::brightnessAdjustSlider_valueChanged);
    connect(ui->contrastAdjustSlider, &QSlider::valueChanged, this,
        &SettingsDialog::contrastAdjustSlider_valueChanged);
    connect(ui->saturationAdjustSlider, &QSlider::valueChanged, this,
        &SettingsDialog::saturationAdjustSlider_valueChanged);
    connect(ui->hueAdjustSlider, &QSlider::valueChanged, this,
        &SettingsDialog::hueAdjustSlider_valueChanged);
    connect(ui->resetDefaultColorPushButton, &QPushButton::clicked, this,
        &SettingsDialog::resetDefaultColorPushButton_clicked);
    for (QSlider *slider : { ui->brightnessAdjustSlider, ui->contrastAdjustSlider,
             ui->saturationAdjustSlider, ui->hueAdjustSlider })
        slider->installEventFilter(this);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::clipboardMonitorCheckBox_clicked(bool checked)
{
    // The monitor reads the setting at its next tick.
    AppSettings::instance()->setClipboardMonitor(checked);
}

void SettingsDialog::autoPlayNextCheckBox_clicked(bool checked)
{
    AppSettings::instance()->setAutoPlayNext(checked);
}

void SettingsDialog::brightnessAdjustSlider_valueChanged(int value)
{
    if (isFileActive())
        APlayerControl::instance->setBrightness(value);
    AppSettings::instance()->setBrightness(value);
}

void SettingsDialog::contrastAdjustSlider_valueChanged(int value)
{
    if (isFileActive())
        APlayerControl::instance->setContrast(value);
    AppSettings::instance()->setContrast(value);
}

void SettingsDialog::saturationAdjustSlider_valueChanged(int value)
{
    if (isFileActive())
        APlayerControl::instance->setSaturation(value);
    AppSettings::instance()->setSaturation(value);
}

void SettingsDialog::hueAdjustSlider_valueChanged(int value)
{
    if (isFileActive())
        APlayerControl::instance->setHue(value);
    AppSettings::instance()->setHue(value);
}

void SettingsDialog::resetDefaultColorPushButton_clicked()
{
    // Each change runs its slider's slot; sliders already at 50 stay quiet.
    ui->brightnessAdjustSlider->setValue(50);
    ui->contrastAdjustSlider->setValue(50);
    ui->saturationAdjustSlider->setValue(50);
    ui->hueAdjustSlider->setValue(50);
}

bool SettingsDialog::isSlider(QObject *object) const
{
    return object == ui->brightnessAdjustSlider || object == ui->contrastAdjustSlider
        || object == ui->saturationAdjustSlider || object == ui->hueAdjustSlider;
}

bool SettingsDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (isSlider(watched) && event->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        auto *slider = static_cast<QSlider *>(watched);
        const double width = slider->width();
        const double maximum = slider->maximum();
        const double target = static_cast<QMouseEvent *>(event)->x() / width * maximum;
        // Ten pixels around the handle start an ordinary drag instead.
        const double tolerance = maximum * 10 / width;
        if (target < slider->value() - tolerance || target > slider->value() + tolerance) {
            slider->setValue(int(target));
            return true;
        }
    }
    return Dialog::eventFilter(watched, event);
}
