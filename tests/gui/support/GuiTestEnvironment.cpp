#include "tests/gui/support/GuiTestEnvironment.h"

#include <QFile>

GuiTestEnvironment::GuiTestEnvironment() : wrapper(std::make_shared<FakeWrapperState>()) {}

AppServices GuiTestEnvironment::services()
{
    AppServices s;
    s.wrapperFactory = fakeVeltoFactory(wrapper);
    s.scheduler = &scheduler;
    s.prompts = &prompts;
    s.programDir = dir.path();
    const QString path = settingsPath();
    s.openSettings = [path] { return std::make_unique<QSettings>(path, QSettings::IniFormat); };
    s.exitEventLoop = [this](int code) { exitCodes.push_back(code); };
    return s;
}

QString GuiTestEnvironment::settingsPath() const
{
    return dir.filePath(QStringLiteral("settings.ini"));
}

std::unique_ptr<QSettings> GuiTestEnvironment::settings() const
{
    return std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
}

QString GuiTestEnvironment::filePath(const QString &name) const
{
    return dir.filePath(name);
}

void GuiTestEnvironment::writeFile(const QString &name, const QByteArray &content) const
{
    QFile file(filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

QByteArray GuiTestEnvironment::sampleFile(const QString &name)
{
    QFile file(QStringLiteral(QZ_SAMPLE_DIR "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void GuiTestEnvironment::writeSampleFiles() const
{
    for (const char *name : {"QZSetting.json", "QZVeltoPatch.json", "Legal.txt"})
        writeFile(QLatin1String(name), sampleFile(QLatin1String(name)));
}
