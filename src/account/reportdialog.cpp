#include "account/reportdialog.h"

#include "player/aplayercontrol.h"
#include "service/resourceendpoints.h"

#include "ui_reportdialog.h"

#include <QButtonGroup>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

ReportDialog::ReportDialog(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::ReportDialog>())
    , m_categoryGroup(new QButtonGroup(this))
{
    ui->setupUi(this);
    m_categoryGroup->setExclusive(true);
    m_categoryGroup->addButton(ui->baoKongRadioButton, 0);
    m_categoryGroup->addButton(ui->seQingRadioButton, 1);
    m_categoryGroup->addButton(ui->fanDongRadioButton, 2);
    m_categoryGroup->addButton(ui->xueXingRadioButton, 3);

    const APlayerControl *player = APlayerControl::instance;
    const int state = player->state();
    if (state != APlayerControl::Ready && state != APlayerControl::Closing && player->currentFile())
        ui->hashLineEdit->setText(player->currentFile()->hash);

    connect(
        ui->submitPushButton, &QPushButton::clicked, this, &ReportDialog::submitPushButton_clicked);
    connect(ui->cancelPushButton, &QPushButton::clicked, this, &QWidget::close);
}

ReportDialog::~ReportDialog() = default;

void ReportDialog::submitPushButton_clicked()
{
    static const QStringList categories { QStringLiteral("暴恐"), QStringLiteral("色情"),
        QStringLiteral("反动"), QStringLiteral("血腥") };
    const QString hash = ui->hashLineEdit->text();
    const int category = m_categoryGroup->checkedId();
    if (hash.isEmpty() || category < 0)
        return;

    const QPointer<ReportDialog> self(this);
    const ServerResult result = reportResource(hash, categories.at(category));
    if (!self)
        return;
    // On the heap and guarded: the parent may be destroyed while the box runs.
    const QPointer<QMessageBox> box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("举报"),
        result.status == 1 ? QStringLiteral("举报成功") : result.message, QMessageBox::NoButton,
        this);
    // The service's message is shown as sent, never read as markup.
    box->setTextFormat(Qt::PlainText);
    box->addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box->exec();
    delete box;
}
