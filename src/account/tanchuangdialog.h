#pragma once

#include "mainwindow/dialog.h"
#include "service/accountendpoints.h"

#include <memory>

class QTimer;

namespace Ui {
class TanChuangDialog;
}

// The popup notice: the service's pictures, one at a time, each linking to a
// web page. It pages by itself every 5 s and by its arrows; a click on the
// picture opens the page in the browser.
class TanChuangDialog : public Dialog
{
    Q_OBJECT

public:
    explicit TanChuangDialog(QWidget *parent = nullptr);
    ~TanChuangDialog() override;

    // Takes the notice and shows its first picture. Pages whose picture
    // cannot be decoded are left out.
    void setPopupNotice(PopupNoticeResult result);
    int pageCount() const { return m_pages.size(); }
    int currentPage() const { return m_currentPage; }

    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    void previousPagePushButton_clicked();
    void nextPagePushButton_clicked();

private:
    void showPage(int index);

    std::unique_ptr<Ui::TanChuangDialog> ui;
    QList<PopupNoticePage> m_pages;
    int m_currentPage = 0;
};
