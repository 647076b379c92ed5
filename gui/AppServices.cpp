#include "gui/AppServices.h"

#include "gui/Scheduler.h"
#include "gui/UserPrompts.h"

#include <QCoreApplication>

Scheduler &AppServices::schedulerOrDefault() const
{
    return scheduler ? *scheduler : QtScheduler::shared();
}

UserPrompts &AppServices::promptsOrDefault() const
{
    return prompts ? *prompts : WidgetPrompts::shared();
}

QString AppServices::fileDirectory() const
{
    return programDir.isEmpty() ? QCoreApplication::applicationDirPath() : programDir;
}

QString AppServices::filePath(const QString &fileName) const
{
    return fileDirectory() + QLatin1Char('/') + fileName;
}

std::unique_ptr<QSettings> AppServices::settings() const
{
    if (openSettings)
        return openSettings();
    return std::make_unique<QSettings>();
}
