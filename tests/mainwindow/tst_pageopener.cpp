#include "mainwindow/pageopener.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <QtTest>

// Pages go to the browser through the desktop's xdg-open (here a script in
// PATH); where none takes the page, the user is told. Runs on X11.
class TestPageOpener : public QObject
{
    Q_OBJECT

private slots:
    void toldWithoutBrowser_data()
    {
        QTest::addColumn<QString>("xdgOpen"); // script body; empty: no xdg-open at all
        QTest::addColumn<bool>("told");
        QTest::newRow("browser takes the page")
            << "echo \"$1\" > \"${0%/*}/opened\"" << false;
        // What xdg-open says when it finds no way to open the page.
        QTest::newRow("xdg-open finds no browser") << "exit 3" << true;
        QTest::newRow("no xdg-open, no BROWSER") << "" << true;
    }

    void toldWithoutBrowser()
    {
        QFETCH(QString, xdgOpen);
        QFETCH(bool, told);
        QTemporaryDir bin;
        if (!xdgOpen.isEmpty()) {
            QFile script(bin.filePath(QStringLiteral("xdg-open")));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\n" + xdgOpen.toUtf8() + "\n");
            script.close();
            script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        }
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()));
        qunsetenv("BROWSER");
        qunsetenv("DEFAULT_BROWSER");

        QWidget window;
        window.show();
        const QUrl url(
            QStringLiteral("http://127.0.0.1:17080/server/?r=www/default/page&p=jiaocheng"));
        openPage(&window, url);
        QMessageBox *box = nullptr;
        if (told) {
            QTRY_VERIFY_WITH_TIMEOUT((box = window.findChild<QMessageBox *>()), 5000);
            QVERIFY(box->text().contains(url.toString()));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bin.filePath(QStringLiteral("opened"))), 5000);
            QTest::qWait(300);
            QVERIFY(!window.findChild<QMessageBox *>());
            QFile opened(bin.filePath(QStringLiteral("opened")));
            QVERIFY(opened.open(QIODevice::ReadOnly));
            QCOMPARE(QUrl(QString::fromUtf8(opened.readAll().trimmed())), url);
        }
        qputenv("PATH", path);
    }
};

QTEST_MAIN(TestPageOpener)
#include "tst_pageopener.moc"
