// The probe inside QZ Config Tool that the tests and pictures of a whole run use: a Qt generic
// plugin, loaded into a Qt program started with QT_PLUGIN_PATH naming the directory above its
// generic/ directory and QT_QPA_GENERIC_PLUGINS=qzprobe:DIR. Each copy of the program, restarted
// ones included (they inherit the environment), then writes what it shows to DIR/<pid>.state
// whenever that changes, and runs the command lines it finds in DIR/<pid>.cmd. The protocol is
// described in tests/integration/run_session.h.
#include "tests/gui/support/WindowPicture.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGenericPlugin>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QSaveFile>
#include <QTextEdit>
#include <QTimer>

#include <unistd.h>

namespace {

QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
}

QString windowName(const QWidget *window)
{
    return window->objectName().isEmpty() ? QString::fromLatin1(window->metaObject()->className())
                                          : window->objectName();
}

QList<QWidget *> shownWindows()
{
    QList<QWidget *> windows;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            windows << w;
    return windows;
}

template <typename T> T *findShown(const QString &name)
{
    for (QWidget *window : shownWindows()) {
        for (T *child : window->findChildren<T *>(name))
            return child;
    }
    return nullptr;
}

bool insideList(const QWidget *w)
{
    for (const QObject *p = w->parent(); p; p = p->parent())
        if (qobject_cast<const QListWidget *>(p))
            return true;
    return false;
}

class ProgramProbe : public QObject {
public:
    explicit ProgramProbe(const QString &dir)
        : base_(QDir(dir).filePath(QString::number(getpid())))
    {
        connect(&timer_, &QTimer::timeout, this, &ProgramProbe::tick);
        // Created while the application object is still being built: start once its loop runs.
        QMetaObject::invokeMethod(this, [this] { timer_.start(100); }, Qt::QueuedConnection);
    }

private:
    void tick()
    {
        QFile commands(base_ + QStringLiteral(".cmd"));
        if (commands.open(QIODevice::ReadOnly)) {
            for (const QString &line : QString::fromUtf8(commands.readAll()).split(QLatin1Char('\n')))
                if (!line.isEmpty())
                    queue_ << line;
            commands.remove();
        }
        // One command a turn, each on a turn of the event loop of its own: one that opens a modal
        // dialog holds up neither the next nor this timer. A picture holds up the next until it
        // is written.
        if (!queue_.isEmpty() && !picturing_) {
            const QString line = queue_.takeFirst();
            QTimer::singleShot(0, this, [this, line] {
                ++started_;
                run(line);
            });
        }
        const QString state = describe();
        if (state == last_)
            return;
        QSaveFile file(base_ + QStringLiteral(".state"));
        if (file.open(QIODevice::WriteOnly) && file.write(state.toUtf8()) >= 0 && file.commit())
            last_ = state;
    }

    // One line per fact, fields separated by tabs: "<window>\t<kind>\t<name>\t<value>...".
    QString describe() const
    {
        QStringList lines{QStringLiteral("commands\t%1").arg(started_)};
        for (QWidget *window : shownWindows()) {
            const QString name = windowName(window);
            lines << QStringList{name, QStringLiteral("window"), escaped(window->windowTitle())}.join('\t');
            if (auto *box = qobject_cast<QMessageBox *>(window))
                lines << QStringList{name, QStringLiteral("message"), escaped(box->text())}.join('\t');
            for (QAction *action : window->findChildren<QAction *>())
                if (!action->objectName().isEmpty())
                    lines << QStringList{name, QStringLiteral("action"), action->objectName(),
                                         QString::number(action->isEnabled())}
                                 .join('\t');
            for (QWidget *w : window->findChildren<QWidget *>()) {
                if (auto *button = qobject_cast<QAbstractButton *>(w))
                    lines << QStringList{name, QStringLiteral("button"), button->objectName(),
                                         QString::number(button->isEnabled()), escaped(button->text())}
                                 .join('\t');
                else if (auto *label = qobject_cast<QLabel *>(w); label && !insideList(label))
                    lines << QStringList{name, QStringLiteral("label"), label->objectName(), escaped(label->text())}
                                 .join('\t');
                else if (auto *text = qobject_cast<QTextEdit *>(w))
                    lines << QStringList{name, QStringLiteral("text"), text->objectName(),
                                         escaped(text->toPlainText())}
                                 .join('\t');
                else if (auto *list = qobject_cast<QListWidget *>(w))
                    for (int row = 0; row < list->count(); ++row) {
                        QStringList fields{name, QStringLiteral("row"), QString::number(row),
                                           QString::number(list->currentRow() == row)};
                        if (QWidget *item = list->itemWidget(list->item(row)))
                            for (QLabel *label : item->findChildren<QLabel *>())
                                fields << label->objectName() + QLatin1Char('=') + escaped(label->text());
                        lines << fields.join('\t');
                    }
            }
        }
        return lines.join('\n') + QLatin1Char('\n');
    }

    // click BUTTON | trigger ACTION | row N | answer BUTTON_TEXT | close WINDOW | picture WINDOW FILE
    void run(const QString &line)
    {
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (verb == QLatin1String("click")) {
            if (auto *button = findShown<QAbstractButton>(rest))
                button->click();
        } else if (verb == QLatin1String("trigger")) {
            if (auto *action = findShown<QAction>(rest))
                action->trigger();
        } else if (verb == QLatin1String("row")) {
            if (auto *list = findShown<QListWidget>(QString()))
                list->setCurrentRow(rest.toInt());
        } else if (verb == QLatin1String("answer")) {
            for (QWidget *window : shownWindows())
                if (auto *box = qobject_cast<QMessageBox *>(window))
                    for (QAbstractButton *button : box->buttons())
                        if (button->text().remove(QLatin1Char('&')) == rest)
                            return button->click();
        } else if (verb == QLatin1String("close")) {
            for (QWidget *window : shownWindows())
                if (windowName(window) == rest)
                    window->close();
        } else if (verb == QLatin1String("picture")) {
            picturing_ = true;
            for (QWidget *window : shownWindows())
                if (windowName(window) == rest.section(QLatin1Char(' '), 0, 0))
                    writeWindowPicture(*window, qPrintable(rest.section(QLatin1Char(' '), 1)));
            picturing_ = false;
        }
    }

    QString base_, last_;
    QStringList queue_;
    QTimer timer_;
    int started_ = 0;
    bool picturing_ = false;
};

} // namespace

class ProgramProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe.json")
public:
    // Loaded through QT_QPA_GENERIC_PLUGINS=qzprobe:<dir>; Qt passes what follows the colon.
    QObject *create(const QString &key, const QString &dir) override
    {
        if (key != QLatin1String("qzprobe") || dir.isEmpty())
            return nullptr;
        return new ProgramProbe(dir);
    }
};

#include "ProgramProbe.moc"
