#include "gui/MainWindow.h"

#include "gui/AboutDialog.h"
#include "gui/LegalDialog.h"
#include "gui/ProgressDialog.h"
#include "gui/Scheduler.h"
#include "gui/UserPrompts.h"
#include "gui/veltoManager.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QSettings>

#include <new>

namespace {

const QString kTitle = QStringLiteral("QZ Config Tool");
const QString kNoMac = QStringLiteral("00:00:00:00:00:00");
constexpr int kElideWidth = 120;

// A stored count, or `fallback` when it is missing, not a number or outside [low, high].
int storedCount(const QString &text, int low, int high, int fallback)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value < static_cast<uint>(low) || value > static_cast<uint>(high))
        return fallback;
    return static_cast<int>(value);
}

} // namespace

MainWindow::MainWindow(const AppServices &appServices, QWidget *parent)
    : QMainWindow(parent), services(appServices), ui(std::make_unique<Ui::MainWindow>())
{
    ui->setupUi(this);
    ui->confirmPushButton->setDefault(false);
    ui->closePushButton->setDefault(false);
    ui->area2SpinBox->setEnabled(false);
    ui->area3SpinBox->setEnabled(false);
    ui->area4SpinBox->setEnabled(false);
    ui->applyPushButton->setEnabled(false);
    ui->confirmPushButton->setEnabled(false);
    ui->actionNetwork_List->setEnabled(false);
    setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    manager = new (std::nothrow) veltoManager(services.wrapperFactory);
    if (manager)
        connect(manager, &veltoManager::signalCallback, this, &MainWindow::slotCallback, Qt::AutoConnection);

    services.schedulerOrDefault().singleShot(0, this, [this] { startup(); });

    connect(ui->actionClear, &QAction::triggered, this, &MainWindow::on_actionClear_clicked);
    connect(ui->actionLegal, &QAction::triggered, this, &MainWindow::on_actionLegal_clicked);
    connect(ui->actionAboutQZConfig, &QAction::triggered, this, &MainWindow::on_actionAboutQZConfig_clicked);
}

MainWindow::~MainWindow()
{
    ui.reset();
    if (manager) {
        // Deleting the adapter deletes the wrapper and ends its worker.
        delete manager;
        manager = nullptr;
    }
}

void MainWindow::startup()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tormel"));
    QCoreApplication::setApplicationName(QStringLiteral("DIDodiviVidi"));
    QSettings::setDefaultFormat(QSettings::IniFormat);
    restoreWindowPosition();
    restoreDeviceCounts();
}

void MainWindow::slotCallback(const QString &, const QVariantMap &) {}

// ---- settings ----

void MainWindow::restoreWindowPosition()
{
    std::unique_ptr<QSettings> settings = services.settings();
    const QString posX = settings->value(QStringLiteral("APP/PosX")).toString();
    const QString posY = settings->value(QStringLiteral("APP/PosY")).toString();
    const QString width = settings->value(QStringLiteral("APP/Width")).toString();
    const QString height = settings->value(QStringLiteral("APP/Height")).toString();
    if (!posX.isEmpty() && !posY.isEmpty() && !width.isEmpty() && !height.isEmpty()) {
        const int left = posX.toInt(nullptr, 10);
        const int top = posY.toInt(nullptr, 10);
        const Qt::WindowFlags flags = windowFlags();
        setWindowFlags(flags | Qt::WindowStaysOnTopHint);
        setGeometry(left, top, this->width(), this->height());
        setWindowState(Qt::WindowActive);
        setWindowFlags(flags);
        show();
    }
    settings->beginGroup(QStringLiteral("APP"));
    settings->setValue(QStringLiteral("PosX"), QString());
    settings->setValue(QStringLiteral("PosY"), QString());
    settings->setValue(QStringLiteral("Width"), QString());
    settings->setValue(QStringLiteral("Height"), QString());
    settings->endGroup();
    settings->sync();
}

void MainWindow::restoreDeviceCounts()
{
    // All five are read before the first spin box changes: each change saves the five counts
    // the form shows at that moment.
    int ktv4s, area1, area2, area3, area4;
    {
        std::unique_ptr<QSettings> settings = services.settings();
        ktv4s = storedCount(settings->value(QStringLiteral("DEVICE/KTV4S")).toString(), 1, 4, 1);
        area1 = storedCount(settings->value(QStringLiteral("DEVICE/Area1")).toString(), 2, 25, 9);
        area2 = storedCount(settings->value(QStringLiteral("DEVICE/Area2")).toString(), 1, 24, 8);
        area3 = storedCount(settings->value(QStringLiteral("DEVICE/Area3")).toString(), 1, 24, 8);
        area4 = storedCount(settings->value(QStringLiteral("DEVICE/Area4")).toString(), 1, 24, 8);
    }
    ui->ktv4sSpinBox->setValue(ktv4s);
    ui->area1SpinBox->setValue(area1);
    ui->area2SpinBox->setValue(area2);
    ui->area3SpinBox->setValue(area3);
    ui->area4SpinBox->setValue(area4);
}

void MainWindow::saveDeviceCounts()
{
    std::unique_ptr<QSettings> settings = services.settings();
    settings->beginGroup(QStringLiteral("DEVICE"));
    settings->setValue(QStringLiteral("KTV4S"), ui->ktv4sSpinBox->value());
    settings->setValue(QStringLiteral("Area1"), ui->area1SpinBox->value());
    settings->setValue(QStringLiteral("Area2"), ui->area2SpinBox->value());
    settings->setValue(QStringLiteral("Area3"), ui->area3SpinBox->value());
    settings->setValue(QStringLiteral("Area4"), ui->area4SpinBox->value());
    settings->endGroup();
    settings->sync();
}

