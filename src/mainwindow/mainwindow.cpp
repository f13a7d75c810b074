#include "mainwindow/mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint)
{
    setWindowTitle(QStringLiteral("Tavrion影音"));
    resize(1000, 640);
}

MainWindow::~MainWindow() = default;

void MainWindow::show()
{
    QMainWindow::show();
}
