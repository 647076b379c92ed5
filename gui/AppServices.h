// What the program takes from its surroundings: veltoWrapper's factory function, the deferral of
// calls, the user's answers to modal questions, the directory of the program's files and the
// settings store. The program fills in the real ones; tests replace any of them.
#pragma once

#include <QSettings>
#include <QString>

#include <functional>
#include <memory>

class IVeltoFactory;
class Scheduler;
class UserPrompts;

// Yields a new factory on every call, as veltoWrapper's `instance` does; null when there is none.
using VeltoFactoryFunction = std::function<IVeltoFactory *()>;

struct AppServices {
    VeltoFactoryFunction wrapperFactory;                     // empty: no wrapper can be created
    Scheduler *scheduler = nullptr;                          // null: Qt's single-shot timers
    UserPrompts *prompts = nullptr;                          // null: real message boxes and dialogs
    QString programDir;                                      // empty: the program file's directory
    std::function<std::unique_ptr<QSettings>()> openSettings; // empty: the default QSettings

    Scheduler &schedulerOrDefault() const;
    UserPrompts &promptsOrDefault() const;
    // The directory that holds "QZSetting.json", "QZVeltoPatch.json" and "Legal.txt".
    QString fileDirectory() const;
    // The path of `fileName` in that directory.
    QString filePath(const QString &fileName) const;
    // A new settings object; the caller writes, syncs and drops it.
    std::unique_ptr<QSettings> settings() const;
};