bool MainWindow::saveSettings(const QVariantMap &entry)
{
    const int ktv4s = ui->ktv4sSpinBox->value();
    const int area1 = ui->area1SpinBox->value();
    const int area2 = ui->area2SpinBox->value();
    const int area3 = ui->area3SpinBox->value();
    const int area4 = ui->area4SpinBox->value();
    const QRect frame = geometry();

    std::unique_ptr<QSettings> settings = services.settings();
    settings->beginGroup(QStringLiteral("NIC"));
    settings->setValue(QStringLiteral("MAC_Address"), entry.value(QStringLiteral("macAddress")).toString());
    settings->endGroup();
    settings->beginGroup(QStringLiteral("DEVICE"));
    settings->setValue(QStringLiteral("KTV4S"), ktv4s);
    settings->setValue(QStringLiteral("Area1"), area1);
    settings->setValue(QStringLiteral("Area2"), area2);
    settings->setValue(QStringLiteral("Area3"), area3);
    settings->setValue(QStringLiteral("Area4"), area4);
    settings->endGroup();
    settings->beginGroup(QStringLiteral("APP"));
    settings->setValue(QStringLiteral("PosX"), frame.left());
    settings->setValue(QStringLiteral("PosY"), frame.top());
    settings->setValue(QStringLiteral("Width"), frame.width());
    settings->setValue(QStringLiteral("Height"), frame.height());
    settings->endGroup();
    settings->sync();
    return true;
}

QString MainWindow::loadSavedMac()
{
    std::unique_ptr<QSettings> settings = services.settings();
    const QString mac = settings->value(QStringLiteral("NIC/MAC_Address")).toString();
    return mac.split(QLatin1Char(':'), Qt::KeepEmptyParts).size() == 6 ? mac : kNoMac;
}

// ---- count rules ----

void MainWindow::withdrawConfirm()
{
    ui->applyPushButton->setEnabled(false);
    confirmed = false;
}

void MainWindow::on_ktv4sSpinBox_valueChanged(int n)
{
    if (n >= 1 && n <= 4) {
        ui->area2SpinBox->setEnabled(n >= 2);
        ui->area3SpinBox->setEnabled(n >= 3);
        ui->area4SpinBox->setEnabled(n >= 4);
        withdrawConfirm();
    }
    saveDeviceCounts();
}

void MainWindow::on_area1SpinBox_valueChanged(int)
{
    withdrawConfirm();
    saveDeviceCounts();
}

void MainWindow::on_area2SpinBox_valueChanged(int)
{
    withdrawConfirm();
    saveDeviceCounts();
}

void MainWindow::on_area3SpinBox_valueChanged(int)
{
    withdrawConfirm();
    saveDeviceCounts();
}

void MainWindow::on_area4SpinBox_valueChanged(int)
{
    withdrawConfirm();
    saveDeviceCounts();
}

// ---- buttons and menu entries ----

void MainWindow::on_closePushButton_clicked()
{
    if (!confirmed) {
        close();
        return;
    }
    PromptMessage ask;
    ask.icon = QMessageBox::Warning;
    ask.parent = nullptr;
    ask.title = kTitle;
    ask.text = QStringLiteral("Exit the application?");
    ask.buttons = QMessageBox::Yes | QMessageBox::No;
    ask.defaultButton = QMessageBox::No;
    if (services.promptsOrDefault().message(ask) == QMessageBox::Yes)
        close();
}

void MainWindow::on_actionClear_clicked()
{
    PromptMessage ask;
    ask.icon = QMessageBox::Question;
    ask.parent = this;
    ask.title = kTitle;
    ask.text = QStringLiteral("Clear log text.\nAre you sure?");
    ask.buttons = QMessageBox::Yes | QMessageBox::No;
    if (services.promptsOrDefault().message(ask) == QMessageBox::Yes)
        ui->outputTextBrowser->clear();
}

void MainWindow::on_actionLegal_clicked()
{
    auto *dialog = new LegalDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (dialog->loadText(services.fileDirectory())) {
        dialog->show();
        return;
    }
    dialog->close();
    PromptMessage error;
    error.icon = QMessageBox::Critical;
    error.parent = this;
    error.title = kTitle;
    error.text = QStringLiteral("Setting file not found.\nCheck the \"Legal.txt\" is in the same directory as exe file.");
    error.buttons = QMessageBox::Ok;
    services.promptsOrDefault().message(error);
}

void MainWindow::on_actionAboutQZConfig_clicked()
{
    AboutDialog dialog(this);
    services.promptsOrDefault().execDialog(dialog);
}

// ---- helpers ----

QString MainWindow::elideText(QString text, QLabel *label)
{
    const QFontMetrics metrics = label->fontMetrics();
    if (metrics.horizontalAdvance(text) <= kElideWidth)
        return text;
    QString result;
    QString line;
    for (const QChar c : qAsConst(text)) {
        if (c == QLatin1Char('\n')) {
            result += line + QLatin1Char('\n');
            line.clear();
            continue;
        }
        if (metrics.horizontalAdvance(c) + metrics.horizontalAdvance(line) >= kElideWidth) {
            result += line + QStringLiteral("...");
            line.clear();
            break;
        }
        line += c;
    }
    return result + line;
}
