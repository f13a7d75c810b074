#pragma once

#include <QApplication>

// The application object: Qt attributes, the Chinese translation of Qt's own
// texts, the settings store, and the player cache cleanup on quit.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int &argc, char **argv);
    ~Application() override;

public slots:
    void deletePlayerCache();
};
