#pragma once

#include <QMainWindow>

// The program's only top-level window: frameless, draws its own bars.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void show();
};
