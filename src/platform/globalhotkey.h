#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

// A key combination that reaches this program whichever window has the
// keyboard. Registration fails silently (activated never comes) when the
// desktop offers no global keys, for example on Wayland or without a
// display, or when another program holds the combination.
class GlobalHotKey : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // Ctrl plus the letter: the only kind of combination the program needs.
    explicit GlobalHotKey(char letter, QObject *parent = nullptr);
    ~GlobalHotKey() override;

    // True while the combination is held for this program.
    bool isRegistered() const { return m_registered; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

signals:
    void activated();

private:
    unsigned m_keyCode = 0;
    bool m_registered = false;
};
