#include "pages.h"

namespace {

QString frame(const QString &title, const QString &body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                          "<title>%1</title><style>body{font-family:\"Noto Sans CJK SC\","
                          "sans-serif;max-width:46em;margin:2em auto;padding:0 1em;"
                          "background:#1a222d;color:#dde;}a{color:#01bd31;}h1{font-size:1.5em;}"
                          "</style></head><body><h1>%1</h1>%2"
                          "<p><a href=\"?r=www\">首页</a> · "
                          "<a href=\"?r=www/default/page&amp;p=jiaocheng\">使用教程</a> · "
                          "<a href=\"?r=www/default/page&amp;p=mianze\">免责声明</a> · "
                          "<a href=\"?r=www/user/login\">账号与充值</a></p></body></html>\n")
        .arg(title, body);
}

} // namespace

QString pageHtml(const QString &route, const QString &page)
{
    if (route == QLatin1String("www"))
        return frame(QStringLiteral("Tavrion影音"),
            QStringLiteral("<p>Tavrion影音：在线播放BT资源中的视频，无需等待下载完成。</p>"
                           "<p>本服务为自建参考服务，资源库由管理员维护。</p>"));
    if (route == QLatin1String("www/default/page") && page == QLatin1String("jiaocheng"))
        return frame(QStringLiteral("使用教程"),
            QStringLiteral("<ol><li>登录账号；没有账号时先注册。</li>"
                           "<li>点击“打开URL”，粘贴40位info-hash、appdata_资源号，"
                           "或选择.torrent文件，然后点击解析。</li>"
                           "<li>在文件列表中点击播放或下载。</li>"
                           "<li>播放中可在右键菜单中调整画面、声音和字幕。</li></ol>"
                           "<p>复制到剪贴板的info-hash会被自动识别。</p>"));
    if (route == QLatin1String("www/default/page") && page == QLatin1String("mianze"))
        return frame(QStringLiteral("免责声明"),
            QStringLiteral("<p>本服务仅提供技术手段，所有资源由用户自行提供，"
                           "与本服务无关。</p><p>请勿使用本服务传播违法或侵权内容；"
                           "发现此类资源请通过“举报”功能告知我们，我们将及时处理。</p>"
                           "<p>注册即表示您已阅读并同意本声明。</p>"));
    if (route == QLatin1String("www/user/login"))
        return frame(QStringLiteral("账号与充值"),
            QStringLiteral("<p>本服务的VIP由管理员开通，请联系服务管理员。</p>"));
    return {};
}
