#pragma once

#include <QDialog>

class QAbstractButton;
class QLineEdit;

// Base of the program's dialogs: frameless, dragged anywhere on its surface
// with the left mouse button, and drawn in the dialog family's look (dark body,
// darker title strip, thin accent frame; the family's style sheet,
// ":/qss/dialog.qss", styles the widgets inside).
class Dialog : public QDialog
{
    Q_OBJECT
    // Height of the dark strip along the top edge that holds the dialog's
    // title and close button.
    Q_PROPERTY(int titleStripHeight READ titleStripHeight WRITE setTitleStripHeight)

public:
    explicit Dialog(QWidget *parent = nullptr);

    bool eventFilter(QObject *watched, QEvent *event) override;

    int titleStripHeight() const { return m_titleStripHeight; }
    void setTitleStripHeight(int height);

    // Return in `input` clicks `action` (which does nothing while it is
    // disabled), so a single-line input runs its page's main action.
    static void setReturnAction(QLineEdit *input, QAbstractButton *action);

    // Makes the family's style sheet the application's, once; message boxes
    // and dialogs then share it; message boxes also grow wide enough for the
    // window manager to show their whole title and lose the platform's icons
    // on their buttons. Dialog's constructor calls it too.
    static void installSkin();

    // File dialogs are left to the platform's look: they have no widget
    // parent, so no style sheet of the program reaches them, and stay modal
    // above `over`'s window through the window system instead. An empty
    // text when the user cancels.
    static QString openFileName(
        QWidget *over, const QString &caption, const QString &folder, const QString &filter);
    static QString existingDirectory(QWidget *over, const QString &caption, const QString &folder);

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    int m_titleStripHeight = 32;
};
