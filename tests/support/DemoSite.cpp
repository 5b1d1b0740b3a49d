#include <support/DemoSite.h>

#include <QFile>

namespace vantry::test {

bool publishDemo(const QString &publishTool, const QString &game, const QString &out,
                 const QString &home)
{
    return QProcess::execute(QStringLiteral(VANTRY_SOURCE_DIR "/demo/make-site"),
                             {u"--publish"_qs, publishTool, u"--game"_qs, game, u"--out"_qs, out}) == 0 &&
           QProcess::execute(u"cp"_qs, {u"-a"_qs, out + u"/home-seed/."_qs, home}) == 0;
}

bool serveSite(QProcess &server, const QString &publishTool, const QString &site)
{
    server.start(publishTool, {u"serve"_qs, site});
    QByteArray banner;
    while (!banner.contains("VANTRY_EXTRA_CA=") && server.waitForReadyRead(10000))
        banner += server.readAllStandardOutput();
    for (const QString &word : QString::fromUtf8(banner).simplified().split(u' ').filter(u"VANTRY_"_qs))
        qputenv(word.section(u'=', 0, 0).toLatin1(), QFile::encodeName(word.section(u'=', 1)));
    return qEnvironmentVariableIsSet("VANTRY_CONNECT_TO");
}

} // namespace vantry::test
