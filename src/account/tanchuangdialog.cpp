#include "account/tanchuangdialog.h"

#include "mainwindow/pageopener.h"
#include "ui_tanchuangdialog.h"

#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>

TanChuangDialog::TanChuangDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::TanChuangDialog>())
{
    ui->setupUi(this);
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->previousPagePushButton, &QPushButton::clicked, this,
        &TanChuangDialog::previousPagePushButton_clicked);
    connect(ui->nextPagePushButton, &QPushButton::clicked, this,
        &TanChuangDialog::nextPagePushButton_clicked);
    for (QWidget *widget : { ui->centralWidget, static_cast<QWidget *>(ui->nextPagePushButton),
             static_cast<QWidget *>(ui->previousPagePushButton) })
        widget->installEventFilter(this);
    // Hover events reach the arrows only with this set.
    ui->nextPagePushButton->setAttribute(Qt::WA_Hover);
    ui->previousPagePushButton->setAttribute(Qt::WA_Hover);
}

TanChuangDialog::~TanChuangDialog() = default;

void TanChuangDialog::setPopupNotice(PopupNoticeResult result)
{
    // A page whose picture cannot be decoded stays: it shows no picture,
    // and its link and the paging still work.
    m_pages = result.pages;
    m_currentPage = 0;
    showPage(0);

    if (m_pages.size() < 2) {
        ui->previousPagePushButton->hide();
        ui->nextPagePushButton->hide();
        return;
    }
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &TanChuangDialog::nextPagePushButton_clicked);
    timer->start(5000);
}

void TanChuangDialog::showPage(int index)
{
    if (index < 0 || index >= m_pages.size())
        return;
    QPixmap pixmap;
    // The picture is the area's background, drawn at its own size from the
    // top-left corner; without one the dialog's own ground shows.
    QPalette palette;
    if (pixmap.loadFromData(m_pages.at(index).image))
        palette.setBrush(QPalette::All, QPalette::Window, QBrush(pixmap));
    else
        palette.setBrush(QPalette::All, QPalette::Window, this->palette().window());
    ui->centralWidget->setPalette(palette);
}

void TanChuangDialog::nextPagePushButton_clicked()
{
    if (m_pages.isEmpty())
        return;
    m_currentPage = m_currentPage + 1 == m_pages.size() ? 0 : m_currentPage + 1;
    showPage(m_currentPage);
}

void TanChuangDialog::previousPagePushButton_clicked()
{
    if (m_pages.isEmpty())
        return;
    m_currentPage = m_currentPage > 0 ? m_currentPage - 1 : m_pages.size() - 1;
    showPage(m_currentPage);
}

bool TanChuangDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->centralWidget && event->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        if (m_currentPage < m_pages.size())
            openPage(this, m_pages.at(m_currentPage).url);
        return true;
    }
    // The arrows show the ordinary pointer, not the hand of the picture.
    if ((watched == ui->nextPagePushButton || watched == ui->previousPagePushButton)
        && event->type() == QEvent::HoverEnter)
        static_cast<QWidget *>(watched)->setCursor(Qt::ArrowCursor);
    return Dialog::eventFilter(watched, event);
}
