#include "preferences/subtitlesettingdialog.h"

#include "player/aplayercontrol.h"
#include "preferences/subtitlelimit.h"

#include "ui_subtitlesettingdialog.h"

#include <QDir>
#include <QIntValidator>
#include <QMessageBox>
#include <QPushButton>

namespace {

const QString SwitchOn = QStringLiteral("开启");
const QString DelayOff = QStringLiteral("关闭");
const QString DelayEarlier = QStringLiteral("提前");
const QString DelayLater = QStringLiteral("延迟");

bool isEngineReady()
{
    const int state = APlayerControl::instance->state();
    return state != APlayerControl::Ready && state != APlayerControl::Closing;
}

bool isSubtitleLoaded()
{
    return isEngineReady() && !APlayerControl::instance->subtitleFile().isEmpty();
}

QString delayValue(const QString &milliseconds)
{
    return QStringLiteral("%1;1000;1000").arg(milliseconds);
}

} // namespace

SubtitleSettingDialog::SubtitleSettingDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::SubtitleSettingDialog>())
{
    ui->setupUi(this);
    ui->subtitleDelayMillisecondsLineEdit->setValidator(new QIntValidator(this));

    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->subtitleFilePathLineEdit, &QLineEdit::textChanged, this,
        &SubtitleSettingDialog::subtitleFilePathLineEdit_textChanged);
    connect(ui->browseSubtitleFilePushButton, &QPushButton::clicked, this,
        &SubtitleSettingDialog::browseSubtitleFilePushButton_clicked);
    connect(ui->subtitleMoveUpPushButton, &QPushButton::clicked, this,
        &SubtitleSettingDialog::subtitleMoveUpPushButton_clicked);
    connect(ui->subtitleMoveDownPushButton, &QPushButton::clicked, this,
        &SubtitleSettingDialog::subtitleMoveDownPushButton_clicked);
    connect(ui->subtitleMoveLeftPushButton, &QPushButton::clicked, this,
        &SubtitleSettingDialog::subtitleMoveLeftPushButton_clicked);
    connect(ui->subtitleMoveRightPushButton, &QPushButton::clicked, this,
        &SubtitleSettingDialog::subtitleMoveRightPushButton_clicked);
    // The combo boxes hand over the text of the new item.
    connect(ui->subtitleSwitchComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        [this](int index) {
            subtitleSwitchComboBox_currentIndexChanged(ui->subtitleSwitchComboBox->itemText(index));
        });
    connect(ui->subtitleDelayComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        [this](int index) {
            subtitleDelayComboBox_currentIndexChanged(ui->subtitleDelayComboBox->itemText(index));
        });
    connect(ui->subtitleSizeComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        [this](int index) {
            subtitleSizeComboBox_crrentIndexChanged(ui->subtitleSizeComboBox->itemText(index));
        });
    connect(ui->subtitleDelayMillisecondsLineEdit, &QLineEdit::textChanged, this,
        &SubtitleSettingDialog::subtitleDelayMillisecondsLineEdit_textChanged);
    // Return in the milliseconds field writes the delay again, as typing does.
    connect(ui->subtitleDelayMillisecondsLineEdit, &QLineEdit::returnPressed, this, [this] {
        subtitleDelayMillisecondsLineEdit_textChanged(
            ui->subtitleDelayMillisecondsLineEdit->text());
    });
}

SubtitleSettingDialog::~SubtitleSettingDialog() = default;

void SubtitleSettingDialog::browseSubtitleFilePushButton_clicked()
{
    const QString fileName = Dialog::openFileName(this, QStringLiteral("浏览字幕文件"),
        QStringLiteral("."), QStringLiteral("字幕文件(*.srt *.ass *.ssa *.smi *.idx *.sub *.sup)"));
    if (fileName.isEmpty())
        return;
    // Setting the text loads the file when it differs from the shown one.
    ui->subtitleFilePathLineEdit->setText(QDir::toNativeSeparators(fileName));
    ui->subtitleFilePathLineEdit->setCursorPosition(0);
}

