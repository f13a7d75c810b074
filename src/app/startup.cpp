#include "app/startup.h"

#include "app/appsettings.h"
#include "app/commandline.h"
#include "platform/desktopentry.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTranslator>

static void initTavrionResources()
{
    Q_INIT_RESOURCE(tavrion);
    Q_INIT_RESOURCE(qttranslations);
}

namespace Startup {

QString instanceLockName()
{
    return QStringLiteral("Tavrion_Application_Instance_Identity_Mutex_Name");
}

void renameLegacyDomainFile()
{
    QFile::rename(QStringLiteral("VideoDomain"), QStringLiteral("VideoFileURLDomains.dat"));
}

QString playerCacheDirectory()
{
    return QDir::tempPath() + QStringLiteral("/Tavrion Cache");
}

QString desktopShortcutPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)
        + QStringLiteral("/Tavrion影音.desktop");
}

void emptyPlayerCache()
{
    QDir dir(playerCacheDirectory());
    if (!dir.exists())
        return;
    // Plain files only: subfolders and the folder itself stay.
    const QStringList files
        = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : files)
        dir.remove(name);
}

void initResources()
{
    initTavrionResources();
}

void installQtTranslation(QApplication *app)
{
    auto *translator = new QTranslator(app);
    translator->load(QStringLiteral(":/main/qt_zh_CN.qm"));
    app->installTranslator(translator);
}

void installFontSubstitutions()
{
    // Without these, Han text falls back to the Japanese glyph variant under
    // non-Chinese locales.
    const QStringList cjk
        = { QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei") };
    QFont::insertSubstitutions(QStringLiteral("微软雅黑"), cjk);
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei"), cjk);
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
        { QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans"),
            QStringLiteral("Noto Sans CJK SC") });
}

bool enterUserDataFolder()
{
    const QString folder = CommandLine::userDataFolderPath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            return false;
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return QDir::setCurrent(folder);
}

bool workingFolderWritable()
{
    // A real file tells what permission bits cannot: read-only mounts,
    // access lists, a full quota.
    QTemporaryFile probe(QDir::current().filePath(QStringLiteral(".tavrion-probe-XXXXXX")));
    return probe.open();
}

void showUnwritableFolderWarning()
{
    QMessageBox::warning(nullptr, QStringLiteral("警告"),
        QStringLiteral("无法写入工作目录“%1”。\n设置、登录信息和播放记录都不会被保存。")
            .arg(QDir::toNativeSeparators(QDir::currentPath())));
}

// The installed icon when there is one: a build run from its tree has none.
static QString shortcutIcon()
{
    const QString installed = QStringLiteral("org.tavrion.Tavrion");
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation,
               QStringLiteral("icons/hicolor/48x48/apps/") + installed + QStringLiteral(".png"))
               .isEmpty()
        ? QStringLiteral("video-x-generic")
        : installed;
}

void runShortcutPrompt()
{
    AppSettings *settings = AppSettings::instance();
    if (!settings->isFirstLaunched())
        return;
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("询问"),
        QStringLiteral("是否创建快捷方式在您的桌面上，以方便下次访问！"));
    box.addButton(QMessageBox::Yes)->setText(QStringLiteral("是(Y)"));
    box.addButton(QMessageBox::No)->setText(QStringLiteral("否(N)"));
    if (box.exec() == QMessageBox::Yes) {
        DesktopEntry::create(desktopShortcutPath(), QStringLiteral("Tavrion影音"),
            QCoreApplication::applicationFilePath(), QDir::currentPath(), shortcutIcon());
    }
    settings->setFirstLaunched(false);
}

int showAlreadyRunningWarning()
{
    QMessageBox::warning(
        nullptr, QStringLiteral("警告"), QStringLiteral("检测到此应用已运行，请勿多次运行！"));
    // The status the platform's OK button reports.
    return 1;
}

} // namespace Startup
