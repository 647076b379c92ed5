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