void SubtitleSettingDialog::subtitleFilePathLineEdit_textChanged(QString filename)
{
    if (!isEngineReady())
        return;
    if (SubtitleLimit::isTooLarge(filename)) {
        showTooLarge(filename);
        return;
    }
    APlayerControl::instance->setSubtitleFile(filename);
    APlayerControl::instance->setSubtitleVisible(
        ui->subtitleSwitchComboBox->currentText() == SwitchOn);
}

void SubtitleSettingDialog::showTooLarge(const QString &filename)
{
    // Window-modal without a local event loop: the video keeps playing.
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("提示"),
        QStringLiteral("字幕文件过大（超过%1MB），无法加载：\n%2")
            .arg(SubtitleLimit::limitFor(filename) / (1024 * 1024))
            .arg(QDir::toNativeSeparators(filename)),
        QMessageBox::Ok, this);
    box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void SubtitleSettingDialog::subtitleSwitchComboBox_currentIndexChanged(QString item)
{
    if (isSubtitleLoaded())
        APlayerControl::instance->setSubtitleVisible(item == SwitchOn);
}

void SubtitleSettingDialog::movePlacement(int horizontal, int vertical)
{
    if (!isSubtitleLoaded())
        return;
    QStringList fields = APlayerControl::instance->subtitlePlacement().split(QLatin1Char(';'));
    if (fields.size() < 3)
        return;
    fields[1] = QString::number(fields.at(1).toInt() + horizontal);
    fields[2] = QString::number(fields.at(2).toInt() + vertical);
    APlayerControl::instance->setSubtitlePlacement(fields.join(QLatin1Char(';')));
}

void SubtitleSettingDialog::subtitleMoveUpPushButton_clicked()
{
    movePlacement(0, -1);
}

void SubtitleSettingDialog::subtitleMoveDownPushButton_clicked()
{
    movePlacement(0, 1);
}

void SubtitleSettingDialog::subtitleMoveLeftPushButton_clicked()
{
    movePlacement(-1, 0);
}

void SubtitleSettingDialog::subtitleMoveRightPushButton_clicked()
{
    movePlacement(1, 0);
}

void SubtitleSettingDialog::subtitleSizeComboBox_crrentIndexChanged(QString item)
{
    if (!isSubtitleLoaded())
        return;
    const QString font = APlayerControl::instance->subtitleFont();
    if (font.isEmpty())
        return;
    QStringList fields = font.split(QLatin1Char(';'));
    // A one-field value gains the size as its second field.
    if (fields.size() < 2)
        fields.append(QString());
    fields[1] = item.remove(QStringLiteral("号"));
    APlayerControl::instance->setSubtitleFont(fields.join(QLatin1Char(';')));
}

void SubtitleSettingDialog::subtitleDelayComboBox_currentIndexChanged(QString item)
{
    if (!isSubtitleLoaded())
        return;
    if (item == DelayOff) {
        APlayerControl::instance->setSubtitleDelay(delayValue(QStringLiteral("0")));
        return;
    }
    const QString milliseconds = ui->subtitleDelayMillisecondsLineEdit->text();
    if (milliseconds.isEmpty() || milliseconds == QLatin1String("0"))
        return;
    if (item == DelayEarlier)
        APlayerControl::instance->setSubtitleDelay(delayValue(QLatin1Char('-') + milliseconds));
    else if (item == DelayLater)
        APlayerControl::instance->setSubtitleDelay(delayValue(milliseconds));
}

void SubtitleSettingDialog::subtitleDelayMillisecondsLineEdit_textChanged(QString milliseconds)
{
    if (!isSubtitleLoaded())
        return;
    const QString choice = ui->subtitleDelayComboBox->currentText();
    if (choice == DelayEarlier)
        APlayerControl::instance->setSubtitleDelay(delayValue(QLatin1Char('-') + milliseconds));
    else if (choice == DelayLater)
        APlayerControl::instance->setSubtitleDelay(delayValue(milliseconds));
}
