// Everything a GUI test replaces, in one place: a temporary directory for the program's files and
// its settings file, a manual scheduler, scripted prompts and a fake veltoWrapper.
#pragma once

#include "gui/AppServices.h"
#include "tests/gui/support/FakeVeltoWrapper.h"
#include "tests/gui/support/ManualScheduler.h"
#include "tests/gui/support/ScriptedPrompts.h"

#include <QByteArray>
#include <QTemporaryDir>

class GuiTestEnvironment {
public:
    GuiTestEnvironment();

    AppServices services();
    // The settings file the services open.
    QString settingsPath() const;
    std::unique_ptr<QSettings> settings() const;
    // Writes `content` to `name` in the program's file directory.
    void writeFile(const QString &name, const QByteArray &content) const;
    QString filePath(const QString &name) const;

    QTemporaryDir dir;
    ManualScheduler scheduler;
    ScriptedPrompts prompts;
    std::shared_ptr<FakeWrapperState> wrapper;
};
